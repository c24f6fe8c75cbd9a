// The application object: start-up, where the configuration lives, and the settings
// that every part of the program reads for the whole run.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "app.h"

// Operating-system version code, set once at start: 500, 501, 600, 601, 602, 603, 1000,
// or 0 for anything else. Compared unsigned, so 0 behaves like an old system.
extern unsigned OsVersionCode;

class CVelvoxApp : public fw::CWinApp {
 public:
  CVelvoxApp();
  ~CVelvoxApp() override;

  BOOL InitInstance() override;
  // Everything start-up does before the main dialog runs: version, COM, language,
  // where the configuration lives, and the settings read from it.
  void LoadConfiguration();
  void WinHelp(DWORD_PTR data, UINT cmd) override;
  // The job's temporary files may hold plaintext: they go even when a dialog ends the
  // process.
  void OnExitProcess() override;

  static unsigned GetOsVersionCode();
  static BOOL QueryTokenRestricted(BOOL* flag);

  void LoadPolicySettings(const std::string& path);
  void LoadMediaSettings(const std::string& path);
  void LoadLastKeyName();
  void SaveLastKeyName();
  BOOL PrepareKeyListFile();
  BOOL LoadTemplateFolder();
  BOOL WriteKeyListFile(const std::vector<std::string>& names);

  // The self-decrypting options into [VELVOX] of `iniPath` (dialogs/sfxsettings.cpp).
  // 0 all written, 2 a write failed. StoreSfxSettings goes through the elevated
  // settings writer when `elevate` is set: 1 declined, 3 writer unreachable, 4 its
  // challenge failed.
  int SaveSfxSettings(const std::string& iniPath);
  int StoreSfxSettings(const std::string& iniPath, BOOL elevate);
  // Whether the file can be opened for writing (it is created when missing).
  static BOOL IsFileWritable(const std::string& path);

  // Settings.
  int m_nUseTempList = 0;
  int m_nUseToken = 0;
  int m_nLastKeyName = 0;
  int m_nKeyInDisable = 0;
  std::string m_strPlugInName;
  int m_nPwRetryList = 0;
  int m_nPwRetryMode = 0;
  int m_nExtMode = 0;
  int m_nPwRetryMax = 5;
  int m_nPwMinLen = 1;
  std::string m_strExtString;
  int m_nSelfExtract = 0;
  int m_nSelfExtLang = 0;
  int m_nPwRetry = 1;
  int m_nRemovable = 0;
  int m_nDisableArchive = 0;
  std::string m_strMediaKeyName;
  std::string m_strLastKeyName;
  std::string m_strTemplateFolder;
  std::string m_strKeyListFile;
  // Wait in milliseconds after a failed lookup or creation of the key list and template
  // folders, before the next attempt.
  DWORD m_nFolderRetryWait = 1000;

  // Start-up.
  std::string m_strModuleFolder;
  std::string m_strPlugInFolder;
  std::string m_strPolicyIni;
  std::string m_strMediaIni;
  int m_nLanguage = 0;
  BOOL m_bTokenRestricted = 1;
};

// The application object of this process.
CVelvoxApp* VxApp();
