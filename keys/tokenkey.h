// Keys from a hardware token: the token key dialog, where the user ticks the key to
// use, the plug-in error messages, and the token flow behind button 1001 of both key
// dialogs.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "contracts/tokenplugin.h"
#include "controls.h"
#include "dialog.h"

class CTokenKey : public fw::CDialog {
 public:
  explicit CTokenKey(fw::CWnd* parent = nullptr);
  ~CTokenKey() override;

  // Keeps its own copy of the 260 bytes.
  void AddKey(const TokenKeyRecord& record);
  int GetRecordCount() const { return static_cast<int>(m_records.size()); }
  // 0 for an index outside the records.
  BOOL GetRecord(int index, TokenKeyRecord* out) const;
  // OK then needs exactly `n` ticked keys.
  void SetRequiredCount(int n);

  fw::CListCtrl m_list;
  fw::CImageList m_imageList;
  int m_nRequired = 0;
  int m_bRequireCount = 0;
  std::vector<TokenKeyRecord*> m_records;  // owned; values wiped on destruction

 protected:
  void DoDataExchange(fw::CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
};

// The message of a TokenError code (an unknown code has one of its own).
void ShowPlugInError(DWORD code);

// What the token flow needs of the key dialog that runs it.
struct TokenFlow {
  fw::CDialog* keyDialog = nullptr;
  std::string plugInFolder;
  std::string plugInName;
  int keyInDisable = 0;
  int fixedKeyName = 0;
  std::string keyName;  // the name a decryption fixed (compared ignoring case)
  // Puts the ticked key into the dialog's fields; false after its own message when the
  // dialog cannot take it.
  std::function<bool(const TokenKeyRecord&)> take;
  // The dialog's OK checks on its members as they stand (1: accepted).
  std::function<BOOL()> validate;
  // The framework's OK processing.
  std::function<void()> accept;
};

// Loads the plug-in, offers the registered keys it reads, and hands the ticked one to
// the dialog. With typing forbidden (keyInDisable) the flow validates and closes the
// dialog by itself, and ends it as cancelled when no key can be taken.
void RunTokenFlow(const TokenFlow& flow);
