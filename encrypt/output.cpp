#include "output.h"

#include "app.h"
#include "archdriver.h"
#include "contracts/tvdev.h"
#include "mbcs.h"
#include "progressdlg.h"
#include "string_ids.h"
#include "velvoxapp.h"
#include "velvoxdlg.h"

namespace {

constexpr uint64_t kMaxArchive = 0x7FFFFFFF;

std::string TempFolder() {
  char buf[MAX_PATH + 16] = {};
  DWORD n = ::GetTempPathA(MAX_PATH, buf);
  return n > 0 && n < MAX_PATH ? std::string(buf, n) : std::string();
}

}  // namespace

BOOL CreateTempFile(std::string& path, const char* prefix) {
  path.clear();
  std::string folder = TempFolder();
  if (folder.empty()) return 0;
  char name[MAX_PATH] = {};
  if (!::GetTempFileNameA(folder.c_str(), prefix, 0, name)) return 0;
  path = name;
  return 1;
}

BOOL GetFreeDiskSpace(const std::string& folder, uint64_t& bytes) {
  using GetDiskFreeSpaceExAFn = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  auto ex = kernel ? reinterpret_cast<GetDiskFreeSpaceExAFn>(
                         reinterpret_cast<void*>(::GetProcAddress(kernel, "GetDiskFreeSpaceExA")))
                   : nullptr;
  if (ex) {
    ULARGE_INTEGER avail, total, free;
    if (!ex(folder.c_str(), &avail, &total, &free)) return 0;
    bytes = avail.QuadPart;
    return 1;
  }
  std::string root = folder.substr(0, 3);
  DWORD spc = 0, bps = 0, freeClusters = 0, clusters = 0;
  if (!::GetDiskFreeSpaceA(root.c_str(), &spc, &bps, &freeClusters, &clusters)) return 0;
  bytes = static_cast<uint64_t>(freeClusters) * bps * spc;
  return 1;
}

BOOL CVelvoxDlg::ProduceEncryptedOutput(const std::string& outputPath, const char* keyName,
                                        const char* password) {
  // Whatever an earlier step listed may hold plaintext: it goes before the list restarts.
  for (const std::string& t : m_tempFiles) ::DeleteFileA(t.c_str());
  m_tempFiles.clear();

  OpenProgressDialog();
  auto fail = [&] {
    CloseProgressDialog();
    return 0;
  };

  const bool selfDecrypting = password != nullptr;
  std::string archive;
  BOOL created = CreateTempFile(archive, "vx");
  // Listed from the moment it exists: the driver deletes it whatever happens next.
  if (!archive.empty()) m_tempFiles.push_back(archive);
  if (!created) {
    fw::AfxMessageBox(IDS_TEMP_FILE_FAILED, MB_OK);
    if (!archive.empty()) ::DeleteFileA(archive.c_str());
    return fail();
  }
  if (selfDecrypting) {
    ::DeleteFileA(archive.c_str());
    archive.replace(archive.size() - 4, 4, ".exe");
    m_tempFiles.clear();
    m_tempFiles.push_back(archive);
  }

  g_nJobPhase = 0;
  if (!CompressSources(archive, selfDecrypting ? 1 : 0)) return fail();

  if (selfDecrypting) {
    std::string renamed = archive.substr(0, archive.size() - 4) + ".ex_";
    if (::MoveFileA(archive.c_str(), renamed.c_str())) {
      archive = renamed;
      m_tempFiles.clear();
      m_tempFiles.push_back(archive);
    }
  }

  std::string tempFolder = TempFolder();
  uint64_t freeBytes = 0;
  if (!GetFreeDiskSpace(tempFolder, freeBytes)) {
    fw::AfxMessageBox(fw::FormatArgs(fw::LoadStr(IDS_FREE_SPACE_UNKNOWN), {tempFolder}), MB_OK);
    return fail();
  }
  WIN32_FIND_DATAA fd;
  HANDLE find = ::FindFirstFileA(archive.c_str(), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    ::FindClose(find);
    // All 64 bits: a low half alone would let a 4 GB archive pass as a small one.
    uint64_t size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    if (size > kMaxArchive) {
      fw::AfxMessageBox(IDS_ARCHIVE_OVER_2GB, MB_OK);
      return fail();
    }
    if (size > freeBytes) {
      std::string mb = fw::Sprintf("%d", static_cast<int>(size >> 20));
      fw::AfxMessageBox(fw::FormatArgs(fw::LoadStr(IDS_DISK_SPACE_LOW), {mb, tempFolder}), MB_OK);
      return fail();
    }
  }

  if (m_pProgressDlg && m_pProgressDlg->m_hWnd) {
    m_pProgressDlg->SetWindowText(fw::LoadStr(IDS_CAPTION_ENCRYPTING));
    m_pProgressDlg->m_strText = fw::FileNamePart(outputPath);
    m_pProgressDlg->UpdateData(FALSE);
  }
  g_nJobPhase = 1;

  BOOL ok;
  if (selfDecrypting) {
    CVelvoxApp* app = VxApp();
    DWORD attempts = app && app->m_nPwRetryMode != 0 ? static_cast<DWORD>(app->m_nPwRetryMax) : 0;
    DWORD english = app && app->m_nSelfExtLang == 1 ? 1 : 0;
    ok = TVDEV_CreateSelfExtractEx(archive.c_str(), outputPath.c_str(), password, 2, attempts,
                                   CryptoProgressCallback, this, 0, english, 0);
  } else {
    ok = TVDEV_EncryptArchive(keyName, archive.c_str(), outputPath.c_str(), 0, nullptr,
                              CryptoProgressCallback, this, 0, 0);
  }
  if (ok) {
    CloseProgressDialog();
    return 1;
  }
  DWORD err = TVDEV_GetLastError(0);
  UINT id = err == TVDEV_ERR_CANCELLED      ? IDS_CANCELLED_BY_USER
            : err == TVDEV_ERR_KEY_SUSPENDED ? IDS_KEY_SUSPENDED_ENCRYPT
                                             : IDS_ENCRYPT_FAILED;
  fw::AfxMessageBox(id, MB_OK);
  return fail();
}
