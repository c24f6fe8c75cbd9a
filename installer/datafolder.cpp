#include "datafolder.h"

#include <aclapi.h>
#include <sddl.h>

#include <initializer_list>
#include <memory>

#include "keystore.h"
#include "settings_defaults.h"

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

const wchar_t kMediaJournal[] = L"mediahook.log";
// Each journal folder and the journal the suite writes there. Both exist from the setup
// on: in a journal folder users may add files, and one who made a missing journal
// himself could give it a list of his own that lets him read what others append.
const struct {
  const wchar_t* folder;
  const wchar_t* journal;
} kJournalFolders[] = {
    {L"Log", L"tarvolog.dat"}, {L"Guard", L"kvrgrd.log"}, {L"LogService", L"tctrace.log"}};
// Levels the setup makes with the store's list although nothing of it needs them yet: the
// settings writer keeps its journal there and would otherwise make it itself.
const wchar_t* const kStoreLevels[] = {L"SetWriter"};

const wchar_t kSystem[] = L"S-1-5-18";
const wchar_t kAdministrators[] = L"S-1-5-32-544";
const wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const wchar_t kOwnerRights[] = L"S-1-3-4";

// Rights that let someone replace or rename a level's entries, or the level itself.
constexpr DWORD kReplaceRights = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
// Rights that let someone change a file's content.
constexpr DWORD kWriteRights = kReplaceRights | FILE_WRITE_DATA | FILE_APPEND_DATA;
// What a journal's list gives users: add lines, nothing else.
constexpr DWORD kAppendOnly = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

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

// Only these may own or change what the setup keeps. The account that runs the setup is
// not one of them: that user's unelevated processes make files owned by the same account.
bool TrustedAccount(const std::wstring& sid) {
  return sid == kSystem || sid == kAdministrators || sid == kTrustedInstaller;
}

DWORD Expand(DWORD mask) {
  if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
  if (mask & GENERIC_WRITE) mask |= FILE_GENERIC_WRITE;
  if (mask & GENERIC_READ) mask |= FILE_GENERIC_READ;
  if (mask & GENERIC_EXECUTE) mask |= FILE_GENERIC_EXECUTE;
  return mask & ~(GENERIC_ALL | GENERIC_WRITE | GENERIC_READ | GENERIC_EXECUTE);
}

// A security descriptor read as its owner and the entries of its list.
struct Security {
  struct Entry {
    BYTE type;
    BYTE flags;
    DWORD mask;  // generic rights expanded
    std::wstring sid;
  };
  std::wstring owner;
  std::vector<Entry> entries;

  // False when the text does not parse or there is no list (everyone may do everything).
  bool Parse(const std::wstring& sddl) {
    LocalSd sd = ParseSddl(sddl);
    if (!sd) return false;
    PSID ownerSid = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    if (!::GetSecurityDescriptorOwner(sd.get(), &ownerSid, &defaulted) ||
        !::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !present || !dacl)
      return false;
    owner = SidText(ownerSid);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      ACE_HEADER* ace = nullptr;
      if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return false;
      Entry e{ace->AceType, ace->AceFlags, 0, {}};
      if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE || ace->AceType == ACCESS_DENIED_ACE_TYPE) {
        auto* known = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        e.mask = Expand(known->Mask);
        e.sid = SidText(reinterpret_cast<PSID>(&known->SidStart));
      }
      entries.push_back(std::move(e));
    }
    return true;
  }
};

// Where an entry's rights apply: the object itself, files made in it, folders made in it.
enum Scope { kSelf, kFiles, kFolders };
bool Applies(BYTE flags, Scope scope) {
  switch (scope) {
    case kSelf: return !(flags & INHERIT_ONLY_ACE);
    case kFiles: return (flags & OBJECT_INHERIT_ACE) != 0;
    case kFolders: return (flags & CONTAINER_INHERIT_ACE) != 0;
  }
  return false;
}

DWORD Granted(const Security& s, const std::wstring& sid, Scope scope) {
  DWORD mask = 0;
  for (const auto& e : s.entries)
    if (e.type == ACCESS_ALLOWED_ACE_TYPE && e.sid == sid && Applies(e.flags, scope))
      mask |= e.mask;
  return mask;
}

