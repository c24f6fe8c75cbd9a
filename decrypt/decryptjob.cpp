// The decryption job: from an encrypted archive to files in a folder that the user
// chooses, with the key proven in a key dialog unless the store already holds it
// enabled under the archive's identifier.
#include "decryptjob.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "app.h"
#include "contracts/tempfiles.h"
#include "contracts/tvdev.h"
#include "keyaccess.h"
#include "keyindlg.h"
#include "keyseldlg.h"
#include "mbcs.h"
#include "phasetrace.h"
#include "progressdlg.h"
#include "sourcewalk.h"
#include "string_ids.h"
#include "velvoxapp.h"
#include "velvoxdlg.h"

namespace {

constexpr size_t kKeyIdCompared = 32;
constexpr size_t kFolderBuffer = 276;

enum Step { kAskKey, kAskFolder, kDecrypt };

// Copies at most `capacity` - 1 bytes and always terminates.
void CopyBounded(char* to, size_t capacity, const char* from) {
  const size_t n = strnlen(from, capacity - 1);
  std::memcpy(to, from, n);
  to[n] = '\0';
}

}  // namespace

BOOL CVelvoxDlg::KeyNameRegistered(const char* name) {
  if (!name) return 0;
  KeyInfo record{};
  CopyBounded(record.Name, sizeof record.Name, name);
  return TVDEV_GetKeyInfoByName(&record, 0) == 1 &&
                 TVDEV_GetLastError(0) != TVDEV_ERR_NOT_REGISTERED
             ? 1
             : 0;
}

BOOL FindValidKeyId(const char* name, unsigned char* out) {
  std::memset(out, 0, kKeyIdCompared);
  std::vector<KeyInfo> keys;
  if (!name || !ReadAllKeys(keys)) return 0;
  for (const KeyInfo& k : keys) {
    if (k.Valid == 1 && std::string(k.Name, strnlen(k.Name, sizeof k.Name)) == name) {
      std::memcpy(out, k.KeyId, sizeof k.KeyId);
      return 1;
    }
  }
  return 0;
}

int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM lParam, LPARAM data) {
  if (message == BFFM_INITIALIZED && data) {
    ::SendMessageA(window, BFFM_SETSELECTIONA, 1, data);
  } else if (message == BFFM_SELCHANGED) {
    // Items outside the file system (the computer, the network) give no path: OK would
    // hand back nothing to extract into.
    char path[520] = {};
    if (lParam) ::SHGetPathFromIDListA(reinterpret_cast<PCIDLIST_ABSOLUTE>(lParam), path);
    ::SendMessageA(window, BFFM_ENABLEOK, 0, path[0] != '\0');
  }
  return 0;
}

BOOL BrowseForOutputFolder(HWND owner, char* path, const char* initialFolder) {
  // The browser selects a folder only by its plain name: no trailing backslash except on
  // a drive root.
  char initial[520] = {};
  CopyBounded(initial, sizeof initial, initialFolder ? initialFolder : "");
  const std::string start = initial;
  if (start.size() > 3 && fw::ReverseFindBackslash(start) == start.size() - 1)
    initial[start.size() - 1] = '\0';

  char title[256] = {};
  HINSTANCE module =
      owner ? reinterpret_cast<HINSTANCE>(::GetWindowLongPtrA(owner, GWLP_HINSTANCE)) : nullptr;
  if (!::LoadStringA(module ? module : fw::AfxGetResourceHandle(), IDS_BROWSE_DEST_TITLE, title,
                     sizeof title))
    ::LoadStringA(fw::AfxGetResourceHandle(), IDS_BROWSE_DEST_TITLE, title, sizeof title);

  path[0] = '\0';
  IMalloc* allocator = nullptr;
  if (FAILED(::SHGetMalloc(&allocator)) || !allocator) return 0;

  BROWSEINFOA bi{};
  bi.hwndOwner = owner;
  bi.pidlRoot = nullptr;
  bi.pszDisplayName = nullptr;
  bi.lpszTitle = title;
  bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  bi.lpfn = BrowseCallback;
  bi.lParam = reinterpret_cast<LPARAM>(initial);
  PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderA(&bi);
  if (!chosen) {
    allocator->Release();
    return 0;
  }
  // Taken wide: the narrow call spells a folder the code page cannot spell as its
  // look-alike, which may be another folder. Such a folder is left empty, and so
  // refused: the archiver takes the destination only as code-page text.
  wchar_t chosenPath[MAX_PATH] = {};
  bool lossy = true;
  const std::string acp =
      ::SHGetPathFromIDListW(chosen, chosenPath) ? fw::ToCodePage(chosenPath, &lossy) : std::string();
  if (!lossy && acp.size() < MAX_PATH)
    CopyBounded(path, MAX_PATH, acp.c_str());
  else
    path[0] = '\0';
  allocator->Free(chosen);
  allocator->Release();

  SHFILEINFOA info{};
  if (!::SHGetFileInfoA(path, 0, &info, sizeof info, SHGFI_ATTRIBUTES)) return 1;

  // A shortcut to a folder stands for its target.
  HRESULT com = ::CoInitialize(nullptr);
  if (SUCCEEDED(com)) {
    char target[MAX_PATH] = {};
    if (ResolveShortcutPath(path, target, MAX_PATH, nullptr) == S_OK && target[0])
      CopyBounded(path, MAX_PATH, target);
    ::CoUninitialize();
  }
  return 1;
}

