// What a program file says about the DLLs it needs before its first line runs.
#pragma once
#include <string>
#include <vector>

namespace vxtest {

// The names of the DLLs in the import directory of the 64-bit PE file `path`, in lower
// case; empty when the file cannot be read or is no such image.
std::vector<std::string> StaticImports(const std::string& path);

}  // namespace vxtest
