// The setup's preparation of the data folder (installer/datafolder.h) on a scratch root.
// Wine neither keeps nor enforces owners and lists: it reports every file as owned by
// the prefix's user, with a list made from the Unix mode bits. The preparation reads and
// writes security through SecurityIo; here one that remembers, per file, what a test
// planted and what the preparation set (and still makes the system's call), so that a
// folder can be found as another user left it and what the setup decided read back.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "datafolder.h"
#include "keystore.h"
#include "testfiles.h"

namespace {

const wchar_t kOtherUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
const wchar_t kAdmins[] = L"S-1-5-32-544";
const wchar_t kUsers[] = L"S-1-5-32-545";
const wchar_t kEveryone[] = L"S-1-1-0";
const wchar_t kOwnerRights[] = L"S-1-3-4";

std::wstring Wide(const std::string& s) {
  std::wstring w(s.size() + 1, L'\0');
  w.resize(static_cast<size_t>(
      ::MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, w.data(), static_cast<int>(w.size())) - 1));
  return w;
}
std::string Narrow(const std::wstring& w) {
  std::string s(w.size() * 2 + 1, '\0');
  s.resize(static_cast<size_t>(::WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, s.data(),
                                                     static_cast<int>(s.size()), nullptr,
                                                     nullptr) - 1));
  return s;
}

using FileKey = std::tuple<DWORD, DWORD, DWORD>;

bool KeyOf(HANDLE h, FileKey* key) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return false;
  *key = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}
bool KeyOf(const std::string& path, FileKey* key) {
  HANDLE h = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = KeyOf(h, key);
  ::CloseHandle(h);
  return ok;
}

// Security as a system that keeps it would: what was planted or set, per file.
class KeptSecurity final : public vxsetup::SecurityIo {
 public:
  void Plant(const std::string& path, const std::wstring& sddl) {
    FileKey key;
    ASSERT_TRUE(KeyOf(path, &key)) << path;
    planted_[key] = sddl;
  }
  // What the preparation set on `path`, or "<not set>".
  std::wstring Set(const std::string& path) const {
    FileKey key;
    if (!KeyOf(path, &key)) return L"<missing>";
    auto it = set_.find(key);
    return it == set_.end() ? L"<not set>" : it->second;
  }
  bool Read(HANDLE object, std::wstring* sddl) override {
    FileKey key;
    if (!KeyOf(object, &key)) return false;
    for (const auto* m : {&set_, &planted_}) {
      auto it = m->find(key);
      if (it != m->end()) {
        *sddl = it->second;
        return true;
      }
    }
    return system_.Read(object, sddl);
  }
  bool Write(HANDLE object, const std::wstring& sddl) override {
    FileKey key;
    if (!KeyOf(object, &key) || !system_.Write(object, sddl)) return false;
    set_[key] = sddl;
    return true;
  }

 private:
  std::map<FileKey, std::wstring> planted_, set_;
  vxsetup::SystemSecurityIo system_;
};

struct Sd {
  explicit Sd(const std::wstring& sddl) {
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                           nullptr);
  }
  ~Sd() { ::LocalFree(sd); }
  PSECURITY_DESCRIPTOR sd = nullptr;

  std::wstring Owner() const {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    wchar_t* text = nullptr;
    if (!sd || !::GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !owner ||
        !::ConvertSidToStringSidW(owner, &text))
      return L"<none>";
    std::wstring out = text;
    ::LocalFree(text);
    return out;
  }
  bool Protected() const {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    return sd && ::GetSecurityDescriptorControl(sd, &control, &revision) &&
           (control & SE_DACL_PROTECTED);
  }
  // The list alone, as the system writes it.
  std::wstring Dacl() const {
    wchar_t* text = nullptr;
    if (!sd || !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                   sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
      return L"<none>";
    std::wstring out = text;
    ::LocalFree(text);
    return out;
  }
  // What the entries for `sid` allow on the object itself, or (`files`) what they give a
  // file created in the folder.
  DWORD Rights(const wchar_t* sid, bool files = false) const {
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (!sd || !::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !dacl)
      return 0xFFFFFFFF;
    PSID want = nullptr;
    ::ConvertStringSidToSidW(sid, &want);
    DWORD mask = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      ACCESS_ALLOWED_ACE* ace = nullptr;
      ::GetAce(dacl, i, reinterpret_cast<void**>(&ace));
      const BYTE flags = ace->Header.AceFlags;
      if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
          (files ? !(flags & OBJECT_INHERIT_ACE) : (flags & INHERIT_ONLY_ACE) != 0) ||
          !::EqualSid(want, reinterpret_cast<PSID>(&ace->SidStart)))
        continue;
      mask |= ace->Mask;
    }
    ::LocalFree(want);
    return mask;
  }
};

