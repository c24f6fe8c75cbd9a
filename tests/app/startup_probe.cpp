// Runs the program's start-up without the main dialog and prints what it found, one
// "name=value" line each, for the start-up tests that vary the Windows version.
#include <cstdio>

#include "velvoxapp.h"

int main() {
  CVelvoxApp app;
  app.LoadConfiguration();
  DWORD attr = GetFileAttributesA(app.m_strPlugInFolder.c_str());
  std::printf("code=%u\npolicy=%s\nmedia=%s\nplugins=%s\nplugins_exist=%d\nlanguage=%d\n"
              "token=%d\nretrymax=%d\n",
              OsVersionCode, app.m_strPolicyIni.c_str(), app.m_strMediaIni.c_str(),
              app.m_strPlugInFolder.c_str(),
              attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0,
              app.m_nLanguage, app.m_bTokenRestricted, app.m_nPwRetryMax);
  return 0;
}
