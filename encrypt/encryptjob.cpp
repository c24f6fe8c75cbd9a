// The encryption job: a small state machine from the sources to one protected file.
// Cancelling the key or password dialog, and an unusable output folder, lead back to
// the save-as dialog; cancelling that ends the job without a word.
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app.h"
#include "encryptjob.h"
#include "filedlg.h"
#include "guard.h"
#include "keyaccess.h"
#include "keyindlg.h"
#include "keyseldlg.h"
#include "mbcs.h"
#include "phasetrace.h"
#include "resource.h"
#include "sfxkeydlg.h"
#include "sourcewalk.h"
#include "string_ids.h"
#include "velvoxapp.h"
#include "velvoxdlg.h"

namespace {

enum JobStep {
  JOB_STEP_SAVE_AS = 0,
  JOB_STEP_KEY = 1,
  JOB_STEP_PASSWORD = 2,
  JOB_STEP_SFX_NAME = 3,
  JOB_STEP_PREPARE = 4,
  JOB_STEP_OUTPUT = 5,
};

// The save-as step builds folder and name in buffers of this size, terminator included.
constexpr size_t kSaveAsPathSize = 276;
constexpr int kShortcutTargetSize = 260;

bool EqualIgnoringCaseMb(const std::string& a, const std::string& b) {
  return fw::UpperMb(a) == fw::UpperMb(b);
}

bool FileExists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

std::string ProposeOutputName(const std::string& firstSource, const SYSTEMTIME& now) {
  std::string name = fw::CutAtCharBoundary(fw::FileNamePart(firstSource), 519);
  // '.' is never the trail byte of a double-byte character, so a plain search is safe.
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  if (name.empty())
    name = fw::Sprintf("VX%04d%02d%02d%02d%02d%02d", now.wYear, now.wMonth, now.wDay, now.wHour,
                       now.wMinute, now.wSecond);
  return name;
}

std::string SelfDecryptingPath(const std::string& outputPath, const std::string& ext) {
  size_t slash = fw::ReverseFindBackslash(outputPath);
  std::string folder = slash == std::string::npos ? std::string() : outputPath.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? outputPath : outputPath.substr(slash + 1);
  size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.erase(dot);
  return folder + base + "." + ext;
}

int CVelvoxDlg::EncryptJob() {
  CVelvoxApp* app = VxApp();
  CVxKeyInDlg keyInDlg;
  CVxKeySelDlg keySelDlg;
  CVxSfxKeyDlg sfxDlg(OsVersionCode < 600 ? IDD_SFX_KEY_OLD : IDD_SFX_KEY);
  std::string keyName;
  std::string extBeforePasswordDialog;
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  const std::string defaultName =
      m_sources.empty() ? std::string() : ProposeOutputName(m_sources.front(), now);

  int step = JOB_STEP_SAVE_AS;
  for (;;) {
    // The configured extension is checked before every step, whatever the output: the
    // password dialog may have changed it, and a bad one must never name a file.
    std::string ext = "exe";
    if (app->m_nExtMode != 0) {
      ext = fw::CutAtCharBoundary(app->m_strExtString, 3);
      if (!CVxSfxKeyDlg::IsValidExtension(ext)) {
        fw::AfxMessageBox(fw::FormatArgs(fw::LoadStr(IDS_SFX_EXT_SETTING_INVALID), {ext}),
                          MB_OK | MB_ICONEXCLAMATION);
        return 0;
      }
    }

    switch (step) {
      case JOB_STEP_SAVE_AS: {
        std::string filter = fw::LoadStr(IDS_SAVE_FILTER);
        for (size_t pos; (pos = filter.find("%s")) != std::string::npos;) filter.replace(pos, 2, ext);
        BOOL noTestCreate = OsVersionCode >= 600 ? SetUpOperationLog(1) : 0;
        CVxFileDlg fileDlg(FALSE, "xss", defaultName, OFN_HIDEREADONLY | OFN_NOVALIDATE, filter,
                           nullptr, noTestCreate);
        if (app->m_nSelfExtract == 1) fileDlg.m_ofn.nFilterIndex = 2;
        fileDlg.m_strSelfExt = ext;
        fileDlg.SetInitialDir(m_strWorkFolder);
        if (fileDlg.DoModal() != IDOK) return 0;

        std::string folder, name;
        bool usable = false;
        if (SplitFolderAndName(fileDlg.GetPathName(), folder, name)) {
          SHFILEINFOA info{};
          if (!::SHGetFileInfoA(folder.c_str(), 0, &info, sizeof info, SHGFI_ATTRIBUTES)) {
            fw::AfxMessageBox(IDS_OUTPUT_FOLDER_INACCESSIBLE, MB_OK);
            continue;
          }
          if (SUCCEEDED(::CoInitialize(nullptr))) {
            char target[kShortcutTargetSize] = {};
            WIN32_FIND_DATAA found{};
            if (SUCCEEDED(ResolveShortcutPath(folder, target, kShortcutTargetSize, &found)))
              folder = std::string(target) + "\\";
            ::CoUninitialize();
          }
          DWORD attributes = ::GetFileAttributesA(folder.c_str());
          // A folder whose shortcut target and name do not fit the path buffer cannot
          // be written to as chosen: treated like a folder that cannot be used.
          usable = attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                   folder.size() + name.size() < kSaveAsPathSize;
        }
        if (!usable) {
          fw::AfxMessageBox(IDS_OUTPUT_FOLDER_INACCESSIBLE, MB_OK);
          continue;
        }
        m_outputPath = folder + name;
        m_bSelfDecrypting = fileDlg.m_bSelfDecryptChecked ? 1 : 0;
        step = m_bSelfDecrypting ? JOB_STEP_PASSWORD : JOB_STEP_KEY;
        break;
      }

      case JOB_STEP_KEY: {
        INT_PTR result;
        if (app->m_nUseTempList != 0) {
          result = keySelDlg.DoModal();
          keyName = keySelDlg.m_strResultKeyName;
        } else {
          result = keyInDlg.DoModal();
          keyName = keyInDlg.m_strResultKeyName;
        }
        vxtrace::Mark("key-dialog-closed");
        if (result != IDOK) {
          keyName.clear();
          step = JOB_STEP_SAVE_AS;
          break;
        }
        if (OsVersionCode == 603) {
          app->PrepareKeyListFile();
          app->LoadTemplateFolder();
          std::vector<std::string> names;
          ListUsableKeyNames(names);
          app->WriteKeyListFile(names);
        }
        // The suite's components that were told of the key get a moment to take it up
        // before the output starts.
        vxtrace::Mark("pause-begin");
        ::Sleep(1000);
        vxtrace::Mark("pause-end");
        step = JOB_STEP_PREPARE;
        break;
      }

      case JOB_STEP_PASSWORD:
        extBeforePasswordDialog = ext;
        step = sfxDlg.DoModal() == IDOK ? JOB_STEP_SFX_NAME : JOB_STEP_SAVE_AS;
        break;

      case JOB_STEP_SFX_NAME:
        m_outputPath = SelfDecryptingPath(m_outputPath, ext);
        step = JOB_STEP_PREPARE;
        break;

      case JOB_STEP_PREPARE:
        if (SetUpOperationLog(0)) {
          m_logFiles.clear();
          m_bOpLog = 1;
        }
        if (app->m_nRemovable != 0 && app->m_nDisableArchive == 0 &&
            !RegisterMediaWriter(m_outputPath)) {
          fw::AfxMessageBox(IDS_MEDIA_WRITE_START_FAILED, MB_OK | MB_ICONEXCLAMATION);
          sfxDlg.WipePassword();
          return 0;
        }
        step = JOB_STEP_OUTPUT;
        break;

      case JOB_STEP_OUTPUT: {
        vxtrace::Mark("prepared");
        if (m_bOpLog) m_strLogKeyName = m_bSelfDecrypting ? std::string() : keyName;
        if (app->m_nExtMode != 0 && !EqualIgnoringCaseMb(extBeforePasswordDialog, ext) &&
            FileExists(m_outputPath)) {
          if (fw::AfxMessageBox(FormatIdS(IDS_CONFIRM_OVERWRITE_OUTPUT, m_outputPath),
                                MB_YESNO) != IDYES) {
            sfxDlg.WipePassword();
            return 0;
          }
        }
        BOOL ok;
        if (m_bSelfDecrypting)
          ok = ProduceEncryptedOutput(m_outputPath, "", sfxDlg.m_strPassword.c_str());
        else
          ok = ProduceEncryptedOutput(m_outputPath, keyName.c_str(), nullptr);
        sfxDlg.WipePassword();
        // A failed output logs no file.
        if (!ok) m_logFiles.clear();
        return ok ? 1 : 0;
      }

      default:
        return 0;
    }
  }
}