// The key tool's list for the store folder, as the system writes it.
std::wstring KeyToolList() {
  std::wstring sddl;
  for (const char* c = tvdev::store::HomeSecurity(); *c; ++c) sddl += static_cast<wchar_t>(*c);
  return Sd(sddl).Dacl();
}

constexpr DWORD kAppendOnly = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kUserMustNot = FILE_READ_DATA | FILE_WRITE_DATA | DELETE | WRITE_DAC |
                               WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_ALL | GENERIC_READ |
                               GENERIC_WRITE;

// Users on a journal folder may add a file, nothing else that changes or shows it.
constexpr DWORD kUserMustNotInFolder = FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY | DELETE |
                                       WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD |
                                       GENERIC_ALL | GENERIC_READ | GENERIC_WRITE;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}
bool Exists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class DataFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    io_ = KeptSecurity();
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    root_ = std::string(temp) + "vx datafolder " + std::to_string(::GetCurrentProcessId()) +
            "-" + std::to_string(++counter_);
    vxtest::RemoveTree(root_);
    ASSERT_TRUE(::CreateDirectoryA(root_.c_str(), nullptr));
    norvane_ = root_ + "\\Norvane";
    home_ = norvane_ + "\\TARVO-Pro";
  }
  void TearDown() override { vxtest::RemoveTree(root_); }

  vxsetup::Outcome Prepare() {
    report_ = {};
    return vxsetup::Prepare(Wide(root_), io_, &report_);
  }
  // A folder as an ordinary user leaves it: his, and everyone may change it.
  void UserFolder(const std::string& path) {
    ASSERT_TRUE(::CreateDirectoryA(path.c_str(), nullptr)) << path;
    io_.Plant(path, std::wstring(L"O:") + kOtherUser + L"D:(A;OICI;FA;;;WD)");
  }
  // A folder as an earlier setup left it.
  void AdminFolder(const std::string& path) {
    ASSERT_TRUE(::CreateDirectoryA(path.c_str(), nullptr)) << path;
    io_.Plant(path, vxsetup::StoreFolderSecurity());
  }
  void File(const std::string& path, const std::string& text, const std::wstring& sddl) {
    WriteFileText(path, text);
    io_.Plant(path, sddl);
  }
  // Norvane and TARVO-Pro: Administrators as owner and the key tool's protected list.
  void ExpectStoreLevelsTakenOver() {
    for (const std::string& level : {norvane_, home_}) {
      const Sd sd(io_.Set(level));
      EXPECT_EQ(kAdmins, sd.Owner()) << level;
      EXPECT_TRUE(sd.Protected()) << level;
      EXPECT_EQ(KeyToolList(), sd.Dacl()) << level;
    }
  }
  std::string SetAsideName(const std::string& path) const {
    for (const auto& [from, to] : report_.setAside)
      if (Narrow(from) == path) return Narrow(to);
    return {};
  }

  static int counter_;
  std::string root_, norvane_, home_;
  KeptSecurity io_;
  vxsetup::Report report_;
};
int DataFolder::counter_ = 0;

