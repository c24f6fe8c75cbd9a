// The output pipeline on the real libraries, driven as the jobs will drive it: sources
// walked and checked, packed by Zoras.dll, encrypted by tarvodev.dll, decrypted and
// extracted back; the progress dialog's Cancel at every phase; the overwrite question.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <list>
#include <optional>

#include "archdriver.h"
#include "contracts/archiver.h"
#include "contracts/tempfiles.h"
#include "contracts/tempmark.h"
#include "contracts/tvdev.h"
#include "mbcs.h"
#include "owdlg.h"
#include "pipelinehost.h"
#include "progressdlg.h"
#include "resource.h"
#include "sourcewalk.h"
#include "string_ids.h"
#include "tempmarks.h"
#include "tvtest.h"
#include "testfiles.h"
#include "uidriver.h"
#include "velvoxapp.h"

using namespace pltest;
using vxtest::Acp;
using vxtest::Utf8;

CVelvoxApp theApp;

namespace {

const std::string kRoot = "C:\\vxpl";
const char kKey[] = "PipeKey";

// Japanese names, one whose second byte is 0x5C (U+8868 is 0x95 0x5C, U+30BD 0x83 0x5C).
const std::string kJpFolder = Acp(u8"\u8cc7\u6599");                 // 資料
const std::string kTrailFile = Acp(u8"\u8868\u30bd.txt");            // 表ソ.txt
const std::string kJpFile = Acp(u8"\u65e5\u672c\u8a9e.dat");         // 日本語.dat

std::string Repeat(char c, size_t n) { return std::string(n, c); }

// Whether a record of velvox's names the temporary file `path`.
bool Recorded(const std::string& path) {
  const auto records =
      vxtest::RecordsBelow(tempmark::kVelvoxKey, vxtest::Wide(path.substr(0, fw::ReverseFindBackslash(path))));
  return std::find(records.begin(), records.end(), vxtest::Wide(path)) != records.end();
}

std::string Data(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return s;
}

// Points TEMP and TMP of this process at `folder` (made fresh) until destruction.
class OwnTempFolder {
 public:
  explicit OwnTempFolder(const std::string& folder) : env_(Made(folder)) {}

 private:
  static std::vector<std::pair<std::string, std::string>> Made(const std::string& folder) {
    vxtest::RemoveTree(folder);
    EXPECT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr)) << folder;
    return {{"TEMP", folder}, {"TMP", folder}};
  }
  vxtest::ScopedEnvironment env_;
};

class Pipeline : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    theApp.LoadConfiguration();
    store_ = new tvtest::StoreHome();
    tvtest::AddKey(kKey, KEY_ALG_AES, "value", /*enabled=*/true);
    tvtest::AddKey("Paused", KEY_ALG_AES, "value", true, /*suspended=*/true);
  }
  static void TearDownTestSuite() {
    delete store_;
    store_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(::GetSystemMetrics(SM_CXSCREEN), 0) << "needs a display";
    FreshDir(kRoot);
    theApp.m_nSelfExtLang = 0;
  }
  void TearDown() override { vxtest::RemoveTree(kRoot); }

  // The sample tree: src\資料 with nested, empty and Japanese-named content.
  std::string MakeSources() {
    std::string src = kRoot + "\\src";
    std::string box = src + "\\" + kJpFolder;
    ::CreateDirectoryA(src.c_str(), nullptr);
    ::CreateDirectoryA(box.c_str(), nullptr);
    ::CreateDirectoryA((box + "\\nested").c_str(), nullptr);
    ::CreateDirectoryA((box + "\\nested\\deeper").c_str(), nullptr);
    ::CreateDirectoryA((box + "\\empty").c_str(), nullptr);
    WriteFile(box + "\\" + kTrailFile, "trail byte name");
    WriteFile(box + "\\zero.bin", "");
    WriteFile(box + "\\nested\\" + kJpFile, Data(300000, 1));
    WriteFile(box + "\\nested\\deeper\\big.bin", Data(3 << 20, 2));
    ::CreateDirectoryA((src + "\\onlyempty").c_str(), nullptr);
    ::CreateDirectoryA((src + "\\onlyempty\\sub").c_str(), nullptr);
    WriteFile(src + "\\a.txt", "plain file source");
    return src;
  }

  static tvtest::StoreHome* store_;
};
tvtest::StoreHome* Pipeline::store_ = nullptr;

TEST_F(Pipeline, EncryptedArchiveRoundTripsByteForByte) {
  std::string src = MakeSources();
  std::string xss = kRoot + "\\out.xss", dest = kRoot + "\\dest";
  ::CreateDirectoryA(dest.c_str(), nullptr);
  BOOL produced = 0, extracted = 0;
  std::list<std::string> temps;
  bool recorded = false;
  BoxAnswerer user;
  RunJob([&](CVelvoxDlg& dlg) {
    // A folder, a folder holding only empty folders (the archiver's "not found" code is
    // accepted beside real files) and a plain file, as the shell passes them.
    dlg.m_sources = {src + "\\" + kJpFolder, src + "\\onlyempty", src + "\\a.txt"};
    produced = dlg.ProduceEncryptedOutput(xss, kKey, nullptr);
    temps = dlg.m_tempFiles;
    recorded = !temps.empty() && Recorded(temps.front());
    dlg.DeleteTempFiles();
    if (produced) extracted = DecryptAndExtract(dlg, kKey, xss, dest);
  });
  EXPECT_TRUE(user.Finish().empty());
  ASSERT_TRUE(produced);
  ASSERT_TRUE(extracted);
  ASSERT_EQ(temps.size(), 1u);
  // Recorded while the job held it, so that a start after a power cut would remove it;
  // the record went with the file.
  EXPECT_TRUE(recorded);
  EXPECT_FALSE(Recorded(temps.front()));
  std::string tempName = fw::FileNamePart(temps.front());
  EXPECT_EQ(tempName.substr(0, 2), "vx");
  EXPECT_EQ(tempName.substr(tempName.size() - 4), ".tmp");

  auto expected = Tree(src);
  expected.erase("onlyempty");  // the archiver records no folder that holds no file
  expected.erase("onlyempty\\sub");
  auto got = Tree(dest);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(got.count(Utf8(kJpFolder) + "\\empty"), 1u) << "empty folder inside a packed folder";
}

