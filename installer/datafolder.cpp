#include "datafolder.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "keystore.h"

namespace vxsetup {
namespace {

// Users on a journal folder itself: traverse, read its attributes, add a file (a
// journal deleted by an administrator can come back); no listing. On the files there,
// users and a file's creator (OWNER RIGHTS, which replaces the owner's implicit right
// to rewrite the list): append and read attributes, the access CreateFile asks for an
// append-only open. Nobody but administrators reads the journals.
const wchar_t kJournalFolderList[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1000a2;;;BU)(A;OIIO;0x100084;;;BU)"
    L"(A;OIIO;0x100084;;;OW)";
const wchar_t kJournalFileList[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x100084;;;BU)";

// Files whose content the suite acts on: a copy someone else wrote is not kept.
const wchar_t* const kTrustedContent[] = {L"keystore.dat", L"machine.key", L"keystore.lock",
                                         L"policy.ini",   L"kvrfltme.ini", L"kvrgrd.ini"};
const wchar_t kMediaJournal[] = L"mediahook.log";
// Each journal folder and the journal the suite writes there, made here so that its
// name is taken by a file with the right owner and list.
const struct {
  const wchar_t* folder;
  const wchar_t* journal;
} kJournalFolders[] = {
    {L"Log", L"tarvolog.dat"}, {L"Guard", L"kvrgrd.log"}, {L"LogService", L"tctrace.log"}};

const wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Rights that let someone replace or rename a level's entries, or the level itself.
constexpr DWORD kReplaceRights = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
// Rights that let someone change a file's content.
constexpr DWORD kWriteRights = kReplaceRights | FILE_WRITE_DATA | FILE_APPEND_DATA;

struct LocalDeleter {
  void operator()(void* p) const { ::LocalFree(p); }
};
using LocalSd = std::unique_ptr<void, LocalDeleter>;

LocalSd ParseSddl(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr))
    return nullptr;
  return LocalSd(sd);
}

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!sid || !::ConvertSidToStringSidW(sid, &text)) return {};
  std::wstring out = text;
  ::LocalFree(text);
  return out;
}

std::wstring ProcessUser() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  BYTE buf[512];
  DWORD size = 0;
  std::wstring out;
  if (::GetTokenInformation(token, TokenUser, buf, sizeof buf, &size))
    out = SidText(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid);
  ::CloseHandle(token);
  return out;
}

// Administrators, the system, the installer service, the owner as such (OWNER RIGHTS,
// once the owner is one of these) and the account running the setup.
bool TrustedSid(const std::wstring& sid) {
  static const std::wstring self = ProcessUser();
  return sid == L"S-1-5-18" || sid == L"S-1-5-32-544" || sid == kTrustedInstaller ||
         sid == L"S-1-3-4" || (!self.empty() && sid == self);
}

DWORD Expand(DWORD mask) {
  if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
  if (mask & GENERIC_WRITE) mask |= FILE_GENERIC_WRITE;
  return mask;
}

// Whether the security `sddl` (as found) lets anyone but the trusted accounts use any of
// `rights` on the object: an owner who is not trusted may give himself everything.
bool OthersMay(const std::wstring& sddl, DWORD rights) {
  LocalSd sd = ParseSddl(sddl);
  if (!sd) return true;
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  if (!::GetSecurityDescriptorOwner(sd.get(), &owner, &defaulted) || !TrustedSid(SidText(owner)))
    return true;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted)) return true;
  if (!present || !dacl) return true;  // no list: everyone may do everything
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return true;
    if (ace->AceFlags & INHERIT_ONLY_ACE) continue;
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      if (ace->AceType == ACCESS_DENIED_ACE_TYPE) continue;
      return true;  // an allowing kind this check does not read
    }
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((Expand(allowed->Mask) & rights) &&
        !TrustedSid(SidText(reinterpret_cast<PSID>(&allowed->SidStart))))
      return true;
  }
  return false;
}

std::wstring Widen(const char* text) {
  std::wstring out;
  while (*text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text++));
  return out;
}

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& o) noexcept : h_(o.h_) { o.h_ = INVALID_HANDLE_VALUE; }
  Handle& operator=(Handle&& o) noexcept {
    std::swap(h_, o.h_);
    return *this;
  }
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

