// Edit fields for key names, key values and passwords: typing filters that let only
// the allowed characters through, and no input method while the field has the focus.
// Also the font and icon-size helpers that the key dialogs and the password dialog share.
#pragma once
#include <windows.h>
#include <imm.h>

#include <string>

#include "controls.h"

// The common part of CKeyEdit and CKeyEditEx. Only the low byte of a WM_CHAR is
// examined (letters a-z as their upper-case form). A double-byte character is always
// refused: a rejected lead byte takes its trail byte with it, since the trail byte
// alone could pass for a letter.
class CKeyEditBase : public fw::CSubclassedEdit {
 public:
  ~CKeyEditBase() override = default;

  HIMC m_hSavedImc = nullptr;

 protected:
  virtual bool IsAccepted(unsigned char c) const = 0;
  LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  bool m_bDropTrailByte = false;
};

// Key names: A-Z, a-z, 0-9 and backspace.
class CKeyEdit : public CKeyEditBase {
 protected:
  bool IsAccepted(unsigned char c) const override;
};

// Passwords: printable ASCII without the space (0x21-0x7E) and backspace.
class CKeyEditEx : public CKeyEditBase {
 protected:
  bool IsAccepted(unsigned char c) const override;
};

// Gives control `id` of `dialog` its current font with the face "Meiryo UI". The font
// stays alive for the rest of the process.
void SetMeiryoFont(HWND dialog, int id);
// `baseCx` x `baseCy` pixels scaled to the screen's dpi (96 dpi = as given).
void GetScaledIconSize(int* cx, int* cy, int baseCx, int baseCy);
// Appends icon `id` of the program's resources to `list`, loaded at the list's size so it
// is drawn from the best matching image instead of a shrunken 32-pixel one.
void AddResourceIcon(const fw::CImageList& list, int id, int cx, int cy);
// Overwrites a secret's bytes before the string lets go of them.
void WipeString(std::string& s);