TEST_F(Pipeline, SelfDecryptingOutputIsWrittenAndExtractsWithItsPassword) {
  std::string src = MakeSources();
  std::string exe = kRoot + "\\out.exe", dest = kRoot + "\\sfxdest";
  ::CreateDirectoryA(dest.c_str(), nullptr);
  theApp.m_nSelfExtLang = 1;  // English stub: its dialogs have a fixed English title
  BOOL produced = 0;
  std::list<std::string> temps;
  std::vector<bool> recorded;  // .tmp, .exe, .ex_ while the job holds the archive
  BoxAnswerer user;
  RunJob([&](CVelvoxDlg& dlg) {
    dlg.m_sources = {src + "\\" + kJpFolder};
    produced = dlg.ProduceEncryptedOutput(exe, nullptr, "pw-1");
    temps = dlg.m_tempFiles;
    if (!temps.empty()) {
      const std::string base = temps.front().substr(0, temps.front().size() - 4);
      for (const char* ext : {".tmp", ".exe", ".ex_"}) recorded.push_back(Recorded(base + ext));
    }
    dlg.DeleteTempFiles();
  });
  EXPECT_TRUE(user.Finish().empty());
  ASSERT_TRUE(produced);
  ASSERT_EQ(temps.size(), 1u);
  std::string tempName = fw::FileNamePart(temps.front());
  EXPECT_EQ(tempName.substr(0, 2), "vx");
  EXPECT_EQ(tempName.substr(tempName.size() - 4), ".ex_") << "the packed archive is renamed";
  // The record follows the file: the name given up and the packing name are no longer
  // recorded, and nothing is once the job is over.
  EXPECT_EQ(recorded, (std::vector<bool>{false, false, true}));
  EXPECT_FALSE(Recorded(temps.front()));

  const std::string title = "TARVO-Pro Self-Decrypting File";
  auto p = vxtest::Process::Start("\"" + exe + "\"");
  HWND pw = vxtest::WaitForWindow(title, "#32770", 20000, p.pid());
  ASSERT_NE(pw, nullptr);
  vxtest::SetControlText(pw, 1001, "pw-1");
  vxtest::ClickButton(pw, IDOK);
  ASSERT_TRUE(vxtest::WaitWindowGone(pw, 30000));
  HWND folder = vxtest::WaitForWindow(title, "#32770", 20000, p.pid());
  ASSERT_NE(folder, nullptr);
  vxtest::SetControlText(folder, 1002, dest);
  vxtest::ClickButton(folder, IDOK);
  vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", 30000, p.pid());
  EXPECT_EQ(p.Wait(20000), 0u);
  auto expected = Tree(src);
  auto got = Tree(dest);
  for (auto it = expected.begin(); it != expected.end();) {
    // Only the one folder source was packed.
    if (it->first.rfind(Utf8(kJpFolder), 0) != 0) it = expected.erase(it);
    else ++it;
  }
  EXPECT_EQ(got, expected);
}

// ---- Limits of the source walk --------------------------------------------------------

std::string g_named;

std::string MakeSparse(const std::string& path, uint64_t size) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD n = 0;
  ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &n, nullptr);
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(size);
  ::SetFilePointerEx(h, li, nullptr, FILE_BEGIN);
  ::SetEndOfFile(h);
  ::CloseHandle(h);
  return path;
}

// The temporary archive is a new file of the job's own, held delete-on-close from its
// creation; packing refuses any other file (one planted under a temporary name would
// receive the sources). At start, the archives that earlier runs left are removed, but
// not one that a running instance holds, nor anything else of the folder, whatever its
// name: only a recorded file is a job's.
TEST_F(Pipeline, TemporaryArchivesAreTheJobsOwnAndStaleOnesAreRemoved) {
  std::string src = MakeSources();
  const std::string planted = kRoot + "\\vx1234.tmp";
  WriteFile(planted, "PK planted");
  BOOL packed = 1;
  {
    BoxAnswerer user;
    RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {src + "\\a.txt"};
      packed = dlg.CompressSources(planted, 0);
    });
    EXPECT_EQ(user.Finish(), std::vector<std::string>{
                                 Utf8(fw::LoadStr(IDS_TEMP_FILE_FAILED))});
  }
  EXPECT_FALSE(packed);
  EXPECT_EQ(ReadFile(planted), "PK planted");

  const std::string temp = kRoot + "\\temp";
  ASSERT_TRUE(::CreateDirectoryA(temp.c_str(), nullptr));
  vxtest::RecordsGoWith records(tempmark::kVelvoxKey, vxtest::Wide(temp));
  std::string mine;
  HANDLE held = INVALID_HANDLE_VALUE;
  BOOL created;
  {
    const vxtest::ScopedEnvironment env({{"TEMP", temp}, {"TMP", temp}});
    created = CreateTempFile(mine, "vx", held);
    for (const char* name : {"vx1A.tmp", "VXBEEF.EXE", "vx0.ex_", "vx12345.tmp", "vxa.txt", "vxg1.tmp", "report.tmp"})
      WriteFile(temp + "\\" + name, "left");
    ASSERT_TRUE(vxtest::LeaveAsAPowerCutWould(tempmark::kVelvoxKey, vxtest::Wide(temp + "\\vx1B.tmp"), "PK"));
    RemoveStaleTempFiles();
  }
  ASSERT_TRUE(created);
  EXPECT_EQ(fw::FileNamePart(mine).substr(0, 2), "vx");
  EXPECT_NE(::GetFileAttributesA(mine.c_str()), INVALID_FILE_ATTRIBUTES) << "held: kept";
  // Nobody opens it without delete sharing while the job holds it; closed, it is gone.
  HANDLE other = ::CreateFileA(mine.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
  EXPECT_EQ(vxtest::RecordsBelow(tempmark::kVelvoxKey, vxtest::Wide(temp)),
            std::vector<std::wstring>{vxtest::Wide(mine)}) << "held: kept with its record";
  ::CloseHandle(held);
  EXPECT_EQ(Tree(temp), (std::map<std::string, std::string>{{"VXBEEF.EXE", "left"},
                                                            {"report.tmp", "left"},
                                                            {"vx0.ex_", "left"},
                                                            {"vx12345.tmp", "left"},
                                                            {"vx1A.tmp", "left"},
                                                            {"vxa.txt", "left"},
                                                            {"vxg1.tmp", "left"}}));
  EXPECT_EQ(::GetFileAttributesA(mine.c_str()), INVALID_FILE_ATTRIBUTES);
}

// A drive letter on a host file system of `bytes` (tmpfs, mounted by the host as root),
// for the object's life. Wine maps a letter through a link in the prefix's dosdevices;
// one that is already there is never replaced, and everything made goes again.
class SmallDrive {
 public:
  SmallDrive(char letter, size_t bytes) : letter_(static_cast<char>(::tolower(letter))) {
    char dir[64];
    std::snprintf(dir, sizeof dir, "/tmp/vxpl-drive-%lu", ::GetCurrentProcessId());
    dir_ = dir;
    made_ = Host(fw::Sprintf("mkdir %s && mount -t tmpfs -o size=%lu tmpfs %s && ln -s %s $WINEPREFIX/dosdevices/%c:",
                             dir_.c_str(), static_cast<unsigned long>(bytes), dir_.c_str(), dir_.c_str(), letter_));
  }
  ~SmallDrive() {
    if (made_) Host(fw::Sprintf("rm $WINEPREFIX/dosdevices/%c:", letter_));
    Host(fw::Sprintf("umount %s; rmdir %s", dir_.c_str(), dir_.c_str()));
  }
  bool made() const { return made_; }
  std::string root() const { return fw::Sprintf("%c:\\", ::toupper(letter_)); }

