// Files, folders and registry keys that tests make and clean up.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace vxtest {

// Deletes `path` and everything below it; a missing path is no error, one that stays
// fails the test.
void RemoveTree(const std::string& path);

// Files by their real names, which the code page may not spell: UTF-16 throughout.
// A new or emptied file holding `data`; a failure fails the test.
void PutFile(const std::wstring& path, const std::string& data);
// Relative path -> content of everything below `root`: "<dir>" for a folder, "<link>"
// for a folder link, which is not followed.
std::map<std::wstring, std::string> TreeOf(const std::wstring& root);

// A link to a folder, as a junction is on Windows: the system reports it as a reparse
// point. Made for a test; the link alone (never what it points to) is removed when the
// object goes.
class FolderLink {
 public:
  // Makes `link` (which must not exist) point at the existing folder `target`.
  FolderLink(const std::string& link, const std::string& target);
  ~FolderLink();
  FolderLink(const FolderLink&) = delete;
  FolderLink& operator=(const FolderLink&) = delete;
  // Empty when the link was made; otherwise what failed.
  const std::string& error() const { return error_; }

 private:
  std::string link_;
  std::string error_;
  bool host_ = false;  // made by the host's ln (Wine)
};

// Files that the real components a test runs may create or change (a settings file,
// the suite's journals): each is put back as it was when the object was made, or
// removed when it did not exist then.
class FilesPutBack {
 public:
  explicit FilesPutBack(const std::vector<std::string>& paths);
  ~FilesPutBack();
  FilesPutBack(const FilesPutBack&) = delete;
  FilesPutBack& operator=(const FilesPutBack&) = delete;

 private:
  struct Saved {
    std::string path;
    bool existed;
    std::string content;
  };
  std::vector<Saved> saved_;
};

// Where the file dialogs remember, for each program, the folder it last saved in: a test
// that accepts a save-as dialog leaves a folder there that it removes afterwards.
inline constexpr char kSaveAsHistoryKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32\\LastVisitedMRU";

// A registry key that a test or the programs it runs may create, change or delete (a
// setting of the suite, Wine's settings for one program, what the common dialogs
// remember): the key with all its values and subkeys is put back as it was when the
// object was made, or removed when it did not exist then.
class RegistryPutBack {
 public:
  RegistryPutBack(HKEY root, const std::string& subkey);
  ~RegistryPutBack();
  RegistryPutBack(const RegistryPutBack&) = delete;
  RegistryPutBack& operator=(const RegistryPutBack&) = delete;
  struct Tree;

 private:
  HKEY root_;
  std::wstring subkey_;
  // Owned; null when the key did not exist. No <memory> here: process.h includes this
  // header, and the system's pthread.h, inside the standard headers, finds that one.
  Tree* saved_ = nullptr;
};

}  // namespace vxtest
