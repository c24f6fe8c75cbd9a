// The hidden main dialog: it owns the state of one job and runs the whole job from
// OnInitDialog, then closes itself.
#pragma once
#include <windows.h>

#include <list>
#include <string>
#include <vector>

#include "contracts/guard.h"
#include "contracts/oplog.h"
#include "dialog.h"

class CVxProgressDlg;
struct ArchiveTotals;

class CVelvoxDlg : public fw::CDialog {
 public:
  explicit CVelvoxDlg(fw::CWnd* parent = nullptr);
  ~CVelvoxDlg() override;

  int CollectArguments();
  static BOOL NormalizeArgPath(std::wstring& out, const std::wstring& path);
  // The sources by their real names, in the order of m_sources: the arguments' own when
  // they gave them, otherwise m_sources read in the code page.
  std::vector<std::wstring> RealSources() const;
  static std::string GetSourceParentFolder(const std::string& path);
  static std::string ResolveShellPath(const std::string& path);
  void KeepLastArchiveArgument();

  // Decryption (decrypt/). keyName: 33 bytes; keyIdBlock: 32 bytes.
  BOOL ReadArchiveKeyInfo(const char* path, char* keyName, unsigned char* keyIdBlock);
  BOOL KeyNameRegistered(const char* name);
  BOOL DecryptToFolder(const std::string& archivePath, const std::string& keyName,
                       const std::string& folder);

  int EncryptJob();
  int DecryptJob();
  BOOL ReleaseGuard();
  BOOL ExportOperationLog();

  // Operation log and guard registration (integration/).
  BOOL SetUpOperationLog(BOOL bSkipGuard);
  BOOL ReadLogServiceState();
  BOOL ReadGuardVersion();
  BOOL ResolveLogFolder();
  BOOL ReadGuardInstallPath(std::string& path);
  void ReadLogPathSetting(const std::string& installPath);
  BOOL QueryTempLogFolder(BOOL bInitialized);
  BOOL RegisterWithGuard();
  BOOL LoadExportLibrary();
  template <typename Record>
  BOOL FillLogRecord(Record& rec, const std::string& file) const;

  // The progress dialog of a job's long step, shown at once; Close hides and frees it.
  void OpenProgressDialog();
  void CloseProgressDialog();
  // Closes the held temporary files, which the system then deletes; a listed name that
  // still holds the very file the job made (a system that kept it) is deleted too.
  void DeleteTempFiles();

  // Output pipeline: the source walk, the archiver driver and the encrypted output.
  BOOL ScanSources();
  BOOL WalkFolder(const std::wstring& folder, BOOL& bFoundFile, ArchiveTotals& totals,
                  size_t baseLength);
  BOOL CompressSources(const std::string& archivePath, BOOL bSelfDecrypting);
  BOOL ExtractArchive(const std::string& archivePath, const std::string& folder);
  void ShowArchiverError();
  // `password` null: an encrypted archive under `keyName`; otherwise a self-decrypting
  // executable under that password.
  BOOL ProduceEncryptedOutput(const std::string& outputPath, const char* keyName,
                              const char* password);

  // Job state, valid while OnInitDialog runs the job.
  std::string m_strWorkFolder;
  CVxProgressDlg* m_pProgressDlg = nullptr;
  int m_nArchiverStatus = 0;
  HICON m_hIcon = nullptr;
  std::list<std::string> m_sources;
  // What the shell passed, also where the code page cannot spell it; m_sources holds the
  // form the libraries take.
  std::list<std::wstring> m_wideSources;
  std::list<std::string> m_tempFiles;
  // Delete-on-close handles that hold the files of m_tempFiles for the job's whole life.
  std::list<HANDLE> m_tempHandles;
  BOOL m_bDecrypt = 0;
  BOOL m_bSelfDecrypting = 0;
  std::string m_outputPath;
  BOOL m_bOpLog = 0;
  HMODULE m_hGuardLib = nullptr;
  HMODULE m_hExportLib = nullptr;
  std::string m_strLogFolder;
  // Real names: a record's code-page text is made when it is written, in the one way
  // that never turns a name into another file's.
  std::list<std::wstring> m_logFiles;
  std::string m_strLogKeyName;
  std::string m_strLogIdent;
  std::vector<DWORD> m_guardIds;
  PFN_TGDRV_AddProcess m_pfnAddProcess = nullptr;
  PFN_TGDRV_DeleteProcess m_pfnDeleteProcess = nullptr;
  PFN_TGDRV_GetRnd m_pfnGetRnd = nullptr;
  PFN_TGDRV_Auth m_pfnAuth = nullptr;
  PFN_TGDRV_CancelAuth m_pfnCancelAuth = nullptr;
  PFN_tgExportLog m_pfnExportLogV1 = nullptr;
  DWORD m_dwGuardVersion = 0;
  HMODULE m_hTraceLib = nullptr;
  PFN_TCTLIB_Initialize m_pfnTraceInit = nullptr;
  PFN_TCTLIB_GetTempLogFolder m_pfnGetTempLogFolder = nullptr;
  PFN_TCTLIB_GetTempLogFolderX m_pfnGetTempLogFolderX = nullptr;
  PFN_tcExportLog m_pfnExportLogV2 = nullptr;

 protected:
  BOOL OnInitDialog() override;
  INT_PTR WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  void OnSysCommand(UINT id, LPARAM lParam);
  void OnPaint();
  void ShowPathTooLong();
  BOOL SourcesHaveUsableNames();
  BOOL ChooseFileToOpen();
  BOOL SourcesShareParent();
  void CleanUpAfterJob();
};

// The about box.
class CAboutDlg : public fw::CDialog {
 public:
  CAboutDlg();

 protected:
  BOOL OnInitDialog() override;
};