 private:
  // Wine starts a host program through start.exe's /unix.
  static bool Host(const std::string& script) {
    return vxtest::Run("start.exe /wait /unix /bin/sh -c \"" + script + "\"").code == 0;
  }
  char letter_;
  std::string dir_;
  bool made_ = false;
};

// Data that deflate cannot shrink: the archive grows with it byte for byte.
std::string Noise(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 0x9E3779B9u;
  for (char& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

// The free space that counts is that of the output's volume, not the temporary
// folder's (which already holds the archive). A drive that cannot be asked, one with
// too little room, and one with room for the archive but not for the encrypted output
// (which is larger by its header and tags): each names its failure and leaves nothing
// on the drive, while a little more room takes the output.
TEST_F(Pipeline, FreeSpaceIsAskedOfTheOutputsVolume) {
  const std::string src = kRoot + "\\src";
  ASSERT_TRUE(::CreateDirectoryA(src.c_str(), nullptr));
  const std::string file = src + "\\noise.bin";
  auto archiveOf = [&](size_t n) {
    WriteFile(file, Noise(n));
    uint64_t size = 0;
    RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {file};
      std::string temp;
      HANDLE held = INVALID_HANDLE_VALUE;
      if (!CreateTempFile(temp, "vx", held)) return;
      dlg.m_tempFiles.push_back(temp);
      dlg.m_tempHandles.push_back(held);
      WIN32_FILE_ATTRIBUTE_DATA fa;
      if (dlg.CompressSources(temp, 0) && ::GetFileAttributesExA(temp.c_str(), GetFileExInfoStandard, &fa))
        size = (static_cast<uint64_t>(fa.nFileSizeHigh) << 32) | fa.nFileSizeLow;
      dlg.DeleteTempFiles();
    });
    return size;
  };
  // An archive that ends 8 bytes short of a whole page: the drive's free space, in
  // whole pages, then exceeds it by those 8 bytes only.
  const uint64_t first = archiveOf(1 << 20);
  ASSERT_GT(first, 1u << 20);
  const size_t n = (1 << 20) + (4096 - first % 4096) - 8;
  const uint64_t archive = archiveOf(n);
  ASSERT_EQ(archive % 4096, 4088u);
  const size_t exact = static_cast<size_t>(archive + 8);

  struct Case {
    const char* name;
    size_t driveBytes;  // 0: a letter that names no drive
    std::function<std::string(const std::string& root)> message;  // "": none, the output is made
  };
  const Case cases[] = {
      {"cannot be asked", 0,
       [](const std::string& root) { return Utf8(fw::FormatArgs(fw::LoadStr(IDS_FREE_SPACE_UNKNOWN), {root})); }},
      {"too little room", exact - 4096,
       [&](const std::string& root) {
         return Utf8(fw::FormatArgs(fw::LoadStr(IDS_DISK_SPACE_LOW),
                                    {fw::Sprintf("%d", static_cast<int>(archive >> 20)), root}));
       }},
      {"full while writing", exact, [](const std::string&) { return Utf8(fw::LoadStr(IDS_ENCRYPT_FAILED)); }},
      {"room enough", exact + 4 * 4096, [](const std::string&) { return std::string(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<SmallDrive> drive;
    if (c.driveBytes) {
      drive.emplace('T', c.driveBytes);
      ASSERT_TRUE(drive->made()) << "a small file system needs root, and T: free in the prefix";
    }
    const std::string root = drive ? drive->root() : "Q:\\";
    const std::string expected = c.message(root);
    BoxAnswerer user;
    BOOL produced = 0;
    RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {file};
      produced = dlg.ProduceEncryptedOutput(root + "out.xss", kKey, nullptr);
    });
    EXPECT_EQ(produced, expected.empty());
    EXPECT_EQ(user.Finish(), expected.empty() ? std::vector<std::string>{} : std::vector<std::string>{expected});
    if (drive) {
      EXPECT_EQ(Tree(root).size(), expected.empty() ? 1u : 0u) << "the output, and only when made";
    }
  }
}

TEST_F(Pipeline, SourceWalkLimitsAtTheirBoundaries) {
  auto msg = [](UINT id, const std::string& arg) { return Utf8(FormatIdS(id, arg)); };
  auto msg1 = [](UINT id, const std::string& arg) {
    return Utf8(fw::FormatArgs(fw::LoadStr(id), {arg}));
  };
  const std::string box = kRoot + "\\box";  // parent "C:\vxpl\" is 8 bytes
  struct Case {
    const char* name;
    std::function<std::vector<std::string>()> make;
    std::function<std::string()> expected;  // "" = the walk passes
  };
  HANDLE locked = INVALID_HANDLE_VALUE, locked2 = INVALID_HANDLE_VALUE;
  std::vector<Case> cases = {
      {"entry path of 255 bytes passes",
       [&] {
         ::CreateDirectoryA(box.c_str(), nullptr);
         WriteFile(box + "\\" + Repeat('f', 255 - box.size() - 1), "x");
         return std::vector<std::string>{box};
       },
       [] { return std::string(); }},
      {"entry path of 256 bytes is refused, naming it",
       [&] {
         ::CreateDirectoryA(box.c_str(), nullptr);
         g_named = box + "\\" + Repeat('f', 256 - box.size() - 1);
         WriteFile(g_named, "x");
         return std::vector<std::string>{box};
       },
       [&] { return msg1(IDS_PATH_TOO_LONG, g_named); }},
      {"folder 243 bytes past the parent is walked",
       [&] {
         ::CreateDirectoryA(box.c_str(), nullptr);
         std::string sub = box + "\\" + Repeat('d', 243 - 4);
         ::CreateDirectoryA(sub.c_str(), nullptr);
         WriteFile(sub + "\\f", "x");
         return std::vector<std::string>{box};
       },
       [] { return std::string(); }},
      {"folder 244 bytes past the parent is refused though its path is short",
       [&] {
         ::CreateDirectoryA(box.c_str(), nullptr);
         g_named = box + "\\" + Repeat('d', 244 - 4);
         ::CreateDirectoryA(g_named.c_str(), nullptr);
         WriteFile(g_named + "\\f", "x");
         return std::vector<std::string>{box};
       },
       [&] { return msg1(IDS_PATH_TOO_LONG, g_named); }},
      {"file held open by another handle, even for reading",
       [&] {
         ::CreateDirectoryA(box.c_str(), nullptr);
         ::CreateDirectoryA((box + "\\in").c_str(), nullptr);
         g_named = box + "\\in\\" + kJpFile;
         WriteFile(g_named, "busy");
         locked = ::CreateFileA(g_named.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
         return std::vector<std::string>{box};
       },
       [&] { return msg(IDS_SOURCE_FILE_IN_USE, g_named); }},
      // Files are checked for other programs' handles in bulk; the one named is still
      // the first in the walk's order, before any later problem.
      {"a held file is named before a missing source listed after it",
       [&] {
         g_named = kRoot + "\\held.txt";
         WriteFile(g_named, "busy");
         locked = ::CreateFileA(g_named.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
         return std::vector<std::string>{g_named, kRoot + "\\gone.txt"};
       },
       [&] { return msg(IDS_SOURCE_FILE_IN_USE, g_named); }},
      {"of two held files among hundreds, the one walked first is named",
       [&] {
         for (const char* b : {"\\box1", "\\box2"}) {
           ::CreateDirectoryA((kRoot + b).c_str(), nullptr);
           for (int i = 0; i < 150; ++i) WriteFile(kRoot + b + "\\f" + std::to_string(i), "x");
         }
         g_named = kRoot + "\\box1\\f75";
         locked = ::CreateFileA(g_named.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
         locked2 = ::CreateFileA((kRoot + "\\box2\\f1").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
         return std::vector<std::string>{kRoot + "\\box1", kRoot + "\\box2"};
       },
       [&] { return msg(IDS_SOURCE_FILE_IN_USE, g_named); }},
      {"folder with only empty subfolders",
       [&] {
         ::CreateDirectoryA(box.c_str(), nullptr);
         ::CreateDirectoryA((box + "\\a").c_str(), nullptr);
         ::CreateDirectoryA((box + "\\a\\b").c_str(), nullptr);
         return std::vector<std::string>{box};
       },
       [] { return Utf8(fw::LoadStr(IDS_FOLDER_HAS_NO_FILES)); }},
      {"one 0-byte file is enough",
       [&] {
         ::CreateDirectoryA(box.c_str(), nullptr);
         WriteFile(box + "\\zero", "");
         return std::vector<std::string>{box};
       },
       [] { return std::string(); }},
      {"a source that no longer exists",
       [&] {
         g_named = kRoot + "\\gone.txt";
         return std::vector<std::string>{g_named};
       },
       [&] { return msg(IDS_SOURCE_FILE_MISSING, g_named); }},
      {"2,147,483,647 bytes in total pass",
       [&] {
         MakeSparse(kRoot + "\\big", 0x7FFFFFFEull);
         WriteFile(kRoot + "\\one", "1");
         return std::vector<std::string>{kRoot + "\\big", kRoot + "\\one"};
       },
       [] { return std::string(); }},
      {"2,147,483,648 bytes in total are refused",
       [&] {
         MakeSparse(kRoot + "\\big", 0x7FFFFFFEull);
         WriteFile(kRoot + "\\two", "22");
         return std::vector<std::string>{kRoot + "\\big", kRoot + "\\two"};
       },
       [] { return Utf8(fw::LoadStr(IDS_TOTAL_OVER_2GB)); }},
      {"4 GiB and one byte do not pass as one byte",
       [&] {
         ::CreateDirectoryA(box.c_str(), nullptr);
         MakeSparse(box + "\\huge", 0x100000001ull);
         return std::vector<std::string>{box};
       },
       [] { return Utf8(fw::LoadStr(IDS_TOTAL_OVER_2GB)); }},
      {"4 GiB - 1 and 2 bytes, summed past the low 32 bits, do not pass as one byte",
       [&] {
         MakeSparse(kRoot + "\\big", 0xFFFFFFFFull);
         MakeSparse(kRoot + "\\two", 2);
         return std::vector<std::string>{kRoot + "\\big", kRoot + "\\two"};
       },
       [] { return Utf8(fw::LoadStr(IDS_TOTAL_OVER_2GB)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreshDir(kRoot);
    g_named.clear();
    std::vector<std::string> sources = c.make();
    BOOL ok = 0;
    BoxAnswerer user;
    RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources.assign(sources.begin(), sources.end());
      g_archiveTotals = ArchiveTotals{0, 0, 0};
      ok = dlg.ScanSources();
    });
    auto texts = user.Finish();
    for (HANDLE* h : {&locked, &locked2}) {
      if (*h != INVALID_HANDLE_VALUE) ::CloseHandle(*h);
      *h = INVALID_HANDLE_VALUE;
    }
    std::string expected = c.expected();
    EXPECT_EQ(ok, expected.empty() ? 1 : 0);
    if (expected.empty()) {
      EXPECT_TRUE(texts.empty()) << (texts.empty() ? "" : texts[0]);
    } else {
      ASSERT_EQ(texts.size(), 1u);
      EXPECT_EQ(texts[0], expected);
    }
  }
}


// ---- Cancel at every phase ---------------------------------------------------------------

const char8_t kChecking[] = u8"\u30d5\u30a1\u30a4\u30eb\u3092\u30c1\u30a7\u30c3\u30af\u3057\u3066\u3044\u307e\u3059...";
const char8_t kCompressing[] = u8"\u5727\u7e2e\u3057\u3066\u3044\u307e\u3059...";
const char8_t kEncrypting[] = u8"\u6697\u53f7\u5316\u3057\u3066\u3044\u307e\u3059...";
const char8_t kExtracting[] = u8"\u89e3\u51cd\u3057\u3066\u3044\u307e\u3059...";

std::string U8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

TEST_F(Pipeline, CancelConfirmedAtEachPhaseLeavesNoOutput) {
  const std::string confirm = Utf8(fw::LoadStr(IDS_CONFIRM_ABORT));
  struct Case {
    const char8_t* caption;
    int occurrence;
    std::vector<std::string> boxes;  // what the user sees, in order
    const char* suffix;  // the name on screen when the click comes, "" for any
  } cases[] = {
      // A click during the walk waits in the queue until the first callback of packing.
      {kChecking, 1, {confirm, Utf8(fw::LoadStr(IDS_ARC_ERR_CANCELLED))}, ""},
      // In the middle of packing: a large file's name is always shown as it begins.
      {kCompressing, 1, {confirm, Utf8(fw::LoadStr(IDS_ARC_ERR_CANCELLED))}, "big.bin"},
      {kEncrypting, 1, {confirm, Utf8(fw::LoadStr(IDS_CANCELLED_BY_USER))}, ""},
  };
  std::string src = MakeSources();
  const std::string temp = kRoot + "\\temp";
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.caption));
    std::string xss = kRoot + "\\cancel.xss";
    BOOL ok = 1;
    std::string archive;
    BoxAnswerer user({IDOK, IDOK});
    {
      // The job's temporary archive goes to a folder of its own, listed after the job
      // has ended and the program has cleaned up as it does after every job.
      OwnTempFolder own(temp);
      CancelAtPhase at(U8(c.caption), c.occurrence, true, "", c.suffix);
      RunJob([&](CVelvoxDlg& dlg) {
        dlg.m_sources = {src + "\\" + kJpFolder, src + "\\a.txt"};
        ok = dlg.ProduceEncryptedOutput(xss, kKey, nullptr);
        archive = dlg.m_tempFiles.empty() ? "" : dlg.m_tempFiles.front();
      });
      EXPECT_TRUE(at.fired());
    }
    EXPECT_EQ(user.Finish(), c.boxes);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(archive.rfind(temp + "\\vx", 0), 0u) << "the job's archive, in its temporary folder: " << archive;
    EXPECT_EQ(Tree(temp), (std::map<std::string, std::string>{})) << "left in the temporary folder";
    EXPECT_EQ(::GetFileAttributesA(xss.c_str()), INVALID_FILE_ATTRIBUTES) << "no output";
    EXPECT_TRUE(Tree(kRoot).count("cancel.xss") == 0);
  }
}

// A click while one large item is packed or encrypted, when nothing new is shown, is
// asked about in that same phase: one seen only when the next phase shows its text
// would be answered with that phase's message, and one in the last phase not at all.
// While encrypting, only the progress dialog's own regular pumping can see it.
TEST_F(Pipeline, CancelInALongPhaseWithNothingNewShownIsAnswered) {
  const std::string src = kRoot + "\\src";
  ASSERT_TRUE(::CreateDirectoryA(src.c_str(), nullptr));
  const std::string file = src + "\\large.bin";
  WriteFile(file, Noise(48 << 20));
  const struct Case {
    const char8_t* caption;
    const char* suffix;
    UINT cancelled;
  } cases[] = {
      {kCompressing, "large.bin", IDS_ARC_ERR_CANCELLED},
      {kEncrypting, "", IDS_CANCELLED_BY_USER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.caption));
    const std::string xss = kRoot + "\\long.xss";
    BOOL ok = 1;
    BoxAnswerer user({IDOK, IDOK});
    {
      CancelAtPhase at(U8(c.caption), 1, true, "", c.suffix, /*barAt=*/10);
      RunJob([&](CVelvoxDlg& dlg) {
        dlg.m_sources = {file};
        ok = dlg.ProduceEncryptedOutput(xss, kKey, nullptr);
      });
      EXPECT_TRUE(at.fired());
    }
    EXPECT_EQ(user.Finish(), (std::vector<std::string>{Utf8(fw::LoadStr(IDS_CONFIRM_ABORT)),
                                                       Utf8(fw::LoadStr(c.cancelled))}));
    EXPECT_FALSE(ok);
    EXPECT_EQ(::GetFileAttributesA(xss.c_str()), INVALID_FILE_ATTRIBUTES) << "no output";
  }
}

TEST_F(Pipeline, CancelAnsweredNoGoesOnAndAsksAgainNextTime) {
  std::string src = MakeSources();
  std::string xss = kRoot + "\\goes-on.xss";
  BOOL ok = 0;
  // The dialog's Cancel answered "no" in the confirmation: the work goes on to the end.
  BoxAnswerer user({IDCANCEL, IDCANCEL});
  {
    CancelAtPhase at(U8(kCompressing), 1);
    RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {src + "\\" + kJpFolder};
      ok = dlg.ProduceEncryptedOutput(xss, kKey, nullptr);
      dlg.DeleteTempFiles();
    });
  }
  auto texts = user.Finish();
  EXPECT_EQ(texts, std::vector<std::string>{Utf8(fw::LoadStr(IDS_CONFIRM_ABORT))});
  EXPECT_TRUE(ok);
  EXPECT_NE(::GetFileAttributesA(xss.c_str()), INVALID_FILE_ATTRIBUTES);
}