// Whether a folder found with `found` can only have been made and kept by administrators
// for the setup's use: owned by a trusted account, and its list gives nobody else more,
// on the folder or on anything made in it later, than the setup's own list `ours` does.
// Anything less (a user's explicit entry, an entry only for what is made inside, CREATOR
// OWNER, an entry of a kind this check does not read) and the folder is not the setup's.
bool MadeForUs(const std::wstring& found, const std::wstring& ours) {
  Security f, o;
  if (!f.Parse(found) || !o.Parse(ours) || !TrustedAccount(f.owner)) return false;
  for (const auto& e : f.entries) {
    if (e.type == ACCESS_DENIED_ACE_TYPE) continue;
    if (e.type != ACCESS_ALLOWED_ACE_TYPE) return false;
    if (TrustedAccount(e.sid)) continue;
    for (Scope scope : {kSelf, kFiles, kFolders})
      if (Applies(e.flags, scope) && (e.mask & ~Granted(o, e.sid, scope))) return false;
  }
  return true;
}

// Whether anyone but the trusted accounts may use any of `rights` on a file found with
// `found`: an owner who is not trusted may give himself everything.
bool OthersMay(const std::wstring& found, DWORD rights) {
  Security f;
  if (!f.Parse(found) || !TrustedAccount(f.owner)) return true;
  for (const auto& e : f.entries) {
    if (e.flags & INHERIT_ONLY_ACE || e.type == ACCESS_DENIED_ACE_TYPE) continue;
    if (e.type != ACCESS_ALLOWED_ACE_TYPE) return true;
    // OWNER RIGHTS is the owner, a trusted account here.
    if ((e.mask & rights) && !TrustedAccount(e.sid) && e.sid != kOwnerRights) return true;
  }
  return false;
}

// Whether a journal found with `found` lets nobody but the trusted accounts do more than
// append to it, its owner included: a user who made it with a list of his own, or who
// owns it without an OWNER RIGHTS entry (and so may rewrite its list), may hold a handle
// from before that reads what others append.
bool AppendOnlyForOthers(const std::wstring& found) {
  Security f;
  if (!f.Parse(found)) return false;
  const bool ownerTrusted = TrustedAccount(f.owner);
  bool ownerRights = false;
  for (const auto& e : f.entries) {
    if (e.flags & INHERIT_ONLY_ACE || e.type == ACCESS_DENIED_ACE_TYPE) continue;
    if (e.type != ACCESS_ALLOWED_ACE_TYPE) return false;
    if (e.sid == kOwnerRights) {
      ownerRights = true;
      if (!ownerTrusted && (e.mask & ~kAppendOnly)) return false;
      continue;
    }
    if (!TrustedAccount(e.sid) && (e.mask & ~kAppendOnly)) return false;
  }
  // Without an OWNER RIGHTS entry an owner may read and rewrite the list whatever it says.
  return ownerTrusted || ownerRights;
}

std::wstring Widen(const char* text) {
  std::wstring out;
  while (*text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text++));
  return out;
}

