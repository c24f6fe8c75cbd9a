#include "output.h"

#include "phasetrace.h"
#include "app.h"
#include "archdriver.h"
#include "contracts/tempfiles.h"
#include "contracts/tvdev.h"
#include "mbcs.h"
#include "progressdlg.h"
#include "string_ids.h"
#include "velvoxapp.h"
#include "velvoxdlg.h"

namespace {

constexpr uint64_t kMaxArchive = 0x7FFFFFFF;

}  // namespace

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
  DeleteTempFiles();

  vxtrace::Mark("output-begin");
  OpenProgressDialog();
  vxtrace::Mark("progress-shown");
  auto fail = [&] {
    CloseProgressDialog();
    return 0;
  };

  const bool selfDecrypting = password != nullptr;
  std::string archive;
  HANDLE held = INVALID_HANDLE_VALUE;
  BOOL created = CreateTempFile(archive, "vx", held);
  if (created && selfDecrypting) {
    // The packing name ends in ".exe": made beside the reserved ".tmp" as a new file of
    // its own, under another number when someone else's file already has that name.
    created = 0;
    for (int tries = 0; tries < 16 && !created; ++tries) {
      std::string exe = archive.substr(0, archive.size() - 4) + ".exe";
      HANDLE h = CreateHeldFile(exe);
      GiveUpHeldFile(held, archive);
      if (h != INVALID_HANDLE_VALUE) {
        archive = exe;
        held = h;
        created = 1;
      } else if (!CreateTempFile(archive, "vx", held)) {
        break;
      }
    }
  }
  if (!created) {
    if (held != INVALID_HANDLE_VALUE) GiveUpHeldFile(held, archive);
    fw::AfxMessageBox(IDS_TEMP_FILE_FAILED, MB_OK);
    return fail();
  }
  // Listed from the moment it exists: the driver closes and deletes it whatever happens.
  m_tempFiles.push_back(archive);
  m_tempHandles.push_back(held);

  g_nJobPhase = 0;
  if (!CompressSources(archive, selfDecrypting ? 1 : 0)) return fail();
  vxtrace::Mark("packed");

  if (selfDecrypting && RenameTempFile(held, archive, archive.substr(0, archive.size() - 4) + ".ex_")) {
    m_tempFiles.clear();
    m_tempFiles.push_back(archive);
  }

  // The archive is already in the temporary folder; what must still fit is the output,
  // on the volume it is written to, which may be another drive.
  const size_t slash = fw::ReverseFindBackslash(outputPath);
  const std::string outputFolder = slash == std::string::npos ? outputPath : outputPath.substr(0, slash + 1);
  uint64_t freeBytes = 0;
  if (!GetFreeDiskSpace(outputFolder, freeBytes)) {
    fw::AfxMessageBox(fw::FormatArgs(fw::LoadStr(IDS_FREE_SPACE_UNKNOWN), {outputFolder}), MB_OK);
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
      fw::AfxMessageBox(fw::FormatArgs(fw::LoadStr(IDS_DISK_SPACE_LOW), {mb, outputFolder}), MB_OK);
      return fail();
    }
  }

  if (m_pProgressDlg && m_pProgressDlg->m_hWnd) {
    m_pProgressDlg->ShowCaption(fw::LoadStr(IDS_CAPTION_ENCRYPTING));
    m_pProgressDlg->ShowText(fw::FileNamePart(outputPath));
  }
  g_nJobPhase = 1;
  vxtrace::Mark("encrypt-begin");

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
  vxtrace::Mark("encrypted");
  if (ok) {
    CloseProgressDialog();
    vxtrace::Mark("progress-closed");
    return 1;
  }
  DWORD err = TVDEV_GetLastError(0);
  UINT id = err == TVDEV_ERR_CANCELLED      ? IDS_CANCELLED_BY_USER
            : err == TVDEV_ERR_KEY_SUSPENDED ? IDS_KEY_SUSPENDED_ENCRYPT
                                             : IDS_ENCRYPT_FAILED;
  fw::AfxMessageBox(id, MB_OK);
  return fail();
}