// A cancel while a file is written leaves what was there before: no file where there
// was none, and the user's own file, which they had allowed to be replaced, unchanged.
TEST_F(Pipeline, CancelConfirmedWhileExtractingLeavesWhatWasThere) {
  std::string src = MakeSources();
  std::string xss = kRoot + "\\x.xss", dest = kRoot + "\\dest";
  BOOL produced = 0;
  {
    BoxAnswerer user;
    RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {src + "\\" + kJpFolder};
      produced = dlg.ProduceEncryptedOutput(xss, kKey, nullptr);
      dlg.DeleteTempFiles();
    });
    EXPECT_TRUE(user.Finish().empty());
  }
  ASSERT_TRUE(produced);
  const std::string title = Acp(u8"\u30d5\u30a1\u30a4\u30eb\u306e\u4e0a\u66f8\u304d\u306e\u78ba\u8a8d");
  const std::string target = dest + "\\" + kJpFolder + "\\nested\\deeper\\big.bin";
  const struct {
    const char* name;
    const char* existing;  // the user's file at the target, or null
  } cases[] = {
      {"a new file", nullptr},
      {"the user's file, answered Yes", "the user's own big.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FreshDir(dest);
    if (c.existing) {
      for (const char* level : {"", "\\nested", "\\nested\\deeper"})
        ::CreateDirectoryA((dest + "\\" + kJpFolder + level).c_str(), nullptr);
      WriteFile(target, c.existing);
    }
    size_t questions = 0;
    std::thread owUser([&] {
      if (!c.existing) return;
      HWND ow = vxtest::WaitForWindow(title, "#32770", 20000, ::GetCurrentProcessId());
      if (!ow) return;
      ++questions;
      vxtest::ClickButton(ow, IDC_OW_YES);
      vxtest::WaitWindowGone(ow, 20000);
    });
    // big.bin is 3 MiB: written in several steps, so the cancel comes while it is half done.
    BOOL extracted = 1;
    BoxAnswerer user({IDOK});
    {
      CancelAtPhase at(U8(kExtracting), 1, true, "", "big.bin");
      RunJob([&](CVelvoxDlg& dlg) { extracted = DecryptAndExtract(dlg, kKey, xss, dest); });
      EXPECT_TRUE(at.fired());
    }
    owUser.join();
    EXPECT_EQ(user.Finish(), std::vector<std::string>{Utf8(fw::LoadStr(IDS_CONFIRM_ABORT))})
        << "a cancelled extraction shows no message of its own";
    EXPECT_EQ(extracted, 0);
    EXPECT_EQ(questions, c.existing ? 1u : 0u);
    for (const auto& [rel, content] : Tree(dest)) {
      if (content == "<dir>" || dest + "\\" + Acp(rel) == target) continue;
      // Whatever is there is complete: the file being written went with the cancel.
      EXPECT_EQ(content, ReadFile(src + "\\" + Acp(rel))) << rel;
    }
    EXPECT_EQ(ReadFile(target), c.existing ? c.existing : "<missing>");
  }
}