const std::wstring kUserFile = std::wstring(L"O:") + kOtherUser + L"D:(A;;FA;;;WD)";
const std::wstring kAdminFile = L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)";
// A journal as a user's process makes it in a journal folder, once it belongs to the setup.
const std::wstring kAdminJournal =
    L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x100084;;;BU)(A;ID;0x100084;;;OW)";

// The account this test runs as, which is also the one that runs the setup.
std::wstring SelfSid() {
  HANDLE token = nullptr;
  BYTE buf[512];
  DWORD size = 0;
  std::wstring out;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    wchar_t* text = nullptr;
    if (::GetTokenInformation(token, TokenUser, buf, sizeof buf, &size) &&
        ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &text)) {
      out = text;
      ::LocalFree(text);
    }
    ::CloseHandle(token);
  }
  return out;
}

// `sddl` with another owner.
std::wstring OwnedBy(const std::wstring& owner, const std::wstring& sddl) {
  return L"O:" + owner + sddl.substr(sddl.find(L"D:"));
}

// Each level gets Administrators as owner and its protected list; the journals the suite
// writes exist, users may only append to them, and so to any journal they add.
TEST_F(DataFolder, EveryLevelGetsAdministratorsAndItsProtectedList) {
  ASSERT_EQ(vxsetup::Outcome::kDone, Prepare()) << Narrow(report_.problem);
  ExpectStoreLevelsTakenOver();
  const Sd writer(io_.Set(home_ + "\\SetWriter"));
  EXPECT_EQ(kAdmins, writer.Owner());
  EXPECT_EQ(KeyToolList(), writer.Dacl());
  for (const char* name : {"Log", "Guard", "LogService"}) {
    const std::string folder = home_ + "\\" + name;
    const Sd sd(io_.Set(folder));
    EXPECT_EQ(kAdmins, sd.Owner()) << name;
    EXPECT_TRUE(sd.Protected()) << name;
    EXPECT_EQ(static_cast<DWORD>(FILE_ALL_ACCESS), sd.Rights(kAdmins)) << name;
    EXPECT_EQ(0u, sd.Rights(kEveryone) | sd.Rights(kEveryone, true)) << name;
    EXPECT_EQ(0u, sd.Rights(kUsers) & kUserMustNotInFolder) << name;
    EXPECT_TRUE(sd.Rights(kUsers) & FILE_ADD_FILE) << name;
    // A journal a user's process creates: append only, for him as its owner too.
    EXPECT_EQ(kAppendOnly, sd.Rights(kUsers, true)) << name;
    EXPECT_EQ(kAppendOnly, sd.Rights(kOwnerRights, true)) << name;
  }
  for (const char* journal : {"mediahook.log", "Log\\tarvolog.dat", "Guard\\kvrgrd.log",
                              "LogService\\tctrace.log"}) {
    const Sd sd(io_.Set(home_ + "\\" + journal));
    EXPECT_EQ(kAdmins, sd.Owner()) << journal;
    EXPECT_EQ(kAppendOnly, sd.Rights(kUsers)) << journal;
    EXPECT_EQ(0u, sd.Rights(kEveryone)) << journal;
  }
  EXPECT_TRUE(report_.setAside.empty());
}

