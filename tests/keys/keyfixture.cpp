#include "keyfixture.h"

#include <gtest/gtest.h>

#include "contracts/tvxdrv.h"
#include "uidriver.h"

namespace keytest {

std::string FixtureKeys::SalesDescription() { return vxtest::Acp(u8"営業部の共有鍵"); }

FixtureStore::FixtureStore() {
  tvtest::AddKey("Alpha", KEY_ALG_AES, FixtureKeys::kAlphaValue);
  tvtest::AddKey("Plan", KEY_ALG_TRIPLE_DES, FixtureKeys::kPlanValue, false, false, "plan");
  tvtest::AddKey("SALES", KEY_ALG_AES, "salesValue", true, false, FixtureKeys::SalesDescription());
  tvtest::AddKey("DESKEY", KEY_ALG_DES, "des1", true, false, "des");
  tvtest::AddKey("Broken", KEY_ALG_AES, FixtureKeys::kBrokenValue);

  using namespace tvdev::store;
  Store s;
  EXPECT_EQ(Load(&s), LoadResult::Ok);
  for (StoredKey& k : s.keys) {
    if (k.name == "DESKEY") k.parameterFile = true;
    // The value still proves right, but the material no longer opens: a damaged template.
    if (k.name == "Broken") k.wrapped[0] ^= 0x5A;
  }
  std::string why;
  EXPECT_TRUE(Save(s, &why)) << why;
}

InstalledAddOn::InstalledAddOn() : uninstallKey_(HKEY_LOCAL_MACHINE, TVXDRV_UNINSTALL_KEY) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, TVXDRV_UNINSTALL_KEY, 0, nullptr, 0, KEY_WRITE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (key) RegCloseKey(key);
  SetEnvironmentVariableA("TVXDRV_HOME", dir_.path().c_str());
}

InstalledAddOn::~InstalledAddOn() { SetEnvironmentVariableA("TVXDRV_HOME", nullptr); }

std::string InstalledAddOn::Recorded() const { return ReadText(DataFile()); }

void InstalledAddOn::MakeUnwritable() const {
  DeleteFileA(DataFile().c_str());
  EXPECT_TRUE(CreateDirectoryA(DataFile().c_str(), nullptr));
}

ResidentWindow::ResidentWindow() {
  EXPECT_EQ(FindWindowA(TVRESIDENT_CLASS, TVRESIDENT_TITLE), nullptr) << "a resident is left over";
  process_ = vxtest::Process::Start("\"" + vxtest::ExeFolder() + "tvresident.exe\" --log \"" +
                                    (dir_ / "resident.log") + "\"");
  if (!process_.pid()) return;
  // The window is hidden, so it is looked up by class and title rather than listed.
  for (DWORD start = GetTickCount(); GetTickCount() - start < vxtest::kDefaultWait;) {
    hwnd_ = FindWindowA(TVRESIDENT_CLASS, TVRESIDENT_TITLE);
    if (hwnd_) return;
    if (WaitForSingleObject(process_.handle(), 20) == WAIT_OBJECT_0) break;
  }
  ADD_FAILURE() << "the resident window did not appear";
}

ResidentWindow::~ResidentWindow() {
  if (!process_.pid()) return;
  if (hwnd_) PostMessageA(hwnd_, WM_CLOSE, 0, 0);
  // One that does not end on WM_CLOSE fails here and is killed as the process object goes.
  EXPECT_EQ(process_.Wait(vxtest::kDefaultWait), 0u) << "the resident window's exit code";
}

std::string ResidentWindow::Recorded() const { return ReadText(dir_ / "resident.log"); }

std::string ReadText(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
  tvtest::Bytes b = tvtest::ReadAll(path);
  return std::string(b.begin(), b.end());
}

}  // namespace keytest