constexpr DWORD kChangeAccess =
    READ_CONTROL | WRITE_DAC | WRITE_OWNER | DELETE | FILE_READ_ATTRIBUTES;
constexpr DWORD kNoFollow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// What was found at a path, opened without following a link.
struct Found {
  Handle handle;
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD attributes = INVALID_FILE_ATTRIBUTES;  // by name, before the open
  bool link() const { return IsLink(attributes) || IsLink(info.dwFileAttributes); }
  bool folder() const { return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// A level is held without FILE_SHARE_DELETE, which keeps it in its place while it is
// open, and without DELETE access, which would keep others from listing it.
constexpr DWORD kLevelShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kFileShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD Open(const std::wstring& path, DWORD share, Found* out) {
  out->attributes = ::GetFileAttributesW(path.c_str());
  if (out->attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError();
  const DWORD access = share == kLevelShare ? kChangeAccess & ~DELETE : kChangeAccess;
  out->handle = Handle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                     kNoFollow, nullptr));
  if (!out->handle.valid()) return ::GetLastError();
  if (!::GetFileInformationByHandle(out->handle.get(), &out->info)) return ::GetLastError();
  return ERROR_SUCCESS;
}

class Preparation {
 public:
  Preparation(SecurityIo& io, Report* report) : io_(io), report_(report) {}

  // Opens (or makes) the level `path` and holds it; `anchored` says whether the levels
  // above it were, as found, beyond others' reach. Sets *trusted to whether this one was
  // too, before its owner and list are set.
  Outcome Level(const std::wstring& path, const std::wstring& sddl, bool anchored,
                bool* trusted) {
    Found f;
    DWORD err = Open(path, kLevelShare, &f);
    bool made = false;
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
      LocalSd sd = ParseSddl(sddl);
      SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
      if (!sd) return Fail(Outcome::kFailed, L"cannot build the list for " + path, 0);
      // Made here, it is trusted; made by someone else meanwhile, it is judged as found.
      made = ::CreateDirectoryW(path.c_str(), &sa) != FALSE;
      if (!made && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return Fail(Outcome::kFailed, L"cannot create the folder " + path, ::GetLastError());
      err = Open(path, kLevelShare, &f);
    }
    if (err == ERROR_SUCCESS && (f.link() || !f.folder()))
      return Fail(Outcome::kLink, path + L" is a link or not a folder", 0);
    if (err != ERROR_SUCCESS) return Fail(Outcome::kFailed, L"cannot open the folder " + path, err);
    std::wstring found;
    *trusted = anchored && (made || (io_.Read(f.handle.get(), &found) &&
                                     !OthersMay(found, kReplaceRights)));
    if (!io_.Write(f.handle.get(), sddl))
      return Fail(Outcome::kFailed, L"cannot set the owner and rights of " + path, ::GetLastError());
    report_->secured.push_back(path);
    held_.push_back(std::move(f.handle));
    return Outcome::kDone;
  }

  // A file whose content is acted on: kept (with owner and list set) only when the level
  // it is in was trusted and nobody else could have written it; otherwise set aside.
  Outcome Content(const std::wstring& folder, const wchar_t* name, bool levelTrusted,
                  const std::wstring& sddl) {
    const std::wstring path = folder + L"\\" + name;
    Found f;
    const DWORD err = Open(path, kFileShare, &f);
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return Outcome::kDone;
    if (err != ERROR_SUCCESS) return Fail(Outcome::kInUse, L"cannot open " + path, err);
    std::wstring found;
    const bool keep = levelTrusted && !f.link() && !f.folder() && f.info.nNumberOfLinks == 1 &&
                      io_.Read(f.handle.get(), &found) && !OthersMay(found, kWriteRights);
    return keep ? Secure(f, path, sddl) : SetAside(f, folder, name);
  }

