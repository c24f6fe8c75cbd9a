// Looking for a secret in this process's own memory, the way an attacker with a memory
// dump would: every committed, readable page, whatever owns it (heaps, stacks, the
// edit controls' buffers, the modules' data).
//
// The test's own copy must not be a hit, so the secret lives only in a SecretText: a
// page of its own that the scan skips, filled with random characters and typed from there one
// character at a time. The forms looked for (code-page bytes and UTF-16) are built in
// that page too, at scan time.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace vxtest {

class SecretText {
 public:
  // `length` random characters drawn from `alphabet`; `what` names it in reports.
  SecretText(const char* what, size_t length, const char* alphabet);
  ~SecretText();
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  size_t size() const { return size_; }
  char operator[](size_t i) const { return text_[i]; }
  // Writes the text and a line end to `file` (a key tool's standard input).
  bool WriteLine(HANDLE file) const;

  // One line per place outside this object's page where the text, or a run of at least
  // 8 of its characters, is found (as typed or upper-cased, in the system code page or
  // as UTF-16): what, address and what holds it.
  std::vector<std::string> FindCopies() const;

 private:
  char* page_ = nullptr;
  char* text_ = nullptr;
  char* upper_ = nullptr;
  size_t size_ = 0;
  std::string what_;
};

// Sends the text to `edit` one WM_CHAR at a time, as a keyboard would.
void TypeSecret(HWND edit, const SecretText& secret);

// Searches memory for the secrets at the moment a watched field is destroyed: control
// `id` of the dialog titled `dialogTitle`, getting WM_DESTROY on the thread that made
// this object. Its dialog has had its own WM_DESTROY by then, and the field has not yet
// given its text buffer back to the heap, where nothing would wipe it.
class ScanAtDestroy {
 public:
  ScanAtDestroy();
  ~ScanAtDestroy();
  ScanAtDestroy(const ScanAtDestroy&) = delete;
  ScanAtDestroy& operator=(const ScanAtDestroy&) = delete;

  // `secrets`: what must be gone by the time that field is destroyed.
  void Watch(const std::string& dialogTitle, int id, std::vector<const SecretText*> secrets);
  // One line per copy found ("<field>: <where>"), and one per watched field that was
  // never destroyed.
  std::vector<std::string> Copies() const;

 private:
  struct Field {
    std::string title;
    int id;
    std::vector<const SecretText*> secrets;
    bool destroyed = false;
    std::vector<std::string> copies;
  };
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
  void OnDestroy(HWND w);

  std::vector<Field> fields_;
  HHOOK hook_ = nullptr;
};

}  // namespace vxtest