// A level that the setup cannot prove administrators made for it is never adopted: a
// handle its maker opened before would keep its rights whatever list it gets. It goes
// aside whole, with everything in it, and an empty one with the setup's list takes its
// place. One that an earlier setup made is kept as it is (a repair or an upgrade).
TEST_F(DataFolder, LevelsNotMadeForTheSetupAreMovedAsideWhole) {
  const std::wstring store = vxsetup::StoreFolderSecurity();
  const std::wstring journals = vxsetup::JournalFolderSecurity();
  const struct {
    const char* level;  // below the root
    bool journalFolder;
  } levels[] = {{"Norvane", false},
                {"Norvane\\TARVO-Pro", false},
                {"Norvane\\TARVO-Pro\\Log", true},
                {"Norvane\\TARVO-Pro\\SetWriter", false},
                {"Norvane\\TARVO-Pro\\TEMPLATE", false},
                {"Norvane\\TARVO-Pro\\TEMPLATE\\key", false}};
  const struct {
    const char* what;
    std::wstring (*found)(const std::wstring& ours);
    bool kept;
  } founds[] = {
      {"owned by another user",
       [](const std::wstring& ours) { return OwnedBy(kOtherUser, ours); }, false},
      {"owned by the account that runs the setup",
       [](const std::wstring& ours) { return OwnedBy(SelfSid(), ours); }, false},
      {"a user's explicit write-only entry",
       [](const std::wstring& ours) { return ours + L"(A;;0x120116;;;BU)"; }, false},
      {"users change what is made in it",
       [](const std::wstring& ours) { return ours + L"(A;OICIIO;FA;;;BU)"; }, false},
      {"its makers own what they make in it",
       [](const std::wstring& ours) { return ours + L"(A;OICIIO;FA;;;CO)"; }, false},
      {"made by an earlier setup", [](const std::wstring& ours) { return ours; }, true},
  };
  for (const auto& level : levels) {
    for (const auto& found : founds) {
      SCOPED_TRACE(std::string(level.level) + ": " + found.what);
      TearDown();
      SetUp();
      const std::string path = root_ + "\\" + level.level;
      // The levels above as a setup leaves them.
      for (size_t at = path.find('\\', root_.size() + 1); at != std::string::npos;
           at = path.find('\\', at + 1))
        AdminFolder(path.substr(0, at));
      const std::wstring ours = level.journalFolder ? journals : store;
      ASSERT_TRUE(::CreateDirectoryA(path.c_str(), nullptr));
      io_.Plant(path, found.found(ours));
      File(path + "\\inside.ini", "planted", level.journalFolder ? kAdminJournal : kAdminFile);
      FileKey before;
      ASSERT_TRUE(KeyOf(path, &before));

      ASSERT_EQ(vxsetup::Outcome::kDone, Prepare()) << Narrow(report_.problem);

      FileKey now;
      ASSERT_TRUE(KeyOf(path, &now));
      EXPECT_EQ(ours, io_.Set(path));
      const std::string aside = path + ".untrusted-1";
      if (found.kept) {
        EXPECT_TRUE(before == now) << "not the level that was there";
        EXPECT_EQ("planted", ReadAll(path + "\\inside.ini"));
        EXPECT_EQ("", SetAsideName(path));
      } else {
        EXPECT_FALSE(before == now) << "adopted";
        EXPECT_EQ(aside, SetAsideName(path));
        FileKey moved;
        ASSERT_TRUE(KeyOf(aside, &moved));
        EXPECT_TRUE(before == moved);
        EXPECT_EQ("planted", ReadAll(aside + "\\inside.ini"));
        EXPECT_EQ(L"<not set>", io_.Set(aside)) << "changed what was found";
        EXPECT_FALSE(Exists(path + "\\inside.ini"));
      }
      // Whatever happened to one level, the store levels end as the setup's.
      ExpectStoreLevelsTakenOver();
    }
  }
}

