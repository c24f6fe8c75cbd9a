// A hook that the decryption test installs in velvox.exe's thread: as soon as a window's
// caption becomes "decrypting...", it posts a click of that window's Cancel button. The
// click then waits in the queue until the crypto library's first progress call pumps
// it, so the cancel lands inside the decryption however fast the library is.
#include <windows.h>

#include <cwchar>

extern "C" __declspec(dllexport) LRESULT CALLBACK VxCancelAtDecrypting(int code, WPARAM wp,
                                                                      LPARAM lp) {
  static bool posted = false;
  if (code == HC_ACTION && !posted) {
    const auto* m = reinterpret_cast<const CWPRETSTRUCT*>(lp);
    if (m->message == WM_SETTEXT) {
      wchar_t text[64] = {};
      GetWindowTextW(m->hwnd, text, 64);
      // "復号しています..."
      if (std::wcscmp(text, L"\u5FA9\u53F7\u3057\u3066\u3044\u307E\u3059...") == 0) {
        posted = true;
        PostMessageW(m->hwnd, WM_COMMAND, IDCANCEL, 0);
      }
    }
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

// The same for the caption that the environment variable VX_CANCEL_AT of velvox.exe
// names: the test picks the phase in which the cancel question holds the job.
extern "C" __declspec(dllexport) LRESULT CALLBACK VxCancelAtCaption(int code, WPARAM wp, LPARAM lp) {
  static bool posted = false;
  if (code == HC_ACTION && !posted) {
    const auto* m = reinterpret_cast<const CWPRETSTRUCT*>(lp);
    if (m->message == WM_SETTEXT) {
      wchar_t want[64] = {}, text[64] = {};
      GetEnvironmentVariableW(L"VX_CANCEL_AT", want, 64);
      GetWindowTextW(m->hwnd, text, 64);
      if (want[0] && std::wcscmp(text, want) == 0) {
        posted = true;
        PostMessageW(m->hwnd, WM_COMMAND, IDCANCEL, 0);
      }
    }
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}
