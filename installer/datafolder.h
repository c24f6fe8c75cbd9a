// The setup's preparation of the suite's data folder (%ProgramData%\Norvane\TARVO-Pro):
// the key store, the settings, the guard's policy and the logs. Ordinary users may
// create folders under ProgramData and own what they create, and a handle opened on a
// folder or file keeps the rights it was opened with after its owner and list change.
// So the setup adopts nothing it cannot prove administrators made for it; after the
// preparation everything in the data folder was made by the setup or moved aside:
//   - A level (Norvane, TARVO-Pro, Log, Guard, LogService, SetWriter, and every folder
//     found below TARVO-Pro) is kept only when its owner is SYSTEM, Administrators or
//     TrustedInstaller and its list gives nobody else more, on the folder or on what is
//     made in it, than the setup's own list for it. Any other is moved aside whole
//     ("<name>.untrusted-<n>", content kept for a look) and made anew, empty, with its
//     list; a kept one gets its owner and list again.
//   - A link (junction, symbolic link, mount point) at a level's name or below a kept
//     level stops the preparation before anything is written through it. A link inside
//     a level that is moved aside goes with it, unfollowed.
//   - A file in a store level is kept only when nobody but administrators could have
//     written it: its owner and list, one name, no link. Any other is renamed aside
//     ("<name>.untrusted[-<n>]") and the setup makes a new store and settings.
//   - Journals exist from the setup on, so that no user makes one with a list of his
//     own. They keep their lines and get Administrators as owner and the append-only
//     list; one that has a second name or lets anyone (its owner included) do more than
//     append is renamed aside and a new one made.
// Each level and each kept file is opened without following links and changed through
// that handle; a level is held without delete sharing until the preparation ends.
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
  kLink = 2,        // a link, or a level that is no folder: nothing was written through it
  kInUse = 3,       // what is to be moved aside could not be (another process holds it)
  kFailed = 4,      // a level could not be made, opened or secured
};

struct Report {
  std::vector<std::wstring> secured;               // levels and files, owner and list set
  std::vector<std::pair<std::wstring, std::wstring>> setAside;  // from, to
  std::wstring problem;                            // what stopped the preparation
};

// Prepares `root`\Norvane\TARVO-Pro (`root`: the common application-data folder).
Outcome Prepare(const std::wstring& root, SecurityIo& io, Report* report);

// Writes the default settings (installer/contents.txt) that are missing in the prepared
// data folder `data`; a key already there stays as it is, so that an upgrade or repair
// keeps what an administrator set. The media filter's settings file is written only when
// `mediaFile`, the file that the filter's "Media" value names, is ours in `data` (an
// installed filter owns its own). False when a file cannot be written.
bool WriteMissingSettings(const std::wstring& data, const std::wstring& mediaFile);

// Enables the privileges an administrator needs to take over what others own
// (take ownership, restore, backup). False when the token lacks them.
bool EnablePrivileges();

}  // namespace vxsetup