// ---- Overwrite question ----------------------------------------------------------------

TEST_F(Pipeline, OverwriteQuestionAnswersReachTheArchiver) {
  std::string src = kRoot + "\\src";
  ::CreateDirectoryA(src.c_str(), nullptr);
  ::CreateDirectoryA((src + "\\box").c_str(), nullptr);
  for (int i = 1; i <= 3; ++i) WriteFile(src + "\\box\\f" + std::to_string(i) + ".txt", "new " + std::to_string(i));
  std::string xss = kRoot + "\\ow.xss";
  {
    BoxAnswerer user;
    RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {src + "\\box"};
      EXPECT_TRUE(dlg.ProduceEncryptedOutput(xss, kKey, nullptr));
      dlg.DeleteTempFiles();
    });
    EXPECT_TRUE(user.Finish().empty());
  }
  const std::string title = Acp(u8"\u30d5\u30a1\u30a4\u30eb\u306e\u4e0a\u66f8\u304d\u306e\u78ba\u8a8d");
  struct Case {
    const char* name;
    std::vector<int> clicks;  // per question: a button id, or -1 for Esc
    std::vector<int> boxAnswers;
    BOOL result;
    int status;
    std::vector<std::string> contents;  // f1..f3 afterwards
    size_t questions;
  } cases[] = {
      {"yes to each", {IDC_OW_YES, IDC_OW_YES, IDC_OW_YES}, {}, 1, 0, {"new 1", "new 2", "new 3"}, 3},
      {"no to each, Esc once", {IDC_OW_NO, -1, IDC_OW_NO}, {}, 1, 0, {"old 1", "old 2", "old 3"}, 3},
      {"no, then all", {IDC_OW_NO, IDC_OW_ALL}, {}, 1, 0, {"old 1", "new 2", "new 3"}, 2},
      {"cancel asked twice: no keeps the question, yes stops",
       {IDC_OW_YES, IDC_OW_CANCEL, IDC_OW_CANCEL}, {IDCANCEL, IDOK}, 0, 2,
       {"new 1", "old 2", "old 3"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dest = kRoot + "\\dest";
    vxtest::RemoveTree(dest);
    ::CreateDirectoryA(dest.c_str(), nullptr);
    ::CreateDirectoryA((dest + "\\box").c_str(), nullptr);
    for (int i = 1; i <= 3; ++i) WriteFile(dest + "\\box\\f" + std::to_string(i) + ".txt", "old " + std::to_string(i));

    std::vector<std::string> messages;
    BoxAnswerer boxes(c.boxAnswers);
    std::thread owUser([&] {
      const DWORD pid = ::GetCurrentProcessId();
      for (size_t i = 0; i < c.clicks.size(); ++i) {
        HWND ow = vxtest::WaitForWindow(title, "#32770", 20000, pid);
        if (!ow) return;
        messages.push_back(vxtest::ControlText(ow, IDC_OW_MESSAGE));
        if (i == 0 && c.name[0] == 'y') vxtest::SaveScreenshot("pipeline_overwrite", ow);
        if (c.clicks[i] == -1) {
          ::PostMessageA(ow, WM_KEYDOWN, VK_ESCAPE, 0);
        } else {
          vxtest::ClickButton(ow, c.clicks[i]);
        }
        if (c.clicks[i] == IDC_OW_CANCEL && i + 1 < c.clicks.size()) {
          // The first Cancel is answered "no" in the confirmation: the same window stays.
          for (DWORD t0 = ::GetTickCount(); boxes.answered() < 1 && ::GetTickCount() - t0 < 20000;)
            ::Sleep(10);
          EXPECT_TRUE(::IsWindow(ow));
          vxtest::ClickButton(ow, c.clicks[++i]);
        }
        vxtest::WaitWindowGone(ow, 20000);
      }
    });
    BOOL result = -1;
    int status = -1;
    RunJob([&](CVelvoxDlg& dlg) {
      result = DecryptAndExtract(dlg, kKey, xss, dest);
      status = dlg.m_nArchiverStatus;
    });
    owUser.join();
    auto texts = boxes.Finish();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(messages.size(), c.questions);
    if (!messages.empty()) {
      EXPECT_EQ(Utf8(messages[0]), Utf8(FormatIdS(IDS_CONFIRM_OVERWRITE_EXTRACTED, dest + "\\box\\f1.txt")));
    }
    for (int i = 1; i <= 3; ++i)
      EXPECT_EQ(ReadFile(dest + "\\box\\f" + std::to_string(i) + ".txt"), c.contents[i - 1]) << i;
    EXPECT_EQ(texts.size(), c.boxAnswers.size()) << "the overwrite Cancel adds no message of its own";
  }
}

// Names pass the progress line sparingly, but a question finds the line naming the file
// it asks about. Thirty overwrite questions answered at once (names then come faster
// than the line is refreshed), and the stop question after Cancel while a name was still
// waiting for the line.
TEST_F(Pipeline, EveryQuestionFindsTheProgressLineNamingItsFile) {
  const int kFiles = 30;
  auto name = [](int i) { return fw::Sprintf("f%02d.txt", i); };
  std::string src = kRoot + "\\src";
  ::CreateDirectoryA(src.c_str(), nullptr);
  ::CreateDirectoryA((src + "\\box").c_str(), nullptr);
  for (int i = 1; i <= kFiles; ++i) WriteFile(src + "\\box\\" + name(i), "new");
  const std::string xss = kRoot + "\\names.xss", dest = kRoot + "\\dest";
  {
    BoxAnswerer user;
    RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {src + "\\box"};
      EXPECT_TRUE(dlg.ProduceEncryptedOutput(xss, kKey, nullptr));
      dlg.DeleteTempFiles();
    });
    EXPECT_TRUE(user.Finish().empty());
  }
  ::CreateDirectoryA(dest.c_str(), nullptr);
  ::CreateDirectoryA((dest + "\\box").c_str(), nullptr);
  for (int i = 1; i <= kFiles; ++i) WriteFile(dest + "\\box\\" + name(i), "old");

  const DWORD pid = ::GetCurrentProcessId();
  const std::string owTitle = Acp(u8"\u30d5\u30a1\u30a4\u30eb\u306e\u4e0a\u66f8\u304d\u306e\u78ba\u8a8d");
  // What the user saw at each question: its text and the progress line (UTF-8).
  std::vector<std::pair<std::string, std::string>> seen;
  std::thread user([&] {
    for (int i = 0; i < kFiles; ++i) {
      HWND ow = vxtest::WaitForWindow(owTitle, "#32770", 20000, pid);
      if (!ow) return;
      const auto progress = vxtest::FindWindows(Acp(U8(kExtracting)), "#32770", pid);
      seen.emplace_back(Utf8(vxtest::ControlText(ow, IDC_OW_MESSAGE)),
                        progress.empty() ? "(no progress dialog)"
                                         : Utf8(vxtest::ControlText(progress.front(), IDC_PROGRESS_TEXT)));
      if (i == 4 && !progress.empty()) {
        // The question moved below the progress dialog, which is painted before the shot.
        RECT r{};
        ::GetWindowRect(progress.front(), &r);
        ::SetWindowPos(ow, nullptr, r.left, r.bottom + 8, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        ::RedrawWindow(progress.front(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        vxtest::SaveScreenshot("pipeline_overwrite_progress_line");
      }
      vxtest::ClickButton(ow, IDC_OW_YES);
      vxtest::WaitWindowGone(ow, 20000);
    }
  });
  BOOL extracted = 0;
  RunJob([&](CVelvoxDlg& dlg) { extracted = DecryptAndExtract(dlg, kKey, xss, dest); });
  user.join();
  EXPECT_TRUE(extracted);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kFiles));
  for (const auto& [question, line] : seen)
    EXPECT_EQ(question, Utf8(FormatIdS(IDS_CONFIRM_OVERWRITE_EXTRACTED, dest + "\\" + Acp(line))));

  std::string lineAtStopQuestion;
  RunJob([&](CVelvoxDlg& dlg) {
    ::EnableWindow(dlg.m_hWnd, TRUE);
    dlg.m_pProgressDlg = new CVxProgressDlg();
    dlg.m_pProgressDlg->Create();
    dlg.m_pProgressDlg->ShowWindow(SW_SHOW);
    const HWND progress = dlg.m_pProgressDlg->m_hWnd;
    g_nJobPhase = 3;
    g_archiveTotals = ArchiveTotals{0, 2000, 0};
    ArchiverEntryRecord rec{};
    rec.UnpackSize = 1000;
    for (const char* file : {"box\\first.txt", "box\\second.txt"}) {
      std::strcpy(rec.DisplayName, file);
      ArchiverCallback(ARCN_FILE_BEGIN, 0, reinterpret_cast<LPARAM>(&rec));
    }
    vxtest::PostCommand(progress, IDCANCEL);
    std::thread answer([&] {
      HWND box = vxtest::WaitForWindow("TARVO-Pro", "#32770", vxtest::kDefaultWait, pid);
      if (!box) return;
      lineAtStopQuestion = vxtest::ControlText(progress, IDC_PROGRESS_TEXT);
      // Go on.
      vxtest::AnswerMessageBox(IDCANCEL, "TARVO-Pro", vxtest::kDefaultWait, pid);
    });
    ArchiverCallback(ARCN_FILE_PROGRESS, 0, 50);
    answer.join();
    dlg.CloseProgressDialog();
    ::EnableWindow(dlg.m_hWnd, FALSE);
  });
  EXPECT_EQ(lineAtStopQuestion, "box\\second.txt");
}