bool SameName(const std::wstring& a, const wchar_t* b) {
  return ::CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

// "<name>.untrusted" or "<name>.untrusted-<n>": what a setup set aside before. Only
// administrators can add entries to a level that is kept, so one found there is ours.
bool SetAsideBefore(const std::wstring& name) {
  const std::wstring mark = L".untrusted";
  size_t at = name.rfind(mark);
  if (at == std::wstring::npos || at == 0) return false;
  size_t rest = at + mark.size();
  if (rest == name.size()) return true;
  if (name[rest] != L'-' || rest + 1 == name.size()) return false;
  for (size_t i = rest + 1; i < name.size(); ++i)
    if (name[i] < L'0' || name[i] > L'9') return false;
  return true;
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
// A level is also listed through the handle that holds it: a listing by name would need
// to share what the holding handle keeps to itself.
constexpr DWORD kLevelAccess = kChangeAccess | FILE_LIST_DIRECTORY | SYNCHRONIZE;
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

// A level is held without FILE_SHARE_DELETE, which keeps it in its place (and so every
// path below it) while the preparation runs.
constexpr DWORD kLevelShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kFileShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD Open(const std::wstring& path, DWORD share, Found* out) {
  out->attributes = ::GetFileAttributesW(path.c_str());
  if (out->attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError();
  const DWORD access = share == kLevelShare && !IsLink(out->attributes) &&
                               (out->attributes & FILE_ATTRIBUTE_DIRECTORY)
                           ? kLevelAccess
                           : kChangeAccess;
  out->handle = Handle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                     kNoFollow, nullptr));
  if (!out->handle.valid()) return ::GetLastError();
  if (!::GetFileInformationByHandle(out->handle.get(), &out->info)) return ::GetLastError();
  return ERROR_SUCCESS;
}

bool Missing(DWORD err) { return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND; }

struct Listed {
  std::wstring name;
  DWORD attributes;
};

// The entries of the folder open as `folder`.
bool List(HANDLE folder, std::vector<Listed>* out) {
  std::vector<BYTE> buf(64 * 1024);
  FILE_INFO_BY_HANDLE_CLASS cls = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!::GetFileInformationByHandleEx(folder, cls, buf.data(), static_cast<DWORD>(buf.size())))
      return ::GetLastError() == ERROR_NO_MORE_FILES;
    cls = FileIdBothDirectoryInfo;
    for (size_t at = 0;;) {
      auto* d = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(buf.data() + at);
      std::wstring name(d->FileName, d->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") out->push_back({std::move(name), d->FileAttributes});
      if (!d->NextEntryOffset) break;
      at += d->NextEntryOffset;
    }
  }
}

class Preparation {
 public:
  Preparation(SecurityIo& io, Report* report) : io_(io), report_(report) {}

  // The level `path`: kept when administrators made it for the setup (its owner and list
  // say so, and it is no link), otherwise moved aside whole with all it holds and made
  // anew, empty, with `sddl`. A handle someone opened on a level before the setup keeps
  // the rights it was opened with whatever list the level gets afterwards; a new level
  // is one that no such handle reaches. *fresh: made here.
  Outcome Level(const std::wstring& path, const std::wstring& sddl, bool* fresh,
                HANDLE* held = nullptr) {
    // A folder that someone makes again between the move and the new one is judged and
    // moved again; a few rounds and the setup gives up.
    for (int round = 0; round < 8; ++round) {
      Found f;
      DWORD err = Open(path, kLevelShare, &f);
      if (Missing(err)) {
        LocalSd sd = ParseSddl(sddl);
        if (!sd) return Fail(Outcome::kFailed, L"cannot build the list for " + path, 0);
        SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
        if (!::CreateDirectoryW(path.c_str(), &sa)) {
          if (::GetLastError() == ERROR_ALREADY_EXISTS) continue;
          return Fail(Outcome::kFailed, L"cannot create the folder " + path, ::GetLastError());
        }
        err = Open(path, kLevelShare, &f);
        if (err == ERROR_SUCCESS && (f.link() || !f.folder()))
          return Fail(Outcome::kFailed, path + L" changed while it was made", 0);
        if (err != ERROR_SUCCESS)
          return Fail(Outcome::kFailed, L"cannot open the folder " + path, err);
        *fresh = true;
        return Keep(f, path, sddl, held);
      }
      if (err == ERROR_SUCCESS && (f.link() || !f.folder()))
        return Fail(Outcome::kLink, path + L" is a link or not a folder", 0);
      if (err == ERROR_SHARING_VIOLATION)
        return Fail(Outcome::kInUse, L"another program holds " + path, err);
      if (err != ERROR_SUCCESS) return Fail(Outcome::kFailed, L"cannot open the folder " + path, err);
      std::wstring found;
      if (io_.Read(f.handle.get(), &found) && MadeForUs(found, sddl)) {
        *fresh = false;
        return Keep(f, path, sddl, held);
      }
      if (Outcome o = MoveAside(f, path, true); o != Outcome::kDone) return o;
    }
    return Fail(Outcome::kFailed, path + L" was made again each time it was moved aside", 0);
  }

