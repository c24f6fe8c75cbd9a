// Files and folders that tests make and clean up.
#pragma once
#include <string>

namespace vxtest {

// Deletes `path` and everything below it, quietly; a missing path is no error.
void RemoveTree(const std::string& path);

}  // namespace vxtest
