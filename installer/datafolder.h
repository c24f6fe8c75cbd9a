// The setup's preparation of the suite's data folder (%ProgramData%\Norvane\TARVO-Pro):
// the key store, the settings, the guard's policy and the logs. Ordinary users may
// create folders under ProgramData and own what they create, so the setup never takes
// a level or a file it finds on trust:
//   - Norvane and TARVO-Pro get Administrators as owner and the key tool's protected
//     list (users read), the log folders Log, Guard and LogService Administrators as
//     owner and a protected list in which users may only add files and append to them;
//     a missing level is created with its list.
//   - A level that is a link (junction, symbolic link, mount point) or not a folder
//     stops the preparation before anything is written through it.
//   - A file whose content the suite trusts (the store, the machine secret, the
//     settings, the guard's policy) is kept only when nobody but administrators could
//     have written it: its owner, its list and those of the levels above it as found,
//     one name for the file, no link. Any other is renamed aside ("<name>.untrusted")
//     and the setup makes a new one.
//   - Journals keep their lines; they get Administrators as owner and the append-only
//     list. A journal that is a link or has a second name is renamed aside as well.
// Each level and each kept file is opened without following links and changed through
// that handle.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vxsetup {

// Reads and writes an object's owner and DACL as SDDL ("O:<sid>D:<dacl>"). The setup
// uses the system's; the tests supply one that keeps what was set, as Wine does not.
class SecurityIo {
 public:
  virtual ~SecurityIo() = default;
  virtual bool Read(HANDLE object, std::wstring* sddl) = 0;
  // Sets owner and DACL, the DACL's protection as the SDDL says; no propagation.
  virtual bool Write(HANDLE object, const std::wstring& sddl) = 0;
};

class SystemSecurityIo final : public SecurityIo {
 public:
  bool Read(HANDLE object, std::wstring* sddl) override;
  bool Write(HANDLE object, const std::wstring& sddl) override;
};

// The lists the setup sets. Folder lists are protected; a file gets its folder's
// inheritable entries as inherited ones, as a file created there would.
std::wstring StoreFolderSecurity();    // Norvane, TARVO-Pro: the key tool's list
std::wstring JournalFolderSecurity();  // Log, Guard, LogService
std::wstring JournalFileSecurity();    // mediahook.log beside the store
// `folderSddl`'s entries that files inherit, as a file's inherited DACL, with owner
// Administrators.
std::wstring FileSecurityIn(const std::wstring& folderSddl);

enum class Outcome {
  kDone = 0,
  kLink = 2,        // a level is a link or not a folder: nothing was written through it
  kInUse = 3,       // a file to be renamed aside could not be (another process holds it)
  kFailed = 4,      // a level could not be made, opened or secured
};

struct Report {
  std::vector<std::wstring> secured;               // levels and files, owner and list set
  std::vector<std::pair<std::wstring, std::wstring>> setAside;  // from, to
  std::wstring problem;                            // what stopped the preparation
};

// Prepares `root`\Norvane\TARVO-Pro (`root`: the common application-data folder).
Outcome Prepare(const std::wstring& root, SecurityIo& io, Report* report);

// Enables the privileges an administrator needs to take over what others own
// (take ownership, restore, backup). False when the token lacks them.
bool EnablePrivileges();

}  // namespace vxsetup