  // Everything in the kept level `folder` (held as `held`) but the names in `skip`, which
  // the caller takes care of: a folder is a level of the same kind, a file is kept only
  // when administrators alone could have written it. `journals`: the level is a journal
  // folder, where every file is a journal.
  Outcome Below(const std::wstring& folder, HANDLE held, const std::wstring& levelSddl,
                bool journals, std::initializer_list<const wchar_t*> skip = {}) {
    std::vector<Listed> entries;
    if (!List(held, &entries)) return Fail(Outcome::kFailed, L"cannot list " + folder, ::GetLastError());
    const std::wstring fileSddl = FileSecurityIn(levelSddl);
    for (const Listed& e : entries) {
      bool skipped = SetAsideBefore(e.name);
      for (const wchar_t* s : skip) skipped = skipped || SameName(e.name, s);
      if (skipped) continue;
      const std::wstring path = folder + L"\\" + e.name;
      Outcome o;
      // A link (junction, symbolic link, mount point) only administrators could have made
      // here; the setup neither follows it nor renames it (a rename through a handle
      // that the system opened on its target would move the target), it stops.
      if (IsLink(e.attributes)) return Fail(Outcome::kLink, path + L" is a link", 0);
      if (e.attributes & FILE_ATTRIBUTE_DIRECTORY) {
        bool fresh = false;
        HANDLE level = nullptr;
        o = Level(path, levelSddl, &fresh, &level);
        if (o == Outcome::kDone && !fresh) o = Below(path, level, levelSddl, journals);
      } else {
        o = journals ? Journal(folder, e.name, fileSddl, false) : Content(folder, e.name, fileSddl);
      }
      if (o != Outcome::kDone) return o;
    }
    return Outcome::kDone;
  }

  // A file whose content is acted on: kept (with owner and list set) only when nobody
  // but administrators could have written it; otherwise set aside.
  Outcome Content(const std::wstring& folder, const std::wstring& name, const std::wstring& sddl) {
    const std::wstring path = folder + L"\\" + name;
    Found f;
    const DWORD err = Open(path, kFileShare, &f);
    if (Missing(err)) return Outcome::kDone;
    if (err != ERROR_SUCCESS) return Fail(Outcome::kInUse, L"cannot open " + path, err);
    if (f.link()) return Fail(Outcome::kLink, path + L" is a link", 0);
    std::wstring found;
    const bool keep = !f.folder() && f.info.nNumberOfLinks == 1 &&
                      io_.Read(f.handle.get(), &found) && !OthersMay(found, kWriteRights);
    return keep ? Secure(f, path, sddl) : MoveAside(f, path, false);
  }

  // A journal: its lines stay whoever wrote them; the file gets the owner and list. One
  // that has a second name or lets someone do more than append is set aside (its lines
  // with it); one that is a link stops the preparation. A missing one is made when `make`.
  Outcome Journal(const std::wstring& folder, const std::wstring& name,
                  const std::wstring& sddl, bool make) {
    const std::wstring path = folder + L"\\" + name;
    for (int round = 0; round < 8; ++round) {
      Found f;
      DWORD err = Open(path, kFileShare, &f);
      if (Missing(err)) {
        if (!make) return Outcome::kDone;
        LocalSd sd = ParseSddl(sddl);
        if (!sd) return Fail(Outcome::kFailed, L"cannot build the list for " + path, 0);
        SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
        HANDLE made = ::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (made == INVALID_HANDLE_VALUE) {
          if (::GetLastError() == ERROR_FILE_EXISTS) continue;
          return Fail(Outcome::kFailed, L"cannot create " + path, ::GetLastError());
        }
        ::CloseHandle(made);
        err = Open(path, kFileShare, &f);
        if (err == ERROR_SUCCESS && (f.link() || f.info.nNumberOfLinks != 1))
          return Fail(Outcome::kFailed, path + L" changed while it was made", 0);
        if (err != ERROR_SUCCESS) return Fail(Outcome::kFailed, L"cannot open " + path, err);
        return Secure(f, path, sddl);
      }
      if (err != ERROR_SUCCESS) return Fail(Outcome::kInUse, L"cannot open " + path, err);
      if (f.link()) return Fail(Outcome::kLink, path + L" is a link", 0);
      std::wstring found;
      if (!f.folder() && f.info.nNumberOfLinks == 1 &&
          io_.Read(f.handle.get(), &found) && AppendOnlyForOthers(found))
        return Secure(f, path, sddl);
      if (Outcome o = MoveAside(f, path, false); o != Outcome::kDone) return o;
    }
    return Fail(Outcome::kFailed, path + L" was made again each time it was set aside", 0);
  }