// ---- Progress dialog and callbacks -------------------------------------------------------

TEST_F(Pipeline, ProgressDialogOwnerKeysAndPositions) {
  struct {
    BOOL ownerDisabledWhileShown = 0, ownerEnabledAfter = 0;
    BOOL enterCancels = 1, escCancels = 0, flagCleared = 0;
    std::vector<int> crypto, packing;
    BOOL repeatBegin = 1, repeatProgress = 1;
  } seen;
  RunJob([&](CVelvoxDlg& dlg) {
    ::EnableWindow(dlg.m_hWnd, TRUE);
    dlg.m_pProgressDlg = new CVxProgressDlg();
    dlg.m_pProgressDlg->Create();
    dlg.m_pProgressDlg->ShowWindow(SW_SHOW);
    seen.ownerDisabledWhileShown = !::IsWindowEnabled(dlg.m_hWnd);
    HWND cancel = ::GetDlgItem(dlg.m_pProgressDlg->m_hWnd, IDCANCEL);
    ::SetFocus(cancel);
    ::PostMessageA(cancel, WM_KEYDOWN, VK_RETURN, 0);
    ::PostMessageA(cancel, WM_KEYUP, VK_RETURN, 0);
    seen.enterCancels = dlg.m_pProgressDlg->CheckCancel();
    ::PostMessageA(cancel, WM_KEYDOWN, VK_ESCAPE, 0);
    seen.escCancels = dlg.m_pProgressDlg->CheckCancel();
    seen.flagCleared = !dlg.m_pProgressDlg->CheckCancel();

    auto pos = [&] { return static_cast<int>(dlg.m_pProgressDlg->m_progress.SendMessage(PBM_GETPOS)); };
    const DWORD crypto[][2] = {{1000, 1000}, {1000, 999}, {3000000000u, 1500000000u}, {0, 7}};
    for (const auto& c : crypto) {
      EXPECT_EQ(CryptoProgressCallback(c[0], c[1], 0, 0, 0), 0);
      seen.crypto.push_back(pos());
    }

    g_nJobPhase = 0;
    ResetEntryNames();
    ArchiverEntryRecord rec{};
    std::strcpy(rec.DisplayName, "a.txt");
    std::strcpy(rec.EntryName, "a.txt");
    rec.PackSize = 1000;
    g_archiveTotals = ArchiveTotals{0, 1000, 0};
    ArchiverCallback(ARCN_FILE_BEGIN, 0, reinterpret_cast<LPARAM>(&rec));
    for (int percent : {50, 100}) {
      ArchiverCallback(ARCN_FILE_PROGRESS, 0, percent);
      seen.packing.push_back(pos());
    }
    ArchiverCallback(ARCN_FILE_END, 0, 0);
    // The same entry reported again neither moves the bar nor counts twice.
    seen.repeatBegin = ArchiverCallback(ARCN_FILE_BEGIN, 0, reinterpret_cast<LPARAM>(&rec));
    seen.repeatProgress = ArchiverCallback(ARCN_FILE_PROGRESS, 0, 100);
    seen.packing.push_back(pos());
    ArchiverCallback(ARCN_FILE_END, 0, 0);
    seen.packing.push_back(static_cast<int>(g_archiveTotals.DoneBytes));
    // A million bytes end at 99: the + 1 keeps the bar below 100 while packing.
    std::strcpy(rec.EntryName, "b.txt");
    rec.PackSize = 1000000;
    g_archiveTotals = ArchiveTotals{0, 1000000, 0};
    ArchiverCallback(ARCN_FILE_BEGIN, 0, reinterpret_cast<LPARAM>(&rec));
    ArchiverCallback(ARCN_FILE_PROGRESS, 0, 100);
    seen.packing.push_back(pos());

    dlg.m_pProgressDlg->ShowWindow(SW_HIDE);
    dlg.m_pProgressDlg->DestroyWindow();
    seen.ownerEnabledAfter = ::IsWindowEnabled(dlg.m_hWnd);
    delete dlg.m_pProgressDlg;
    dlg.m_pProgressDlg = nullptr;
    ::EnableWindow(dlg.m_hWnd, FALSE);
  });
  EXPECT_TRUE(seen.ownerDisabledWhileShown);
  EXPECT_TRUE(seen.ownerEnabledAfter);
  EXPECT_FALSE(seen.enterCancels) << "Enter does nothing";
  EXPECT_TRUE(seen.escCancels) << "Esc acts as Cancel";
  EXPECT_TRUE(seen.flagCleared);
  EXPECT_EQ(seen.crypto, (std::vector<int>{100, 99, 50, 50})) << "a total of 0 leaves the bar";
  EXPECT_EQ(seen.packing, (std::vector<int>{45, 90, 90, 1000, 99}));
  EXPECT_FALSE(seen.repeatBegin);
  EXPECT_FALSE(seen.repeatProgress);
}