// A user who made TARVO-Pro and holds a handle on it from before (its owner may change
// its list through it at any time) reaches only what was moved aside. One who holds it
// so that it cannot be moved stops the setup, which names it.
TEST_F(DataFolder, AHandleOpenedBeforeReachesOnlyWhatWasMovedAside) {
  AdminFolder(norvane_);
  UserFolder(home_);
  File(home_ + "\\keystore.dat", "planted store", kUserFile);
  HANDLE held = ::CreateFileA(home_.c_str(), READ_CONTROL | WRITE_DAC | FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  FileKey hers, aside, now;
  ASSERT_TRUE(KeyOf(held, &hers));

  ASSERT_EQ(vxsetup::Outcome::kDone, Prepare()) << Narrow(report_.problem);

  ASSERT_TRUE(KeyOf(home_, &now));
  ASSERT_TRUE(KeyOf(home_ + ".untrusted-1", &aside));
  EXPECT_FALSE(hers == now) << "the held handle reaches the store folder";
  EXPECT_TRUE(hers == aside);
  EXPECT_EQ(vxsetup::StoreFolderSecurity(), io_.Set(home_));
  EXPECT_EQ("planted store", ReadAll(home_ + ".untrusted-1\\keystore.dat"));
  EXPECT_FALSE(Exists(home_ + "\\keystore.dat"));
  ::CloseHandle(held);

  TearDown();
  SetUp();
  AdminFolder(norvane_);
  UserFolder(home_);
  held = ::CreateFileA(home_.c_str(), READ_CONTROL | FILE_LIST_DIRECTORY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_EQ(vxsetup::Outcome::kInUse, Prepare());
  EXPECT_NE(std::wstring::npos, report_.problem.find(Wide(home_))) << Narrow(report_.problem);
  EXPECT_EQ(L"<not set>", io_.Set(home_));
  ::CloseHandle(held);
}

// Below a kept level everything was made by administrators or is moved aside: files and
// folders the setup has no name for, in the store folder, the key templates and the
// journal folders. What an earlier setup moved aside stays as it is.
TEST_F(DataFolder, EverythingBelowAKeptLevelIsAdministratorsOrMovedAside) {
  AdminFolder(norvane_);
  AdminFolder(home_);
  AdminFolder(home_ + "\\TEMPLATE");
  AdminFolder(home_ + "\\TEMPLATE\\kept");
  AdminFolder(home_ + "\\TEMPLATE\\planted");
  UserFolder(home_ + "\\PlugIns");
  ASSERT_TRUE(::CreateDirectoryA((home_ + "\\Log").c_str(), nullptr));
  io_.Plant(home_ + "\\Log", vxsetup::JournalFolderSecurity());
  UserFolder(home_ + "\\Log\\sub");
  File(home_ + "\\notes.txt", "a user's", kUserFile);
  File(home_ + "\\admin.txt", "an administrator's", kAdminFile);
  File(home_ + "\\keystore.dat.untrusted", "aside before", kUserFile);
  File(home_ + "\\TEMPLATE\\kept\\tarvo.ini", "[PATH]\r\n0001=C:\\\r\n", kAdminFile);
  File(home_ + "\\TEMPLATE\\planted\\tarvo.ini", "[PATH]\r\n0001=C:\\\r\n", kUserFile);
  File(home_ + "\\PlugIns\\token.dll", "planted", kAdminFile);
  ASSERT_EQ(vxsetup::Outcome::kDone, Prepare()) << Narrow(report_.problem);

  const struct {
    std::string path, aside;  // aside empty: kept
  } expected[] = {
      {home_ + "\\notes.txt", home_ + "\\notes.txt.untrusted"},
      {home_ + "\\admin.txt", ""},
      {home_ + "\\TEMPLATE", ""},
      {home_ + "\\TEMPLATE\\kept\\tarvo.ini", ""},
      {home_ + "\\TEMPLATE\\planted\\tarvo.ini", home_ + "\\TEMPLATE\\planted\\tarvo.ini.untrusted"},
      {home_ + "\\PlugIns", home_ + "\\PlugIns.untrusted-1"},
      {home_ + "\\Log\\sub", home_ + "\\Log\\sub.untrusted-1"},
  };
  for (const auto& e : expected) {
    EXPECT_EQ(e.aside, SetAsideName(e.path)) << e.path;
    if (e.aside.empty()) {
      EXPECT_NE(L"<not set>", io_.Set(e.path)) << e.path;
    }
  }
  EXPECT_EQ("aside before", ReadAll(home_ + "\\keystore.dat.untrusted"));
  EXPECT_EQ("", SetAsideName(home_ + "\\keystore.dat.untrusted"));
  EXPECT_EQ("planted", ReadAll(home_ + "\\PlugIns.untrusted-1\\token.dll"));
  EXPECT_EQ(vxsetup::StoreFolderSecurity(), io_.Set(home_ + "\\PlugIns"));
  // The setup's own levels are there even where nothing was.
  EXPECT_EQ(vxsetup::StoreFolderSecurity(), io_.Set(home_ + "\\SetWriter"));
}

// What is found in a kept store folder: kept only when nobody but administrators could
// have written it, otherwise renamed aside with its content and a new one made later.
TEST_F(DataFolder, KeepsOnlyFilesThatOnlyAdministratorsCouldHaveWritten) {
  const struct {
    const char* what;
    std::wstring storeSecurity;  // keystore.dat's, as found
    bool secondName;             // keystore.dat has a second name elsewhere
    bool kept;
  } cases[] = {
      {"an earlier setup's", kAdminFile, false, true},
      {"a user's file in the setup's folder",
       std::wstring(L"O:") + kOtherUser + L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)", false, false},
      {"the setup's file that users may write",
       L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1301bf;;;BU)", false, false},
      {"owned by the account that runs the setup", OwnedBy(SelfSid(), kAdminFile), false, false},
      {"the setup's file with a second name", kAdminFile, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    AdminFolder(norvane_);
    AdminFolder(home_);
    const std::string store = home_ + "\\keystore.dat", policy = home_ + "\\policy.ini",
                      secret = home_ + "\\machine.key";
    File(store, "planted store", c.storeSecurity);
    File(policy, "[OPTION]\r\nPLUGINNAME=evil.dll\r\n", c.storeSecurity);
    File(secret, "planted secret", c.storeSecurity);
    const std::string other = root_ + "\\elsewhere.dat";
    if (c.secondName) {
      ASSERT_TRUE(::CreateHardLinkA(other.c_str(), store.c_str(), nullptr));
    }

    ASSERT_EQ(vxsetup::Outcome::kDone, Prepare()) << Narrow(report_.problem);

    ExpectStoreLevelsTakenOver();
    const std::string aside = SetAsideName(store);
    if (c.kept) {
      EXPECT_EQ("planted store", ReadAll(store));
      EXPECT_EQ("", aside);
      const Sd sd(io_.Set(store));
      EXPECT_EQ(kAdmins, sd.Owner());
      EXPECT_FALSE(sd.Protected());  // it inherits the folder's list
      EXPECT_EQ(static_cast<DWORD>(FILE_ALL_ACCESS), sd.Rights(kAdmins));
      EXPECT_EQ(0u, sd.Rights(kUsers) & ~static_cast<DWORD>(FILE_GENERIC_READ | FILE_EXECUTE));
      EXPECT_EQ(0u, sd.Rights(kEveryone));
    } else {
      EXPECT_FALSE(Exists(store));
      EXPECT_EQ(store + ".untrusted", aside);
      EXPECT_EQ("planted store", ReadAll(aside));
      // A file with a second name keeps its security: a change would reach the other.
      if (c.secondName) {
        EXPECT_EQ(L"<not set>", io_.Set(aside));
      }
    }
    // The store and its settings go together here.
    if (!c.secondName) {
      EXPECT_EQ(c.kept, Exists(policy));
      EXPECT_EQ(c.kept, Exists(secret));
      if (!c.kept) {
        EXPECT_EQ(policy + ".untrusted", SetAsideName(policy));
        EXPECT_EQ(secret + ".untrusted", SetAsideName(secret));
      }
    }
    if (c.secondName) ::DeleteFileA(other.c_str());
  }
}

// What is moved aside goes to a free name; a second setup does it again.
TEST_F(DataFolder, MovesAsideToAFreeName) {
  UserFolder(norvane_);
  ASSERT_TRUE(::CreateDirectoryA((norvane_ + ".untrusted-1").c_str(), nullptr));
  ASSERT_EQ(vxsetup::Outcome::kDone, Prepare()) << Narrow(report_.problem);
  EXPECT_EQ(norvane_ + ".untrusted-2", SetAsideName(norvane_));

  File(home_ + "\\keystore.dat", "first", kUserFile);
  File(home_ + "\\keystore.dat.untrusted", "there before", kUserFile);
  ASSERT_EQ(vxsetup::Outcome::kDone, Prepare()) << Narrow(report_.problem);
  EXPECT_EQ("first", ReadAll(home_ + "\\keystore.dat.untrusted-2"));
  EXPECT_EQ("there before", ReadAll(home_ + "\\keystore.dat.untrusted"));
}

// A planted file that another program holds cannot be renamed aside: nothing of it is
// used, and the setup says which one.
TEST_F(DataFolder, StopsWhenAPlantedFileIsHeld) {
  AdminFolder(norvane_);
  AdminFolder(home_);
  const std::string store = home_ + "\\keystore.dat";
  File(store, "planted", kUserFile);
  HANDLE held = ::CreateFileA(store.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_EQ(vxsetup::Outcome::kInUse, Prepare());
  EXPECT_NE(std::wstring::npos, report_.problem.find(L"keystore.dat")) << Narrow(report_.problem);
  ::CloseHandle(held);
}

// The journals keep their lines, and exist from the setup on. One that a user's process
// made in the journal folder (its list inherited: users and its owner append only) gets
// the setup as owner. One that lets someone do more than append - a list of its maker's
// own, or an owner free to rewrite the list - goes aside with its lines and a new one
// takes the name; so does one with a second name.
TEST_F(DataFolder, JournalsKeepTheirLinesAndAreAppendOnlyForEveryone) {
  AdminFolder(norvane_);
  AdminFolder(home_);
  for (const char* name : {"\\Log", "\\Guard"}) {
    ASSERT_TRUE(::CreateDirectoryA((home_ + name).c_str(), nullptr));
    io_.Plant(home_ + name, vxsetup::JournalFolderSecurity());
  }
  const std::wstring inherited = std::wstring(L"O:") + kOtherUser +
                                 L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x100084;;;BU)"
                                 L"(A;ID;0x100084;;;OW)";
  const std::string log = home_ + "\\Log\\tarvolog.dat", other = home_ + "\\Log\\old.dat",
                    guard = home_ + "\\Guard\\kvrgrd.log", free = home_ + "\\Log\\free.dat";
  File(log, "line 1\r\n", inherited);
  File(other, "line 0\r\n", inherited);
  File(guard, "a user reads this\r\n",
       std::wstring(L"O:") + kOtherUser + L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + kOtherUser +
           L")(A;;0x100084;;;BU)");
  File(free, "its owner rewrites the list\r\n",
       std::wstring(L"O:") + kOtherUser + L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x100084;;;BU)");
  const std::string linked = home_ + "\\mediahook.log", elsewhere = root_ + "\\mine.log";
  WriteFileText(elsewhere, "a user's own file");
  ASSERT_TRUE(::CreateHardLinkA(linked.c_str(), elsewhere.c_str(), nullptr));

  ASSERT_EQ(vxsetup::Outcome::kDone, Prepare()) << Narrow(report_.problem);

  for (const std::string& journal : {log, other, guard}) {
    const Sd sd(io_.Set(journal));
    EXPECT_EQ(kAdmins, sd.Owner()) << journal << " " << Narrow(io_.Set(journal));
    EXPECT_EQ(kAppendOnly, sd.Rights(kUsers)) << journal;
    EXPECT_EQ(kAppendOnly, sd.Rights(kOwnerRights)) << journal;
  }
  EXPECT_EQ("line 1\r\n", ReadAll(log));
  EXPECT_EQ("line 0\r\n", ReadAll(other));
  EXPECT_EQ(guard + ".untrusted", SetAsideName(guard));
  EXPECT_EQ("a user reads this\r\n", ReadAll(guard + ".untrusted"));
  EXPECT_EQ("", ReadAll(guard));
  EXPECT_EQ(free + ".untrusted", SetAsideName(free));
  EXPECT_FALSE(Exists(free));  // not a journal the suite writes: not made again
  EXPECT_EQ(linked + ".untrusted", SetAsideName(linked));
  EXPECT_EQ(L"<not set>", io_.Set(elsewhere));
  // A new journal took the name.
  EXPECT_EQ(kAppendOnly, Sd(io_.Set(linked)).Rights(kUsers));
  ::DeleteFileA(elsewhere.c_str());
}

// A link at a level's name or below a kept level stops the preparation before anything
// is written through it.
TEST_F(DataFolder, StopsAtALevelThatIsALink) {
  for (const char* level : {"Norvane", "Norvane\\TARVO-Pro", "Norvane\\TARVO-Pro\\Log",
                            "Norvane\\TARVO-Pro\\TEMPLATE\\key"}) {
    SCOPED_TRACE(level);
    TearDown();
    SetUp();
    const std::string target = root_ + "\\target";
    ASSERT_TRUE(::CreateDirectoryA(target.c_str(), nullptr));
    const std::string link = root_ + "\\" + level;
    // The levels above as a setup leaves them.
    for (size_t at = link.find('\\', root_.size() + 1); at != std::string::npos;
         at = link.find('\\', at + 1))
      AdminFolder(link.substr(0, at));
    {
      vxtest::FolderLink made(link, target);
      ASSERT_EQ("", made.error());
      EXPECT_EQ(vxsetup::Outcome::kLink, Prepare());
      EXPECT_NE(std::wstring::npos, report_.problem.find(Wide(link))) << Narrow(report_.problem);
      EXPECT_EQ(L"<not set>", io_.Set(target));
      WIN32_FIND_DATAA d;
      HANDLE find = ::FindFirstFileA((target + "\\*").c_str(), &d);
      int entries = 0;
      if (find != INVALID_HANDLE_VALUE) {
        do entries += d.cFileName[0] != '.';
        while (::FindNextFileA(find, &d));
        ::FindClose(find);
      }
      EXPECT_EQ(0, entries) << "written through the link";
    }
  }
}

// The default settings go only where a key is missing: what an administrator set, even
// an empty value, stays. The media filter's file is written only when its "Media" value
// names ours.
TEST_F(DataFolder, DefaultSettingsFillOnlyWhatIsMissing) {
  ASSERT_EQ(vxsetup::Outcome::kDone, Prepare());
  const std::string policy = home_ + "\\policy.ini", media = home_ + "\\kvrfltme.ini";
  ASSERT_TRUE(::WritePrivateProfileStringA("VELVOX", "PWRETRYMAX", "9", policy.c_str()));
  ASSERT_TRUE(::WritePrivateProfileStringA("VELVOX", "EXTSTRING", "", policy.c_str()));
  ::WritePrivateProfileStringA(nullptr, nullptr, nullptr, policy.c_str());
  const auto text = [](const std::string& file, const char* section, const char* key) {
    char buf[64] = {};
    ::GetPrivateProfileStringA(section, key, "<missing>", buf, sizeof buf, file.c_str());
    return std::string(buf);
  };

  ASSERT_TRUE(vxsetup::WriteMissingSettings(Wide(home_), L"C:\\filter\\kvrfltme.ini"));
  EXPECT_FALSE(Exists(media)) << "the filter's own settings file is named";
  ASSERT_TRUE(vxsetup::WriteMissingSettings(Wide(home_), Wide(media)));

  const struct {
    std::string file;
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {policy, "VELVOX", "PWRETRYMAX", "9"},  {policy, "VELVOX", "EXTSTRING", ""},
      {policy, "VELVOX", "PWRETRY", "1"},     {policy, "OPTION", "USETOKEN", "0"},
      {policy, "OPTION", "PLUGINNAME", ""},   {media, "MEDIA", "REMOVABLE", "0"},
      {media, "MEDIASETTING", "KEYNAME", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, text(c.file, c.section, c.key)) << c.section << " " << c.key;
  // An empty default is written as a key, so that the next run keeps it too.
  char keys[4096] = {};
  ::GetPrivateProfileStringA("OPTION", nullptr, "", keys, sizeof keys, policy.c_str());
  bool listed = false;
  for (const char* k = keys; *k; k += strlen(k) + 1) listed |= std::string(k) == "PLUGINNAME";
  EXPECT_TRUE(listed);
}

}  // namespace