 private:
  Outcome Keep(Found& f, const std::wstring& path, const std::wstring& sddl, HANDLE* held) {
    if (Outcome o = Secure(f, path, sddl); o != Outcome::kDone) return o;
    if (held) *held = f.handle.get();
    held_.push_back(std::move(f.handle));
    return Outcome::kDone;
  }

  Outcome Secure(Found& f, const std::wstring& path, const std::wstring& sddl) {
    if (!io_.Write(f.handle.get(), sddl))
      return Fail(Outcome::kFailed, L"cannot set the owner and rights of " + path, ::GetLastError());
    report_->secured.push_back(path);
    return Outcome::kDone;
  }

  // Renames what was opened to a free name beside it, "<name>.untrusted[-N]" for a file,
  // "<name>.untrusted-N" for a level; its security is not touched (a file's second name
  // would carry a change to another folder). The content stays for a look.
  Outcome MoveAside(Found& f, const std::wstring& from, bool level) {
    for (int n = 1; n < 100; ++n) {
      std::wstring to = from + L".untrusted";
      if (level || n > 1) to += L"-" + std::to_wstring(n);
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
        return Fail(Outcome::kInUse, L"cannot move " + from + L" aside", err);
    }
    return Fail(Outcome::kInUse, L"no free name to move " + from + L" aside", 0);
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
  // Norvane holds the suite's other products too: only the level itself is judged here.
  bool fresh = false;
  if (Outcome o = p.Level(norvane, store, &fresh); o != Outcome::kDone) return o;
  HANDLE homeHeld = nullptr;
  if (Outcome o = p.Level(home, store, &fresh, &homeHeld); o != Outcome::kDone) return o;
  if (Outcome o = p.Journal(home, kMediaJournal, JournalFileSecurity(), true);
      o != Outcome::kDone)
    return o;
  const std::wstring journalFile = FileSecurityIn(journals);
  for (const auto& j : kJournalFolders) {
    const std::wstring folder = home + L"\\" + j.folder;
    HANDLE held = nullptr;
    bool made = false;
    if (Outcome o = p.Level(folder, journals, &made, &held); o != Outcome::kDone) return o;
    if (Outcome o = p.Journal(folder, j.journal, journalFile, true); o != Outcome::kDone) return o;
    if (Outcome o = p.Below(folder, held, journals, true, {j.journal}); o != Outcome::kDone)
      return o;
  }
  for (const wchar_t* name : kStoreLevels) {
    const std::wstring folder = home + L"\\" + name;
    HANDLE held = nullptr;
    bool made = false;
    if (Outcome o = p.Level(folder, store, &made, &held); o != Outcome::kDone) return o;
    if (Outcome o = p.Below(folder, held, store, false); o != Outcome::kDone) return o;
  }
  // The store, the machine secret, the settings, the guard's policy, the key templates
  // and whatever else is there.
  return p.Below(home, homeHeld, store, false,
                 {kMediaJournal, L"Log", L"Guard", L"LogService", L"SetWriter"});
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

bool WriteMissingSettings(const std::wstring& data, const std::wstring& mediaFile) {
  const std::wstring ours = data + L"\\" + kMediaSettingsFile;
  const bool mediaIsOurs = ::CompareStringOrdinal(mediaFile.c_str(), -1, ours.c_str(), -1,
                                                  TRUE) == CSTR_EQUAL;
  // A key that is there, empty or not, answers with its text, never with this.
  const wchar_t missing[] = L"\x1F<missing>\x1F";
  for (const SettingDefault& d : kSettingDefaults) {
    const std::wstring file = data + L"\\" + d.file;
    if (file == ours && !mediaIsOurs) continue;
    wchar_t text[32] = {};
    ::GetPrivateProfileStringW(d.section, d.key, missing, text, 32, file.c_str());
    if (std::wstring(text) != missing) continue;
    if (!::WritePrivateProfileStringW(d.section, d.key, d.value, file.c_str())) return false;
  }
  // The profile API caches writes; the files must be complete when the setup goes on.
  for (const SettingDefault& d : kSettingDefaults)
    ::WritePrivateProfileStringW(nullptr, nullptr, nullptr, (data + L"\\" + d.file).c_str());
  return true;
}

}  // namespace vxsetup
