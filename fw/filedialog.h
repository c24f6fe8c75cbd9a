// The classic (explorer-style, hooked) file dialog. The hook procedure receives the
// dialog's notifications and forwards them to virtual hooks; an optional child
// template adds controls below the standard ones.
#pragma once
#include <windows.h>
#include <commdlg.h>

#include <string>

#include "wnd.h"

namespace fw {

class CFileDialog {
 public:
  // `filter`: "text|pattern|text|pattern||" as in a resource string.
  CFileDialog(BOOL open, const std::string& defExt, const std::string& fileName, DWORD flags,
              const std::string& filter, CWnd* parent = nullptr);
  virtual ~CFileDialog() = default;
  CFileDialog(const CFileDialog&) = delete;
  CFileDialog& operator=(const CFileDialog&) = delete;

  INT_PTR DoModal();
  // The chosen path after DoModal. While the dialog runs: the path of the name typed,
  // from the dialog's folder and its name field as typed (no default extension
  // appended); with an empty field, the path last accepted.
  std::string GetPathName() const;
  // While the dialog runs: the text of its file-name field as typed (CDM_GETSPEC);
  // afterwards the chosen file's name without its folder.
  std::string GetFileName() const;
  // The extension that the dialog appends to a name typed without one; while the
  // dialog runs it goes to the dialog (CDM_SETDEFEXT).
  void SetDefExt(const std::string& ext);
  void SetInitialDir(const std::string& folder);
  // 1-based index of the selected filter.
  DWORD GetFilterIndex() const { return m_ofn.nFilterIndex; }
  // Uses template `id` of the program's resources as the child dialog.
  void SetTemplate(UINT id);

  OPENFILENAMEA m_ofn{};

 protected:
  virtual void OnInitDone() {}
  // TRUE keeps the dialog open (the name was refused).
  virtual BOOL OnFileNameOK() { return FALSE; }
  virtual void OnTypeChange() {}
  // Other messages to the child (hook) dialog; TRUE when handled.
  virtual BOOL OnHookMessage(UINT msg, WPARAM wParam, LPARAM lParam);

  HWND m_hHook = nullptr;  // the child dialog that the hook procedure serves
  HWND GetOwnerDialog() const { return m_hHook ? ::GetParent(m_hHook) : nullptr; }

 private:
  static UINT_PTR CALLBACK HookProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  BOOL m_bOpen;
  std::string m_defExt;
  std::string m_filter;  // with '|' replaced by NUL
  std::string m_initialDir;
  char m_szFile[MAX_PATH] = {};
  char m_szFileTitle[MAX_PATH] = {};
  CWnd* m_pParent;
};

}  // namespace fw