  // A journal: its lines stay whoever wrote them; the file gets the owner and list. A
  // link or a file with a second name is set aside. A missing one is made when `make`.
  Outcome Journal(const std::wstring& folder, const std::wstring& name,
                  const std::wstring& sddl, bool make) {
    const std::wstring path = folder + L"\\" + name;
    Found f;
    DWORD err = Open(path, kFileShare, &f);
    if (err == ERROR_SUCCESS && (f.link() || f.info.nNumberOfLinks != 1)) {
      if (Outcome o = SetAside(f, folder, name.c_str()); o != Outcome::kDone) return o;
      f = Found();
      err = ERROR_FILE_NOT_FOUND;
    }
    if ((err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) && make) {
      LocalSd sd = ParseSddl(sddl);
      SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
      HANDLE made = ::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, sd ? &sa : nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (made == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
        return Fail(Outcome::kFailed, L"cannot create " + path, ::GetLastError());
      if (made != INVALID_HANDLE_VALUE) ::CloseHandle(made);
      err = Open(path, kFileShare, &f);
      if (err == ERROR_SUCCESS && (f.link() || f.info.nNumberOfLinks != 1))
        return Fail(Outcome::kFailed, path + L" changed while it was made", 0);
    }
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return Outcome::kDone;
    if (err != ERROR_SUCCESS) return Fail(Outcome::kInUse, L"cannot open " + path, err);
    if (f.folder()) return Outcome::kDone;
    return Secure(f, path, sddl);
  }

  // Every entry of a journal folder but its subfolders.
  Outcome Journals(const std::wstring& folder, const std::wstring& sddl) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW d;
    HANDLE find = ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &d,
                                     FindExSearchNameMatch, nullptr, 0);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring n = d.cFileName;
        if (n == L"." || n == L"..") continue;
        const DWORD a = d.dwFileAttributes;
        if ((a & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(a)) continue;
        names.push_back(n);
      } while (::FindNextFileW(find, &d));
      ::FindClose(find);
    }
    for (const std::wstring& n : names)
      if (Outcome o = Journal(folder, n, sddl, false); o != Outcome::kDone) return o;
    return Outcome::kDone;
  }

 private:
  Outcome Secure(Found& f, const std::wstring& path, const std::wstring& sddl) {
    if (!io_.Write(f.handle.get(), sddl))
      return Fail(Outcome::kFailed, L"cannot set the owner and rights of " + path, ::GetLastError());
    report_->secured.push_back(path);
    return Outcome::kDone;
  }

  // Renames what was opened to a free "<name>.untrusted[-N]" beside it; its security
  // is not touched (a second name would carry the change to another folder).
  Outcome SetAside(Found& f, const std::wstring& folder, const wchar_t* name) {
    const std::wstring from = folder + L"\\" + name;
    for (int n = 1; n < 100; ++n) {
      std::wstring to = from + L".untrusted";
      if (n > 1) to += L"-" + std::to_wstring(n);
      std::vector<BYTE> buf(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
      auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
      info->ReplaceIfExists = FALSE;
      info->RootDirectory = nullptr;
      info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
      memcpy(info->FileName, to.c_str(), info->FileNameLength);
      if (::SetFileInformationByHandle(f.handle.get(), FileRenameInfo, info,
                                       static_cast<DWORD>(buf.size()))) {
        report_->setAside.emplace_back(from, to);
        return Outcome::kDone;
      }
      const DWORD err = ::GetLastError();
      if (err != ERROR_ALREADY_EXISTS && err != ERROR_FILE_EXISTS)
        return Fail(Outcome::kInUse, L"cannot rename " + from + L" aside", err);
    }
    return Fail(Outcome::kInUse, L"no free name to rename " + from + L" aside", 0);
  }

  Outcome Fail(Outcome o, const std::wstring& what, DWORD err) {
    report_->problem = what;
    if (err) report_->problem += L" (error " + std::to_wstring(err) + L")";
    return o;
  }

  SecurityIo& io_;
  Report* report_;
  std::vector<Handle> held_;
};

}  // namespace

bool SystemSecurityIo::Read(HANDLE object, std::wstring* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetSecurityInfo(object, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &sd) != ERROR_SUCCESS)
    return false;
  LocalSd hold(sd);
  wchar_t* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
          nullptr))
    return false;
  *sddl = text;
  ::LocalFree(text);
  return true;
}

