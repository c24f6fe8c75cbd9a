#include <gtest/gtest.h>
TEST(Admin, Placeholder) {}
