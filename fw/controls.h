// Thin wrappers over the template's controls: edit, combo box, list view and image
// list. Like CWnd they never create or destroy the window they name; a dialog attaches
// them to its controls in DoDataExchange (DDX_Control).
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "dialog.h"
#include "wnd.h"

namespace fw {

class CEdit : public CWnd {
 public:
  void SetLimitText(UINT max) const { SendMessage(EM_LIMITTEXT, max); }
  BOOL SetReadOnly(BOOL readOnly = TRUE) const {
    return static_cast<BOOL>(SendMessage(EM_SETREADONLY, readOnly));
  }
};

// Routes the messages of one window through a wrapper's procedure until the window is
// destroyed. The subclass is an ANSI window procedure, so WM_CHAR carries code-page
// bytes (a double-byte character arrives as two messages, lead byte first) whatever the
// control's own character set.
class CSubclassHook {
 public:
  CSubclassHook() = default;
  virtual ~CSubclassHook();
  CSubclassHook(const CSubclassHook&) = delete;
  CSubclassHook& operator=(const CSubclassHook&) = delete;

 protected:
  // Hooks `h`; hooking the same window again does nothing.
  BOOL Hook(HWND h);
  void Unhook();
  LRESULT CallSuper(UINT msg, WPARAM wParam, LPARAM lParam);
  virtual LRESULT HookedProc(UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  // The window is being destroyed; the hook has already let go of it.
  virtual void OnUnhooked() {}

 private:
  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  HWND m_hHooked = nullptr;
  WNDPROC m_pfnSuper = nullptr;
};

// An edit control whose messages pass through WindowProc first.
class CSubclassedEdit : public CEdit, private CSubclassHook {
 public:
  // Attaches to control `id` of `dialog` and routes its messages through WindowProc
  // until the control is destroyed. Attaching again to the same window does nothing.
  BOOL SubclassDlgItem(int id, HWND dialog);

 protected:
  // Handles one message; call Default() for the control's own handling.
  virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Default(UINT msg, WPARAM wParam, LPARAM lParam) { return CallSuper(msg, wParam, lParam); }

 private:
  LRESULT HookedProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    return WindowProc(msg, wParam, lParam);
  }
  void OnUnhooked() override { m_hWnd = nullptr; }
};

class CComboBox : public CWnd {
 public:
  // Position of the new entry (the list may sort it), CB_ERR or CB_ERRSPACE.
  int AddString(const std::string& text) const {
    return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
  }
  int GetCount() const { return static_cast<int>(SendMessage(CB_GETCOUNT)); }
  int GetCurSel() const { return static_cast<int>(SendMessage(CB_GETCURSEL)); }
  int SetCurSel(int index) const { return static_cast<int>(SendMessage(CB_SETCURSEL, index)); }
  std::string GetLBText(int index) const;
  void* GetItemDataPtr(int index) const;
  int SetItemDataPtr(int index, void* data) const {
    return static_cast<int>(SendMessage(CB_SETITEMDATA, index, reinterpret_cast<LPARAM>(data)));
  }
  void ResetContent() const { SendMessage(CB_RESETCONTENT); }
};

// A combo box whose messages pass through WindowProc first.
class CSubclassedComboBox : public CComboBox, private CSubclassHook {
 public:
  BOOL SubclassWindow(HWND h);

 protected:
  virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Default(UINT msg, WPARAM wParam, LPARAM lParam) { return CallSuper(msg, wParam, lParam); }

 private:
  LRESULT HookedProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    return WindowProc(msg, wParam, lParam);
  }
  void OnUnhooked() override { m_hWnd = nullptr; }
};

// A non-owning image-list handle. An image list given to a list view without
// LVS_SHAREIMAGELISTS belongs to that list view, which destroys it with itself.
class CImageList {
 public:
  BOOL Create(int cx, int cy, UINT flags, int initial, int grow) {
    m_hImageList = ImageList_Create(cx, cy, flags, initial, grow);
    return m_hImageList != nullptr;
  }
  int Add(HICON icon) const { return ImageList_AddIcon(m_hImageList, icon); }
  int GetImageCount() const { return ImageList_GetImageCount(m_hImageList); }

  HIMAGELIST m_hImageList = nullptr;
};

class CListCtrl : public CWnd {
 public:
  int InsertColumn(int index, const std::string& heading, int format = LVCFMT_LEFT,
                   int width = -1) const;
  DWORD SetExtendedStyle(DWORD style) const {
    return static_cast<DWORD>(SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, style));
  }
  HIMAGELIST SetImageList(const CImageList& list, int type) const {
    return reinterpret_cast<HIMAGELIST>(
        SendMessage(LVM_SETIMAGELIST, type, reinterpret_cast<LPARAM>(list.m_hImageList)));
  }
  // Index of the new item (the list may sort it), or -1.
  int InsertItem(int index, const std::string& text, int image = -1) const;
  BOOL SetItemText(int item, int subItem, const std::string& text) const;
  std::string GetItemText(int item, int subItem) const;
  BOOL SetItemData(int item, DWORD_PTR data) const;
  DWORD_PTR GetItemData(int item) const;
  int GetItemImage(int item) const;
  int GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }
  // Next item after `start` (-1: from the top) with the LVNI_* state `flags`, or -1.
  int GetNextItem(int start, UINT flags) const {
    return static_cast<int>(SendMessage(LVM_GETNEXTITEM, start, MAKELPARAM(flags, 0)));
  }
  BOOL SetColumnWidth(int column, int width) const {
    return static_cast<BOOL>(SendMessage(LVM_SETCOLUMNWIDTH, column, MAKELPARAM(width, 0)));
  }
  // Check boxes of LVS_EX_CHECKBOXES.
  BOOL GetCheck(int item) const;
  void SetCheck(int item, BOOL checked = TRUE) const;
};

// Attaches `control` to item `id` of the dialog being exchanged; a subclassed edit
// also starts receiving the control's messages.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
void DDX_Control(CDataExchange* dx, int id, CSubclassedEdit& control);

}  // namespace fw
