#include "keyaccess.h"

#include <cstring>
#include <new>

#include "constants.h"
#include "mbcs.h"
#include "velvoxapp.h"

namespace {

const KeyInfo* FindRecord(const std::vector<KeyInfo>& keys, const std::string& name) {
  for (const KeyInfo& k : keys)
    if (KeyNamesEqual(std::string(k.Name, strnlen(k.Name, sizeof k.Name)), name)) return &k;
  return nullptr;
}

std::string NameOf(const KeyInfo& k) { return std::string(k.Name, strnlen(k.Name, sizeof k.Name)); }

}  // namespace

bool KeyNamesEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[i]);
    if (::IsDBCSLeadByte(ca) && i + 1 < a.size()) {
      if (ca != cb || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    if (ca >= 'a' && ca <= 'z') ca = static_cast<unsigned char>(ca - 'a' + 'A');
    if (cb >= 'a' && cb <= 'z') cb = static_cast<unsigned char>(cb - 'a' + 'A');
    if (ca != cb) return false;
  }
  return true;
}

BOOL ReadAllKeys(std::vector<KeyInfo>& keys) {
  keys.clear();
  DWORD count = 0;
  if (!TVDEV_GetKeyCount(&count, 0)) return 0;
  if (count == 0) return 1;
  try {
    keys.assign(count, KeyInfo{});
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!TVDEV_GetKeyInfo(keys.data(), count, 0)) {
    keys.clear();
    return 0;
  }
  return 1;
}

BOOL KeyExists(const std::string& name) {
  std::vector<KeyInfo> keys;
  return ReadAllKeys(keys) && FindRecord(keys, name) ? 1 : 0;
}

BOOL ValidKeyExists(const std::string& name) {
  std::vector<KeyInfo> keys;
  if (!ReadAllKeys(keys)) return 0;
  for (const KeyInfo& k : keys)
    if (k.Valid == 1 && KeyNamesEqual(NameOf(k), name)) return 1;
  return 0;
}

BOOL GetKeyStatus(const std::string& name, BOOL* found, BOOL* valid, int* algorithm) {
  *found = 0;
  *valid = 0;
  *algorithm = 0;
  std::vector<KeyInfo> keys;
  if (!ReadAllKeys(keys)) return 0;
  if (const KeyInfo* k = FindRecord(keys, name)) {
    *found = 1;
    *valid = k->Valid == 1 ? 1 : 0;
    *algorithm = k->Algorithm;
  }
  return 1;
}

BOOL GetKeyLength(const std::string& name, int* length) {
  KeyInfo k{};
  lstrcpynA(k.Name, name.c_str(), 128);
  if (TVDEV_GetKeyInfoByName(&k, 0) != 1 || TVDEV_GetLastError(0) == TVDEV_ERR_NOT_REGISTERED)
    return 0;
  *length = k.KeyLength;
  return 1;
}

void ListUsableKeyNames(std::vector<std::string>& names) {
  names.clear();
  DWORD count = 0;
  if (TVDEV_GetKeyCount(&count, 0) != 1) return;
  std::vector<KeyInfo> keys;
  try {
    keys.assign(count, KeyInfo{});
  } catch (const std::bad_alloc&) {
    return;
  }
  if (TVDEV_GetKeyInfo(keys.data(), count, 0) != 1) return;
  CVelvoxApp* app = VxApp();
  app->LoadMediaSettings(app->m_strMediaIni);
  for (const KeyInfo& k : keys) {
    if (k.Valid != 1) continue;
    const std::string name = NameOf(k);
    if (app->m_strMediaKeyName == name)
      names.push_back(app->m_strMediaKeyName);
    else if (HasTemplateEntry(name))
      names.push_back(name);
  }
}

BOOL HasTemplateEntry(const std::string& name) {
  const std::string& folder = VxApp()->m_strTemplateFolder;
  // A drive root ("C:\") already ends in its backslash.
  const std::string path =
      fw::Sprintf(folder.size() == 3 ? "%s%s\\%s" : "%s\\%s\\%s", folder.c_str(), name.c_str(),
                  VX_TEMPLATE_INI);
  char entry[MAX_PATH] = {};
  ::GetPrivateProfileStringA(VX_SECTION_PATH, fw::Sprintf("%04d", 1).c_str(), "", entry, MAX_PATH,
                             path.c_str());
  return entry[0] != '\0' ? 1 : 0;
}

std::string AlgorithmText(int algorithm) {
  switch (algorithm) {
    case KEY_ALG_DES: return VX_ALG_DES;
    case KEY_ALG_TRIPLE_DES: return VX_ALG_TDES;
    case KEY_ALG_AES: return VX_ALG_AES;
    default: return {};
  }
}

std::string KeyLengthText(int algorithm) {
  switch (algorithm) {
    case KEY_ALG_DES: return VX_KEYLEN_DES;
    case KEY_ALG_TRIPLE_DES: return VX_KEYLEN_TDES;
    case KEY_ALG_AES: return VX_KEYLEN_AES;
    default: return {};
  }
}
