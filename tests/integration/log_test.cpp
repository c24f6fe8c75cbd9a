// Guard registration, the media hook and the operation log, with the suite's real
// components: the log service (tglogsvc.exe), TCTrace.dll, KvrGrd.dll, the export
// libraries and tarvodev.dll. Each test sets its registry values and folders and puts
// them back afterwards.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>

#include "contracts/authresponse.h"
#include "contracts/guard.h"
#include "contracts/oplog.h"
#include "dialogs_ids.h"
#include "guard.h"
#include "inttest.h"
#include "testfiles.h"
#include "velvoxdlg.h"

using inttest::Matching;
using inttest::ReadLines;
using vxtest::Acp;

namespace {

template <typename T>
T Proc(HMODULE lib, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
}

constexpr DWORD kV1 = 0x0500FFFF;
constexpr DWORD kV2 = 0x05010000;

class LogTest : public ::testing::Test {
 public:
  void SetUp() override {
    root_ = inttest::Scratch("log");
    guardHome_ = root_ + "guard-home";
    traceHome_ = root_ + "trace-home";
    install_ = root_ + "TVGuard";
    v2Folder_ = root_ + "v2log";
    for (const std::string& f : {guardHome_, traceHome_, install_, install_ + "\\log", v2Folder_})
      ASSERT_TRUE(CreateDirectoryA(f.c_str(), nullptr)) << f;
    SetEnvironmentVariableA("KVRGRD_HOME", guardHome_.c_str());
    SetEnvironmentVariableA("TCTRACE_HOME", traceHome_.c_str());
    uninstall_.Remove();
    appPaths_.Remove();
    logService_.Remove();
    appPaths_.SetString("Path", install_ + "\\");
    logService_.SetString("TempLogFolder", v2Folder_);
  }

  void SetLogPath(const std::string& folder) {
    WritePrivateProfileStringA("OPTION", "LOGPATH", folder.c_str(),
                               (install_ + "\\policy.ini").c_str());
  }
  void TearDown() override {
    // Wine's profile cache must not keep what this test wrote to the guard's policy.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, GuardPolicy().c_str());
  }
  // The administrator's policy, where the installation keeps it (put back after each
  // test, like every file of the prefix's data folder).
  static std::string GuardPolicy() {
    char common[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common);
    return std::string(common) + "\\Norvane\\TARVO-Pro\\kvrgrd.ini";
  }
  void RefuseForGuard(const std::string& paths) {
    WritePrivateProfileStringA("GUARD", "REFUSE", paths.c_str(), GuardPolicy().c_str());
  }
  std::vector<std::string> GuardJournal() { return ReadLines(guardHome_ + "\\kvrgrd.log"); }
  std::vector<std::string> TraceJournal() { return ReadLines(traceHome_ + "\\tctrace.log"); }

