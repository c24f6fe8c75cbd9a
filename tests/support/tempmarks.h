// The records that velvox.exe and the self-decrypting stub keep of their temporary
// files (contracts/tempmark.h), as the tests make and read them.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace vxtest {

// A file at `path` holding `content`, recorded under `key`: what a job's temporary file
// is after a power cut (made, recorded, written, and never deleted since, as a
// delete-on-close file would have been by a crash).
bool LeaveAsAPowerCutWould(const wchar_t* key, const std::wstring& path, const std::string& content);

// The recorded paths directly or further below `folder`, in the order of the key.
std::vector<std::wstring> RecordsBelow(const wchar_t* key, const std::wstring& folder);

// Removes those records when it goes: a test's folder takes its records along.
class RecordsGoWith {
 public:
  RecordsGoWith(const wchar_t* key, const std::wstring& folder) : key_(key), folder_(folder) {}
  ~RecordsGoWith();
  RecordsGoWith(const RecordsGoWith&) = delete;
  RecordsGoWith& operator=(const RecordsGoWith&) = delete;

 private:
  const wchar_t* key_;
  std::wstring folder_;
};

}  // namespace vxtest
