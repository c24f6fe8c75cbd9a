// Saving the self-decrypting options to the policy file, directly or through the
// elevated settings writer, and the test whether the user may write it.
#include <functional>

#include "constants.h"
#include "contracts/sfxoptions.h"
#include "mbcs.h"
#include "sfxsettings.h"
#include "velvoxapp.h"

ElevatedSettingsWriter::Binding g_settingsWriterBinding = ElevatedSettingsWriter::Binding::kElevated;

namespace {

// The five options in their order; the first write that fails ends the sequence. A value
// outside the rule that the elevated settings writer applies as well counts as a failed
// write, so that a direct save and one through the writer end alike.
bool WriteSfxEntries(const CVelvoxApp& app,
                     const std::function<bool(const char* key, const std::string& value)>& write) {
  const auto put = [&](const char* key, const std::string& value) {
    return sfxoptions::StorableValue(sfxoptions::OptionNamed(key), value, app.m_nExtMode != 0) &&
           write(key, value);
  };
  const auto number = [](int n) {
    char text[11] = {};
    snprintf(text, sizeof text, "%d", n);
    return std::string(text);
  };
  return put(VX_KEY_PWRETRYMODE, number(app.m_nPwRetryMode)) &&
         put(VX_KEY_PWRETRYMAX, number(app.m_nPwRetryMax)) &&
         put(VX_KEY_EXTMODE, number(app.m_nExtMode)) &&
         put(VX_KEY_EXTSTRING, app.m_strExtString) &&
         put(VX_KEY_SELFEXTLANG, number(app.m_nSelfExtLang));
}

}  // namespace

BOOL CVelvoxApp::IsFileWritable(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  ::CloseHandle(h);
  return 1;
}

int CVelvoxApp::SaveSfxSettings(const std::string& iniPath) {
  const bool all = WriteSfxEntries(*this, [&](const char* key, const std::string& value) {
    return ::WritePrivateProfileStringA(VX_SECTION_VELVOX, key, value.c_str(), iniPath.c_str()) != 0;
  });
  ::WritePrivateProfileStringA(nullptr, nullptr, nullptr, iniPath.c_str());
  return all ? 0 : 2;
}

int CVelvoxApp::StoreSfxSettings(const std::string& iniPath, BOOL elevate) {
  if (!elevate) return SaveSfxSettings(iniPath);
  ElevatedSettingsWriter writer(g_settingsWriterBinding);
  int result;
  switch (writer.GetStatus()) {
    case ElevatedSettingsWriter::kConnected: {
      const bool all = WriteSfxEntries(*this, [&](const char* key, const std::string& value) {
        return writer.WriteProfileString(VX_SECTION_VELVOX, key, value, iniPath) != 0;
      });
      // Sent whatever the writes returned: what was written must reach the file.
      writer.FlushProfile(iniPath);
      result = all ? 0 : 2;
      break;
    }
    case ElevatedSettingsWriter::kDeclined:
      result = 1;
      break;
    case ElevatedSettingsWriter::kChallengeFailed:
      result = 4;
      break;
    default:
      result = 3;
      break;
  }
  writer.Close();
  return result;
}