bool SystemSecurityIo::Write(HANDLE object, const std::wstring& sddl) {
  LocalSd sd = ParseSddl(sddl);
  // The descriptor's own control bits carry the list's protection; the kernel call does
  // not walk the folder's content, as SetSecurityInfo would (following links below).
  return sd && ::SetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION |
                                                     DACL_SECURITY_INFORMATION,
                                         sd.get());
}

std::wstring StoreFolderSecurity() { return L"O:BA" + Widen(tvdev::store::HomeSecurity()); }
std::wstring JournalFolderSecurity() { return std::wstring(L"O:BA") + kJournalFolderList; }
std::wstring JournalFileSecurity() { return std::wstring(L"O:BA") + kJournalFileList; }

std::wstring FileSecurityIn(const std::wstring& folderSddl) {
  LocalSd folder = ParseSddl(folderSddl);
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!folder || !::GetSecurityDescriptorDacl(folder.get(), &present, &dacl, &defaulted) ||
      !present || !dacl)
    return {};
  std::vector<BYTE> buf(dacl->AclSize);
  auto* acl = reinterpret_cast<PACL>(buf.data());
  if (!::InitializeAcl(acl, static_cast<DWORD>(buf.size()), ACL_REVISION)) return {};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
        ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
      return {};
    if (!(ace->AceFlags & OBJECT_INHERIT_ACE)) continue;
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (!::AddAccessAllowedAceEx(acl, ACL_REVISION, INHERITED_ACE, allowed->Mask,
                                 reinterpret_cast<PSID>(&allowed->SidStart)))
      return {};
  }
  SECURITY_DESCRIPTOR sd;
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  if (!::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
      !::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) ||
      !::SetSecurityDescriptorOwner(&sd, admins, FALSE) ||
      !::SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) ||
      !::SetSecurityDescriptorControl(&sd, SE_DACL_AUTO_INHERITED, SE_DACL_AUTO_INHERITED))
    return {};
  wchar_t* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          &sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
          nullptr))
    return {};
  std::wstring out = text;
  ::LocalFree(text);
  return out;
}

Outcome Prepare(const std::wstring& root, SecurityIo& io, Report* report) {
  Preparation p(io, report);
  const std::wstring store = StoreFolderSecurity();
  const std::wstring journals = JournalFolderSecurity();
  const std::wstring norvane = root + L"\\Norvane", home = norvane + L"\\TARVO-Pro";
  bool norvaneTrusted = false, homeTrusted = false;
  if (Outcome o = p.Level(norvane, store, true, &norvaneTrusted); o != Outcome::kDone) return o;
  if (Outcome o = p.Level(home, store, norvaneTrusted, &homeTrusted); o != Outcome::kDone)
    return o;
  const std::wstring storeFile = FileSecurityIn(store);
  for (const wchar_t* name : kTrustedContent)
    if (Outcome o = p.Content(home, name, homeTrusted, storeFile); o != Outcome::kDone) return o;
  if (Outcome o = p.Journal(home, kMediaJournal, JournalFileSecurity(), true);
      o != Outcome::kDone)
    return o;
  const std::wstring journalFile = FileSecurityIn(journals);
  for (const auto& j : kJournalFolders) {
    const std::wstring folder = home + L"\\" + j.folder;
    bool trusted = false;
    if (Outcome o = p.Level(folder, journals, homeTrusted, &trusted); o != Outcome::kDone) return o;
    if (Outcome o = p.Journal(folder, j.journal, journalFile, true); o != Outcome::kDone) return o;
    if (Outcome o = p.Journals(folder, journalFile); o != Outcome::kDone) return o;
  }
  return Outcome::kDone;
}

bool EnablePrivileges() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return false;
  bool all = true;
  for (const wchar_t* name :
       {L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege", L"SeBackupPrivilege"}) {
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid) ||
        !::AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr) ||
        ::GetLastError() == ERROR_NOT_ALL_ASSIGNED)
      all = false;
  }
  ::CloseHandle(token);
  return all;
}

}  // namespace vxsetup