  std::string root_, guardHome_, traceHome_, install_, v2Folder_;
  vxtest::FilesPutBack guardPolicy_{{GuardPolicy()}};
  inttest::MachineKey uninstall_{kGuardUninstallKey};
  inttest::MachineKey appPaths_{kGuardAppPathsKey};
  inttest::MachineKey logService_{kLogServiceKey};
};

// The text after "path=" up to the next space of a guard journal line.
std::string PathOf(const std::string& line) {
  const size_t at = line.find("path=") + 5;
  return line.substr(at, line.find(' ', at) - at);
}
DWORD IdOf(const std::string& line) {
  return std::stoul(line.substr(line.find(" id=") + 4));
}

TEST_F(LogTest, FullGuardRegistrationIsReleasedInOrder) {
  CVelvoxDlg dlg;
  ASSERT_TRUE(dlg.RegisterWithGuard());
  ASSERT_EQ(dlg.m_guardIds.size(), 27u);
  const auto adds = Matching(GuardJournal(), " add id=");
  ASSERT_EQ(adds.size(), 27u);
  const std::string pid = "process=" + std::to_string(GetCurrentProcessId());
  for (size_t i = 0; i < 26; ++i) {
    EXPECT_EQ(PathOf(adds[i]), std::string(1, char('A' + i)) + ":\\");
    EXPECT_EQ(IdOf(adds[i]), dlg.m_guardIds[i]);
    EXPECT_NE(adds[i].find(pid), std::string::npos) << adds[i];
  }
  EXPECT_EQ(PathOf(adds[26]), "\\\\");
  EXPECT_EQ(IdOf(adds[26]), dlg.m_guardIds[26]);
  EXPECT_EQ(Matching(GuardJournal(), " auth ok").size(), 1u);

  const std::vector<DWORD> ids = dlg.m_guardIds;
  EXPECT_TRUE(dlg.ReleaseGuard());
  EXPECT_TRUE(dlg.m_guardIds.empty());
  const auto journal = GuardJournal();
  const auto deletes = Matching(journal, " delete id=");
  ASSERT_EQ(deletes.size(), 27u);
  for (size_t i = 0; i < 27; ++i) EXPECT_EQ(IdOf(deletes[i]), ids[i]);
  ASSERT_FALSE(journal.empty());
  EXPECT_NE(journal.back().find(" cancel"), std::string::npos) << journal.back();
}

TEST_F(LogTest, GuardRefusesWhatItCannotTrust) {
  HMODULE lib = LoadLibraryA("KvrGrd.dll");
  ASSERT_NE(lib, nullptr);
  auto getRnd = Proc<PFN_TGDRV_GetRnd>(lib, "TGDRV_GetRnd");
  auto auth = Proc<PFN_TGDRV_Auth>(lib, "TGDRV_Auth");
  auto add = Proc<PFN_TGDRV_AddProcess>(lib, "TGDRV_AddProcess");
  auto del = Proc<PFN_TGDRV_DeleteProcess>(lib, "TGDRV_DeleteProcess");
  auto cancel = Proc<PFN_TGDRV_CancelAuth>(lib, "TGDRV_CancelAuth");
  ASSERT_TRUE(getRnd && auth && add && del && cancel);
  const DWORD pid = GetCurrentProcessId();
  DWORD id = 0;
  EXPECT_NE(add("A:\\", pid, &id), 0u) << "registered without authentication";

  const TGDRV_BLOCK first = getRnd();
  const TGDRV_BLOCK second = getRnd();
  EXPECT_NE(std::memcmp(first.bytes, second.bytes, 16), 0) << "challenge repeated";
  TGDRV_BLOCK wrong = {};
  ComputeAuthResponse(first.bytes, wrong.bytes);  // answers the stale challenge
  EXPECT_NE(auth(wrong), 0u);
  EXPECT_NE(add("A:\\", pid, &id), 0u) << "registered after a wrong response";
  TGDRV_BLOCK right = {};
  ComputeAuthResponse(second.bytes, right.bytes);
  EXPECT_NE(auth(right), 0u) << "a challenge answered twice";

  const TGDRV_BLOCK third = getRnd();
  ComputeAuthResponse(third.bytes, right.bytes);
  ASSERT_EQ(auth(right), 0u);
  EXPECT_NE(add("A:\\", pid + 1, &id), 0u) << "registered another process";
  ASSERT_EQ(add("A:\\", pid, &id), 0u);
  EXPECT_NE(del(id + 1000), 0u) << "removed an unknown registration";
  EXPECT_EQ(del(id), 0u);
  EXPECT_NE(del(id), 0u) << "removed a registration twice";
  EXPECT_EQ(cancel(), 0u);
  EXPECT_NE(add("B:\\", pid, &id), 0u) << "registered after the authentication was withdrawn";
  FreeLibrary(lib);
}

TEST_F(LogTest, MediaHookGetsTheDriveOfTheOutput) {
  const std::string home = root_ + "tv-home";
  // The store folder is made by installation; the library never creates it.
  ASSERT_TRUE(CreateDirectoryA(home.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  SetEnvironmentVariableA("TARVODEV_HOME", home.c_str());
  struct Case {
    std::string output;
    std::string drive;
  } cases[] = {
      {"E:\\out\\report.xss", "E:"},
      {"c:\\w\\box.exe", "c:"},
      {"\\\\server\\share\\report.xss", ""},
      {Acp(u8"D:\\表\\データ.xss"), "D:"},
  };
  const std::string tail = " pid=" + std::to_string(GetCurrentProcessId()) + " args=0,1,0";
  for (const Case& c : cases) {
    EXPECT_EQ(DrivePart(c.output), c.drive);
    ASSERT_TRUE(RegisterMediaWriter(c.output)) << c.output;
    const auto lines = ReadLines(home + "\\mediahook.log");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "drive=" + c.drive + tail) << c.output;
  }
  SetEnvironmentVariableA("TARVODEV_HOME", nullptr);
}

// One row per way the set-up can end; the log service, the libraries and the registry
// values are real.
struct SetUpCase {
  const char* name;
  int serviceStatus;  // -1: not running
  bool uninstallKey;
  DWORD version;
  std::function<void(LogTest&)> arrange;
  BOOL expected;
  std::string folder;  // relative to the scratch root, when expected
  std::vector<std::string> traceAnswers;  // TCTrace's journal, when not empty
};

class LogSetUpTest : public LogTest {
 public:
  void Run(const SetUpCase& c) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (c.uninstallKey) uninstall_.SetDword("Version", c.version);
    if (c.arrange) c.arrange(*this);
    std::unique_ptr<inttest::LogService> service;
    if (c.serviceStatus >= 0) {
      service = std::make_unique<inttest::LogService>(c.serviceStatus, "PC01\\tanaka");
      ASSERT_TRUE(service->ready());
    }
    CVelvoxDlg dlg;
    ASSERT_EQ(dlg.SetUpOperationLog(0), c.expected);
    if (c.expected) {
      EXPECT_EQ(dlg.m_strLogFolder, root_ + c.folder);
      EXPECT_EQ(dlg.m_strLogIdent, "PC01\\tanaka");
      EXPECT_EQ(dlg.m_guardIds.size(), 27u);
      EXPECT_NE(c.version >= kV2 ? (void*)dlg.m_pfnExportLogV2 : (void*)dlg.m_pfnExportLogV1,
                nullptr);
      EXPECT_TRUE(dlg.ReleaseGuard());
      // Nothing to record: the library is only unloaded.
      EXPECT_TRUE(dlg.ExportOperationLog());
    }
    if (!c.traceAnswers.empty()) {
      std::vector<std::string> answers;
      for (const std::string& line : TraceJournal())
        answers.push_back(line.substr(line.find("TCTLIB_")));
      EXPECT_EQ(answers, c.traceAnswers);
    }
  }
};

TEST_F(LogSetUpTest, EveryOutcomeOfTheSetUp) {
  const std::string init = "TCTLIB_Initialize -> 0";
  const std::string busy = "TCTLIB_GetTempLogFolder(100) -> 8";
  const std::string ready = "TCTLIB_GetTempLogFolder(100) -> 0";
  const SetUpCase cases[] = {
      {"no section", -1, true, kV2, nullptr, FALSE, "", {}},
      {"status 0", 0, true, kV2, nullptr, FALSE, "", {}},
      {"no uninstall key", 1, false, 0, nullptr, FALSE, "", {}},
      {"version 2", 1, true, kV2, nullptr, TRUE, "v2log", {init, ready}},
      {"one below version 2 uses LOGPATH", 1, true, kV1,
       [](LogTest& t) {
         CreateDirectoryA((t.root_ + "v1log").c_str(), nullptr);
         t.SetLogPath(t.root_ + "v1log");
       },
       TRUE, "v1log", {}},
      {"version 1 without LOGPATH", 1, true, kV1, nullptr, TRUE, "TVGuard\\log", {}},
      {"LOGPATH naming a file", 1, true, kV1,
       [](LogTest& t) {
         HANDLE h = CreateFileA((t.root_ + "afile").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
         CloseHandle(h);
         t.SetLogPath(t.root_ + "afile");
       },
       TRUE, "TVGuard\\log", {}},
      {"version 1 folder of 256 bytes", 1, true, kV1,
       [](LogTest& t) {
         const std::string f = t.root_ + std::string(256 - t.root_.size(), 'x');
         ASSERT_TRUE(inttest::MakeLongFolder(f));
         t.SetLogPath(f);
       },
       FALSE, "", {}},
      {"version 1 folder of 255 bytes", 1, true, kV1,
       [](LogTest& t) {
         const std::string f = t.root_ + std::string(255 - t.root_.size(), 'y');
         ASSERT_TRUE(inttest::MakeLongFolder(f));
         t.SetLogPath(f);
       },
       TRUE, std::string(255 - 13, 'y'), {}},
      {"version 2 folder of 258 bytes does not fit its record", 1, true, kV2,
       [](LogTest& t) {
         const std::string f = t.root_ + std::string(258 - t.root_.size(), 'z');
         ASSERT_TRUE(inttest::MakeLongFolder(f));
         t.logService_.SetString("TempLogFolder", f);
       },
       FALSE, "", {}},
      {"version 2 folder of 257 bytes", 1, true, kV2,
       [](LogTest& t) {
         const std::string f = t.root_ + std::string(257 - t.root_.size(), 'w');
         ASSERT_TRUE(inttest::MakeLongFolder(f));
         t.logService_.SetString("TempLogFolder", f);
       },
       TRUE, std::string(257 - 13, 'w'), {}},
      {"busy twice, then ready", 1, true, kV2,
       [](LogTest& t) { t.logService_.SetDword("BusyReplies", 2); }, TRUE, "v2log",
       {init, busy, busy, ready}},
      {"busy three times, then the X variant", 1, true, kV2,
       [](LogTest& t) { t.logService_.SetDword("BusyReplies", 3); }, TRUE, "v2log",
       {init, busy, busy, busy, "TCTLIB_GetTempLogFolderX -> 0"}},
      {"version 2 folder missing", 1, true, kV2,
       [](LogTest& t) { t.logService_.SetString("TempLogFolder", t.root_ + "nowhere"); },
       FALSE, "", {}},
  };
  for (const SetUpCase& c : cases) {
    Run(c);
    if (HasFatalFailure()) return;
  }
}

// The guard's policy is the administrator's, beside the key store. KVRGRD_HOME, which
// any program of a user can set for that user's later processes (HKCU\Environment),
// moves the journal (tests read it there) but not the policy: one in that folder
// refusing A:\ decides nothing.
TEST_F(LogTest, GuardPolicyIsTheInstallationsOnly) {
  WritePrivateProfileStringA("GUARD", "REFUSE", "A:\\", (guardHome_ + "\\kvrgrd.ini").c_str());
  CVelvoxDlg dlg;
  EXPECT_TRUE(dlg.RegisterWithGuard());
  EXPECT_EQ(Matching(GuardJournal(), " add id=").size(), 27u);
  EXPECT_TRUE(Matching(GuardJournal(), "refused").empty());
  EXPECT_TRUE(dlg.ReleaseGuard());
}

// A refusal at C: fails the set-up after A: and B: were registered; both are released
// again, with the authentication, so that the guard watches no writer without a log.
TEST_F(LogTest, GuardRefusalAtCReleasesAAndB) {
  uninstall_.SetDword("Version", kV2);
  inttest::LogService service(1, "PC01\\tanaka");
  RefuseForGuard("C:\\");
  CVelvoxDlg dlg;
  EXPECT_FALSE(dlg.SetUpOperationLog(0));
  EXPECT_TRUE(dlg.m_guardIds.empty());
  const auto journal = GuardJournal();
  const auto adds = Matching(journal, " add id=");
  ASSERT_EQ(adds.size(), 2u);
  EXPECT_EQ(PathOf(adds[0]), "A:\\");
  EXPECT_EQ(PathOf(adds[1]), "B:\\");
  EXPECT_EQ(Matching(journal, "add refused: policy path=C:\\").size(), 1u);
  const auto deletes = Matching(journal, " delete id=");
  ASSERT_EQ(deletes.size(), 2u);
  EXPECT_EQ(IdOf(deletes[0]), IdOf(adds[0]));
  EXPECT_EQ(IdOf(deletes[1]), IdOf(adds[1]));
  EXPECT_NE(journal.back().find(" cancel"), std::string::npos) << journal.back();
  // The partial set-up before the save-as dialog stops before the guard.
  EXPECT_TRUE(dlg.SetUpOperationLog(1));
}

// The export library missing, or present without its entry point: the set-up fails
// after the guard registered every drive, and releases all of it again.
TEST_F(LogTest, FailingExportLibraryLeavesNoGuardRegistration) {
  uninstall_.SetDword("Version", kV2);
  inttest::LogService service(1, "PC01\\tanaka");
  struct Case {
    const char* what;
    const char* asExportLibrary;  // copied as tcexplog.dll; null: none
  } cases[] = {{"export library missing", nullptr},
               {"entry point missing", "tgexplog.dll"}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A program folder with the guard, the log-service client and the libraries the
    // program imports at load time, and the export library as the case has it.
    const std::string bin = root_ + "bin" + std::to_string(n++) + "\\";
    ASSERT_TRUE(CreateDirectoryA(bin.c_str(), nullptr));
    for (const char* f : {"vx_oplog_probe.exe", "KvrGrd.dll", "TCTrace.dll", "tgexplog.dll",
                          "Zoras.dll", "tarvodev.dll"})
      ASSERT_TRUE(CopyFileA((vxtest::ExeFolder() + f).c_str(), (bin + f).c_str(), FALSE)) << f;
    if (c.asExportLibrary)
      ASSERT_TRUE(CopyFileA((vxtest::ExeFolder() + c.asExportLibrary).c_str(),
                            (bin + "tcexplog.dll").c_str(), FALSE));
    const size_t before = Matching(GuardJournal(), " add id=").size();
    vxtest::Process probe = vxtest::Process::Start("\"" + bin + "vx_oplog_probe.exe\"", bin);
    EXPECT_EQ(probe.Wait(), 0u);
    const auto journal = GuardJournal();
    EXPECT_EQ(Matching(journal, " add id=").size() - before, 27u);
    EXPECT_EQ(Matching(journal, " add id=").size(), Matching(journal, " delete id=").size())
        << "every registration released";
  }
  // With the library in place the same program opens the log.
  const std::string bin = root_ + "bin0\\";
  ASSERT_TRUE(CopyFileA((vxtest::ExeFolder() + "tcexplog.dll").c_str(),
                        (bin + "tcexplog.dll").c_str(), FALSE));
  vxtest::Process probe = vxtest::Process::Start("\"" + bin + "vx_oplog_probe.exe\"", bin);
  EXPECT_EQ(probe.Wait(), 1u);
}

std::wstring Wide(const std::string& acp) {
  std::wstring w(acp.size(), L'\0');
  w.resize(static_cast<size_t>(
      MultiByteToWideChar(CP_ACP, 0, acp.data(), static_cast<int>(acp.size()), w.data(), static_cast<int>(w.size()))));
  return w;
}

// Split at tabs.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

TEST_F(LogTest, RecordsOfBothVersionsReadBackFromTheOperationLog) {
  inttest::LogService service(1, vxtest::Acp(u8"PC01\\田中"));
  CreateDirectoryA((root_ + "v1log").c_str(), nullptr);
  SetLogPath(root_ + "v1log");
  const std::string src = root_ + "src\\";
  // 300 bytes of double-byte characters: cut at 254, never inside a character.
  std::string longName;
  while (longName.size() < 300) longName += vxtest::Acp(u8"長");
  struct Case {
    DWORD version;
    BOOL sfx;
    const char* folder;
    const char* versionText;
  } cases[] = {
      {kV1, FALSE, "v1log", "v1"},
      {kV1, TRUE, "v1log", "v1"},
      {kV2, FALSE, "v2log", "v2"},
      {kV2, TRUE, "v2log", "v2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.versionText) + (c.sfx ? " SELFDEC" : " ARCHIVE"));
    uninstall_.SetDword("Version", c.version);
    const std::string logFile = root_ + c.folder + "\\tarvolog.dat";
    DeleteFileA(logFile.c_str());
    CVelvoxDlg dlg;
    ASSERT_TRUE(dlg.SetUpOperationLog(0));
    dlg.m_bSelfDecrypting = c.sfx;
    dlg.m_outputPath = c.sfx ? "C:\\out\\box.exe" : "C:\\out\\report.xss";
    dlg.m_strLogKeyName = c.sfx ? "" : "KEY01";
    // Names the code page cannot spell are written with its default character: best fit
    // would make "Muller.txt" of the first, another file, and of the second "price\list.txt",
    // a file in another folder.
    dlg.m_logFiles = {Wide(src + "a.txt"), Wide(src + vxtest::Acp(u8"表\\データ.doc")), Wide(longName),
                      Wide(src) + L"M\u00fcller.txt", Wide(src) + L"price\u00a5list.txt"};
    EXPECT_TRUE(dlg.ReleaseGuard());
    ASSERT_TRUE(dlg.ExportOperationLog());
    const auto lines = ReadLines(logFile);
    ASSERT_EQ(lines.size(), 5u);
    const std::string type = c.sfx ? "SELFDEC" : "ARCHIVE";
    const std::string code = c.sfx ? "3" : "4";
    const std::string cut = vxtest::Utf8(longName.substr(0, 254));
    const std::string files[] = {vxtest::Utf8(src + "a.txt"),
                                 vxtest::Utf8(src + vxtest::Acp(u8"表\\データ.doc")), cut,
                                 vxtest::Utf8(src) + "M?ller.txt", vxtest::Utf8(src) + "price?list.txt"};
    for (size_t i = 0; i < 5; ++i) {
      const auto f = Fields(lines[i]);
      ASSERT_EQ(f.size(), 8u) << lines[i];
      EXPECT_EQ(f[0].size(), 19u) << "time stamp " << f[0];
      EXPECT_EQ(f[1], c.versionText);
      EXPECT_EQ(f[2], type);
      EXPECT_EQ(f[3], code);
      EXPECT_EQ(f[4], vxtest::Utf8(vxtest::Acp(u8"PC01\\田中")));
      if (c.sfx) {
        EXPECT_EQ(f[5], "C:\\out\\box.exe");
        EXPECT_EQ(f[6], files[i]);
        EXPECT_EQ(f[7], "");
      } else {
        EXPECT_EQ(f[5], "KEY01");
        EXPECT_EQ(f[6], "C:\\out\\report.xss");
        EXPECT_EQ(f[7], files[i]);
      }
    }
  }
}

TEST(ExportLibrary, RefusesMalformedRecords) {
  const std::string folder = inttest::Scratch("explog");
  HMODULE lib = LoadLibraryA("tcexplog.dll");
  ASSERT_NE(lib, nullptr);
  auto exportLog = Proc<PFN_tcExportLog>(lib, "tcExportLog");
  ASSERT_NE(exportLog, nullptr);
  auto good = [&] {
    auto r = std::make_unique<TC_LOG_RECORD_V2>();
    std::memset(r.get(), 0, sizeof(*r));
    std::strcpy(r->magic, "#TG");
    std::strcpy(r->version, "1.0");
    std::strcpy(r->typeText, "ARCHIVE");
    std::strcpy(r->logFolder, folder.substr(0, folder.size() - 1).c_str());
    r->typeCode = kLogTypeArchive;
    std::strcpy(r->text1, "PC01\\tanaka");
    std::strcpy(r->text2, "KEY01");
    std::strcpy(r->text3, "C:\\out\\r.xss");
    std::strcpy(r->text4, "C:\\src\\a.txt");
    return r;
  };
  const std::pair<const char*, std::function<void(TC_LOG_RECORD_V2&)>> bad[] = {
      {"type code of the other type", [](TC_LOG_RECORD_V2& r) { r.typeCode = kLogTypeSelfDecrypting; }},
      {"unknown type", [](TC_LOG_RECORD_V2& r) { std::strcpy(r.typeText, "OTHER"); }},
      {"version", [](TC_LOG_RECORD_V2& r) { std::strcpy(r.version, "2.0"); }},
      {"magic", [](TC_LOG_RECORD_V2& r) { r.magic[0] = 0; }},
      {"unterminated text", [](TC_LOG_RECORD_V2& r) { std::memset(r.text2, 'k', sizeof(r.text2)); }},
      {"SELFDEC with a fourth text",
       [](TC_LOG_RECORD_V2& r) {
         std::strcpy(r.typeText, "SELFDEC");
         r.typeCode = kLogTypeSelfDecrypting;
       }},
      {"filled padding", [](TC_LOG_RECORD_V2& r) { r.reserved[100] = 1; }},
      {"log folder missing", [](TC_LOG_RECORD_V2& r) { std::strcat(r.logFolder, "\\gone"); }},
  };
  for (const auto& [name, spoil] : bad) {
    auto r = good();
    spoil(*r);
    EXPECT_NE(exportLog(r.get()), 0u) << name;
  }
  EXPECT_TRUE(ReadLines(folder + "tarvolog.dat").empty());
  EXPECT_EQ(exportLog(good().get()), 0u);
  EXPECT_EQ(ReadLines(folder + "tarvolog.dat").size(), 1u);
  FreeLibrary(lib);
}

// A library of the suite missing from the program folder only fails its feature; it is
// never looked for in the current folder or on PATH, where anyone may have left a file
// of that name. Each row plants a DLL that records being loaded, under the row's name,
// in one of those places; the same DLL put into the program folder afterwards shows that
// the row does reach the load.
TEST_F(LogTest, SuiteLibrariesAreLoadedFromTheProgramFolderOnly) {
  inttest::LogService service(1, "PC01\\tanaka");
  struct Case {
    const char* library;
    const char* probe;  // arguments of vx_libload_probe
    DWORD guardVersion;
  } cases[] = {
      {"TCTrace.dll", "log", kV2},
      {"KvrGrd.dll", "log", kV2},
      {"tcexplog.dll", "log", kV2},
      {"tgexplog.dll", "log", kV1},
      {"tvxdrv.dll", "mail", kV2},
      // Whatever is loaded by its bare name once start-up has restricted the search.
      {"vxplanted.dll", "bare vxplanted.dll", kV2},
  };
  // The planted DLL's record, and the probes' PATH, for this test only.
  struct Environment {
    std::string path;
    Environment() {
      path.resize(32767);
      path.resize(GetEnvironmentVariableA("PATH", path.data(), 32767));
    }
    ~Environment() {
      SetEnvironmentVariableA("PATH", path.c_str());
      SetEnvironmentVariableA("TV_PLANTED_MARK", nullptr);
    }
  } environment;
  const std::string mark = root_ + "planted.mark";
  const auto marked = [&] { return GetFileAttributesA(mark.c_str()) != INVALID_FILE_ATTRIBUTES; };
  const std::string planted = vxtest::ExeFolder() + "tv_planted_dll.dll";
  SetEnvironmentVariableA("TV_PLANTED_MARK", mark.c_str());
  int n = 0;
  for (const Case& c : cases) {
    uninstall_.SetDword("Version", c.guardVersion);
    const std::string row = std::to_string(n++);
    const std::string bin = root_ + "lib" + row + "\\", cwd = root_ + "cwd" + row + "\\",
                      onPath = root_ + "path" + row + "\\";
    for (const std::string& f : {bin, cwd, onPath}) ASSERT_TRUE(CreateDirectoryA(f.c_str(), nullptr));
    for (const char* f : {"vx_libload_probe.exe", "tarvodev.dll", "Zoras.dll", "KvrGrd.dll",
                          "TCTrace.dll", "tgexplog.dll", "tcexplog.dll", "tvxdrv.dll"})
      if (std::strcmp(f, c.library) != 0)
        ASSERT_TRUE(CopyFileA((vxtest::ExeFolder() + f).c_str(), (bin + f).c_str(), FALSE)) << f;
    SetEnvironmentVariableA("PATH", (onPath + ";" + environment.path).c_str());
    const std::string probe = "\"" + bin + "vx_libload_probe.exe\" " + c.probe;
    for (const std::string& where : {cwd, onPath}) {
      SCOPED_TRACE(std::string(c.library) + (where == cwd ? " in the current folder" : " on PATH"));
      ASSERT_TRUE(CopyFileA(planted.c_str(), (where + c.library).c_str(), FALSE));
      DeleteFileA(mark.c_str());
      EXPECT_EQ(vxtest::Process::Start(probe, cwd).Wait(), 0u);
      EXPECT_FALSE(marked()) << "loaded from " << where;
      DeleteFileA((where + c.library).c_str());
    }
    SCOPED_TRACE(std::string(c.library) + " in the program folder");
    ASSERT_TRUE(CopyFileA(planted.c_str(), (bin + c.library).c_str(), FALSE));
    DeleteFileA(mark.c_str());
    vxtest::Process::Start(probe, cwd).Wait();
    EXPECT_TRUE(marked()) << "the probe never reached the load";
  }
}

// The same for velvox.exe itself, whose start-up restricts the search. The suite's
// libraries are loaded by full path, but what they import is looked for by name, like
// every library that the system loads on the program's behalf: here velvox's program
// folder holds, as the log service's client TCTrace.dll (loaded before the save-as
// dialog), a library that imports tv_planted_dll.dll. The copies of that DLL in
// velvox's current folder and on PATH stay unloaded; one in the program folder is
// taken, which shows that the run reaches the load. (Under Wine, the system DLLs that
// velvox's process loads by name after start-up are either loaded by Wine's own loader
// without regard to the restriction or present in the system folder, which every search
// order puts before the current folder and PATH; README.md says more.)
TEST_F(LogTest, VelvoxTakesNoLibraryFromItsCurrentFolderOrPath) {
  inttest::LogService service(1, "PC01\\tanaka");
  uninstall_.SetDword("Version", kV2);
  const std::string program = root_ + "program\\", cwd = root_ + "cwd\\",
                    onPath = root_ + "path\\";
  for (const std::string& f : {program, cwd, onPath})
    ASSERT_TRUE(CreateDirectoryA(f.c_str(), nullptr));
  for (const char* f : {"velvox.exe", "tarvodev.dll", "Zoras.dll"})
    ASSERT_TRUE(CopyFileA((vxtest::ExeFolder() + f).c_str(), (program + f).c_str(), FALSE)) << f;
  ASSERT_TRUE(CopyFileA((vxtest::ExeFolder() + "vx_plantedimport.dll").c_str(),
                        (program + "TCTrace.dll").c_str(), FALSE));
  const std::string planted = vxtest::ExeFolder() + "tv_planted_dll.dll";
  for (const std::string& f : {cwd, onPath})
    ASSERT_TRUE(CopyFileA(planted.c_str(), (f + "tv_planted_dll.dll").c_str(), FALSE)) << f;
  std::ofstream(cwd + "a.txt", std::ios::binary) << "a";
  const std::string mark = root_ + "planted.mark";
  std::string path(32767, '\0');
  path.resize(GetEnvironmentVariableA("PATH", path.data(), 32767));
  const vxtest::ScopedEnvironment environment(
      {{"PATH", onPath + ";" + path}, {"TV_PLANTED_MARK", mark}});
  // Runs velvox up to its save-as dialog, by which time the log's client was loaded.
  auto runToSaveAs = [&] {
    auto p =
        vxtest::Process::Start("\"" + program + "velvox.exe\" \"" + cwd + "a.txt\"", cwd);
    HWND save = vxtest::WaitForDialogWith(IDC_SAVE_SELF_DECRYPTING, p.pid());
    ASSERT_NE(save, nullptr);
    PostMessageA(save, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_EQ(p.Wait(), 0u);
  };
  runToSaveAs();
  EXPECT_EQ(GetFileAttributesA(mark.c_str()), INVALID_FILE_ATTRIBUTES)
      << "loaded from the current folder or PATH";
  ASSERT_TRUE(CopyFileA(planted.c_str(), (program + "tv_planted_dll.dll").c_str(), FALSE));
  runToSaveAs();
  EXPECT_NE(GetFileAttributesA(mark.c_str()), INVALID_FILE_ATTRIBUTES)
      << "velvox never reached the load";
}

}  // namespace
