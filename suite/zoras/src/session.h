// The running command's link to its caller: notifications, queries and cancel.
#pragma once

#include <windows.h>

#include <string>

#include "archiver.h"

namespace zoras {

class Session {
 public:
  explicit Session(ARCHIVER_CALLBACK callback) : callback_(callback) {}
  void notify(UINT code, LPARAM data);
  // Asks a query; returns the answer given through ArchiverReply, or 0 without one.
  DWORD ask(UINT code, const std::string& name);
  bool cancelled() const;

 private:
  ARCHIVER_CALLBACK callback_;
};

// Copies `s` into a field of `size` bytes, shortened at a character boundary of the
// system code page and always terminated.
void copy_field(char* field, size_t size, const std::string& s);

}  // namespace zoras
