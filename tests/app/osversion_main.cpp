#include "velvoxapp.h"

int main() { return static_cast<int>(CVelvoxApp::GetOsVersionCode()); }