TEST_F(Pipeline, ProgressDialogScreenshotsOfEachPhase) {
  std::string src = MakeSources();
  std::string xss = kRoot + "\\shots.xss", dest = kRoot + "\\dest";
  ::CreateDirectoryA(dest.c_str(), nullptr);
  BoxAnswerer user;
  {
    CancelAtPhase checking(U8(kChecking), 2, false, "pipeline_progress_checking");
    CancelAtPhase compressing(U8(kCompressing), 1, false, "pipeline_progress_compressing", "big.bin");
    CancelAtPhase encrypting(U8(kEncrypting), 1, false, "pipeline_progress_encrypting");
    CancelAtPhase extracting(U8(kExtracting), 1, false, "pipeline_progress_extracting", "big.bin");
    RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {src + "\\" + kJpFolder};
      if (dlg.ProduceEncryptedOutput(xss, kKey, nullptr)) DecryptAndExtract(dlg, kKey, xss, dest);
      dlg.DeleteTempFiles();
    });
    EXPECT_TRUE(checking.fired() && compressing.fired() && encrypting.fired() && extracting.fired());
  }
  EXPECT_TRUE(user.Finish().empty());
}

// Names are shown sparingly while many files pass, but each phase ends on its last file:
// the walk, packing and extraction leave the last source's name on screen.
TEST_F(Pipeline, ProgressDialogEndsEachPhaseOnItsLastName) {
  struct Shown {
    std::string caption, text;
  };
  static std::vector<Shown> shown;
  shown.clear();
  HHOOK hook = ::SetWindowsHookExA(
      WH_CALLWNDPROCRET,
      [](int code, WPARAM wp, LPARAM lp) -> LRESULT {
        auto* m = reinterpret_cast<CWPRETSTRUCT*>(lp);
        if (code == HC_ACTION && m->message == WM_SETTEXT && ::GetDlgCtrlID(m->hwnd) == IDC_PROGRESS_TEXT) {
          // The line is read back from the control: it is a Unicode window, whose
          // WM_SETTEXT may carry UTF-16.
          char caption[256] = {}, line[520] = {};
          ::GetWindowTextA(::GetParent(m->hwnd), caption, sizeof caption);
          ::GetWindowTextA(m->hwnd, line, sizeof line);
          shown.push_back({Utf8(caption), line});
        }
        return ::CallNextHookEx(nullptr, code, wp, lp);
      },
      nullptr, ::GetCurrentThreadId());
  ASSERT_NE(hook, nullptr);
  std::string src = MakeSources();
  // Enough small files that most of them pass unseen.
  for (int i = 0; i < 300; ++i) WriteFile(src + "\\" + kJpFolder + "\\s" + std::to_string(i) + ".txt", "x");
  std::string xss = kRoot + "\\last.xss", dest = kRoot + "\\dest";
  ::CreateDirectoryA(dest.c_str(), nullptr);
  BOOL produced = 0, extracted = 0;
  BoxAnswerer user;
  RunJob([&](CVelvoxDlg& dlg) {
    dlg.m_sources = {src + "\\" + kJpFolder, src + "\\a.txt"};
    produced = dlg.ProduceEncryptedOutput(xss, kKey, nullptr);
    dlg.DeleteTempFiles();
    if (produced) extracted = DecryptAndExtract(dlg, kKey, xss, dest);
  });
  ::UnhookWindowsHookEx(hook);
  EXPECT_TRUE(user.Finish().empty());
  EXPECT_TRUE(produced && extracted);
  for (const char8_t* caption : {kChecking, kCompressing, kExtracting}) {
    SCOPED_TRACE(U8(caption));
    std::string last;
    size_t count = 0;
    for (const Shown& s : shown)
      if (s.caption == U8(caption)) last = s.text, ++count;
    EXPECT_GE(count, 1u);
    EXPECT_EQ(last, "a.txt") << [&] {
      std::string all;
      for (const Shown& s : shown) all += s.caption + " | " + Utf8(s.text) + "\n";
      return all;
    }();
  }
}

