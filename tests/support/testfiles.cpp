#include "testfiles.h"

#include <windows.h>
#include <shellapi.h>

namespace vxtest {

void RemoveTree(const std::string& path) {
  std::string from = path;
  from.push_back('\0');  // the shell takes a list ending in an empty name
  SHFILEOPSTRUCTA op{};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NO_UI;
  ::SHFileOperationA(&op);
}

}  // namespace vxtest
