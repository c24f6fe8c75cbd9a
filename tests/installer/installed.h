// What both packages of velvox (velvox-setup.exe, velvox.msi) must leave on a machine,
// checked the same way for each: installer_test.cpp and msi_test.cpp run the package,
// these helpers check what it did.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace vxinst {

extern const char kUninstallKey[];
extern const char kAppPathKey[];
extern const char kGuardKey[];
extern const char kMailAddOnKey[];
extern const char kRunKey[];
extern const char kWriterClsidKey[];
extern const char kShellClsidKey[];
extern const char kFileVerb[];
extern const char kFolderVerb[];

std::string Folder(int csidl);
std::string InstallDir();
std::string DataDir();
std::string MenuDir();
std::string Velvox();
bool Exists(const std::string& path);
bool KeyExists(HKEY root, const std::string& key);
std::string RegText(HKEY root, const std::string& key, const char* value);  // or "<missing>"
DWORD RegNumber(HKEY root, const std::string& key, const char* value);
std::string IniText(const std::string& file, const char* section, const char* key);
std::string ReadAll(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);
std::string VersionString(const std::string& file, const char* name);
struct ShortcutInfo {
  std::string target, arguments;
};
ShortcutInfo ReadShortcut(const std::string& lnk);
std::string Upper(std::string s);
std::string OwnerOf(const std::string& path);
void RemoveMovedAside();
// The first name beside the data folder's Norvane that nothing was moved aside to.
std::string NextAside();

// A package run: its exit code.
using Run = std::function<DWORD()>;

// Every program file in the program folder (the packages' own uninstaller aside).
void ExpectProgramFiles();
// Every registration, the data folder with the store, its journal folders and default
// settings, and the Start-menu entry of the key tool's help in `menu`.
void ExpectRegistrations(const std::string& menu);
// The Explorer entries reach velvox: a selection dropped on the verb's drop target and
// the folder entry's command line its save-as dialog, an .xss file's "open" the key
// dialog with the archive's key.
void ExpectFileEntryReachesSaveAs();
void ExpectFolderEntryReachesSaveAs();
void ExpectXssReachesKeyDialog();
// A second run of the package (repair, re-install, upgrade) over the first keeps what
// the administrator set where it can prove the first made the data folder; `install`
// runs it.
void ExpectSecondInstallKeepsStoreAndSettings(const Run& install);
// A data folder that a user made first is moved aside whole and replaced by `install`.
void ExpectUserDataFolderMovedAside(const Run& install);
// After `uninstall`: no registration is left (the registry mentions us where it did
// `before` the first install and nowhere else), the store and the settings stay.
void ExpectUninstallKeepsOnlyTheData(const Run& uninstall,
                                     const std::vector<std::string>& before);
// Every key and value where a package registers (HKLM: the vendor's key, Windows'
// CurrentVersion, Windows Installer's, the shell's entries, the class and service names)
// whose name or text names velvox, the suite, its vendor or one of our class and key
// identifiers: what the machine had before the package, to compare with after its
// uninstall.
std::vector<std::string> RegistryMentionsOfUs();

// A guard key that another product made is neither rewritten by `install` nor removed by
// `uninstall` (run with the package installed; leaves it installed).
void ExpectGuardKeyOfAnotherProductLeftToIt(const Run& install, const Run& uninstall);

}  // namespace vxinst