// ---- Failures that the archiver reports ----------------------------------------------------

TEST_F(Pipeline, ExtractionFailuresShowTheTableMessageThen2220) {
  const std::string failed = Utf8(fw::LoadStr(IDS_EXTRACT_FAILED));
  WriteFile(kRoot + "\\damaged.zip", std::string("PK\x03\x04", 4) + Data(500, 3));
  struct {
    std::string archive;
    UINT id;
  } cases[] = {{kRoot + "\\missing.zip", IDS_ARC_ERR_ARCHIVE_NOT_FOUND},
               {kRoot + "\\damaged.zip", IDS_ARC_ERR_BAD_FORMAT}};
  for (const auto& c : cases) {
    BoxAnswerer user;
    BOOL ok = 1;
    RunJob([&](CVelvoxDlg& dlg) {
      g_nJobPhase = 3;
      ok = dlg.ExtractArchive(c.archive, kRoot + "\\dest");
    });
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(user.Finish(), (std::vector<std::string>{Utf8(fw::LoadStr(c.id)), failed}));
  }
}

TEST(PathHelpers, SplitFolderAndNameSkipsTrailBytes) {
  struct {
    std::string path, folder, name;
    BOOL ok;
  } cases[] = {
      {"C:\\a\\b.txt", "C:\\a\\", "b.txt", 1},
      {"C:\\a\\", "C:\\", "a\\", 1},
      {"b.txt", "", "", 0},
      {"ab", "", "", 0},
      // The 0x5C in the middle of each character is not a separator.
      {"C:\\" + kJpFolder + "\\" + kTrailFile, "C:\\" + kJpFolder + "\\", kTrailFile, 1},
      {"C:\\" + Acp(u8"\u8868"), "C:\\", Acp(u8"\u8868"), 1},
  };
  for (const auto& c : cases) {
    std::string folder = "x", name = "y";
    EXPECT_EQ(SplitFolderAndName(c.path, folder, name), c.ok) << Utf8(c.path);
    EXPECT_EQ(folder, c.folder) << Utf8(c.path);
    EXPECT_EQ(name, c.name) << Utf8(c.path);
  }
}

}  // namespace