BOOL CVelvoxDlg::DecryptToFolder(const std::string& archivePath, const std::string& keyName,
                                 const std::string& folder) {
  vxtrace::Mark("output-begin");
  OpenProgressDialog();
  vxtrace::Mark("progress-shown");

  // The decrypted archive is plaintext: listed from the moment it exists, so that the
  // driver deletes it on every way out of the job, and of the process.
  std::string temp;
  HANDLE held = INVALID_HANDLE_VALUE;
  if (!CreateTempFile(temp, "vx", held)) {
    fw::AfxMessageBox(IDS_TEMP_FILE_FAILED, MB_OK);
    CloseProgressDialog();
    return 0;
  }
  // Held delete-on-close until the job ends: the library writes into this very file, so
  // the plaintext is gone with the process whichever way it ends.
  m_tempFiles.push_back(temp);
  m_tempHandles.push_back(held);

  if (m_pProgressDlg && m_pProgressDlg->m_hWnd) {
    m_pProgressDlg->ShowCaption(fw::LoadStr(IDS_CAPTION_DECRYPTING));
    // The archive as the user knows it: the path the library takes may be its short form.
    const std::vector<std::wstring> real = RealSources();
    const std::wstring shown =
        !real.empty() && m_sources.front() == archivePath ? real.front() : fw::ToWide(archivePath);
    m_pProgressDlg->ShowText(shown.substr(shown.find_last_of(L'\\') + 1));
  }
  g_nJobPhase = 2;

  vxtrace::Mark("decrypt-begin");
  if (TVDEV_DecryptArchive(keyName.c_str(), archivePath.c_str(), temp.c_str(),
                           CryptoProgressCallback, this, 0, 0)) {
    g_nJobPhase = 3;
    vxtrace::Mark("decrypted");
    // Extraction reports its own failures; the archive was decrypted either way.
    ExtractArchive(temp, folder);
    vxtrace::Mark("extracted");
    DeleteTempFiles();
    CloseProgressDialog();
    vxtrace::Mark("progress-closed");
    return 1;
  }

  const DWORD error = TVDEV_GetLastError(0);
  fw::AfxMessageBox(error == TVDEV_ERR_CANCELLED        ? IDS_CANCELLED_BY_USER
                    : error == TVDEV_ERR_KEY_SUSPENDED ? IDS_KEY_SUSPENDED_DECRYPT
                                                       : IDS_DECRYPT_FAILED,
                    MB_OK);
  CloseProgressDialog();
  return 0;
}

int CVelvoxDlg::DecryptJob() {
  CVxKeyInDlg keyIn;
  CVxKeySelDlg keySel;
  std::string keyName;
  const std::string archive = m_sources.empty() ? std::string() : m_sources.front();

  char archiveKeyName[33] = {};
  unsigned char archiveKeyId[kKeyIdCompared] = {};
  if (!ReadArchiveKeyInfo(archive.c_str(), archiveKeyName, archiveKeyId)) {
    fw::AfxMessageBox(IDS_ARCHIVE_FORMAT_BAD, MB_OK);
    return 0;
  }
  if (!KeyNameRegistered(archiveKeyName)) {
    fw::AfxMessageBox(IDS_NO_USABLE_KEY, MB_OK);
    return 0;
  }

  keyIn.m_strKeyName = archiveKeyName;
  keyIn.m_strExpectedKeyName = archiveKeyName;
  keyIn.m_bFixedKeyName = 1;
  keySel.m_strCurrentKeyName = archiveKeyName;
  keySel.m_strExpectedKeyName = archiveKeyName;
  keySel.m_bFixedKeyName = 1;

  Step step = kAskKey;
  unsigned char storeKeyId[kKeyIdCompared] = {};
  if (FindValidKeyId(archiveKeyName, storeKeyId) &&
      std::memcmp(storeKeyId, archiveKeyId, kKeyIdCompared) == 0) {
    // Enabled in the store under the archive's own identifier: nothing to prove.
    keyIn.m_strResultKeyName = archiveKeyName;
    keySel.m_strResultKeyName = archiveKeyName;
    keyName = archiveKeyName;
    step = kAskFolder;
  }

  CVelvoxApp* app = VxApp();
  char folder[kFolderBuffer];
  for (;;) {
    switch (step) {
      case kAskKey: {
        const bool selection = app && app->m_nUseTempList != 0;
        const INT_PTR answer = selection ? keySel.DoModal() : keyIn.DoModal();
        keyName = selection ? keySel.m_strResultKeyName : keyIn.m_strResultKeyName;
        if (answer == IDCANCEL) return 0;
        if (OsVersionCode == 603 && app) {
          app->PrepareKeyListFile();
          app->LoadTemplateFolder();
          std::vector<std::string> names;
          ListUsableKeyNames(names);
          app->WriteKeyListFile(names);
        }
        step = kAskFolder;
        break;
      }
      case kAskFolder: {
        std::memset(folder, 0, sizeof folder);
        if (!BrowseForOutputFolder(m_hWnd, folder, m_strWorkFolder.c_str())) return 0;
        vxtrace::Mark("browser-closed");
        const DWORD attributes = ::GetFileAttributesA(folder);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
          // The archiver joins the folder and the names with a backslash of its own.
          const size_t n = std::strlen(folder);
          if (n > 2 && folder[n - 2] == ':' && folder[n - 1] == '\\') folder[n - 1] = '\0';
          step = kDecrypt;
        } else {
          fw::AfxMessageBox(IDS_DEST_FOLDER_INACCESSIBLE, MB_OK);
        }
        break;
      }
      case kDecrypt:
        DecryptToFolder(archive, keyName, folder);
        return 0;
    }
  }
}
