// Client of the suite's elevated settings writer: starts the server with administrator
// rights (the user confirms the elevation), answers its challenge, and forwards
// profile-file writes to it. One writer serves one save.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

class ElevatedSettingsWriter {
 public:
  enum Status {
    kConnected = 0,        // connected and authenticated
    kDeclined = 1,         // the user declined the elevation
    kUnreachable = 2,      // the server cannot be created or reached
    kChallengeFailed = 3,  // the server's challenge failed or could not be answered
  };
  // How the server is reached. The program always asks for elevation. The platform's
  // elevation moniker cannot be bound everywhere (not under Wine); tests that exercise
  // the protocol there create the same class directly, through the same client code.
  enum class Binding { kElevated, kDirectForTests };

  explicit ElevatedSettingsWriter(Binding binding = Binding::kElevated);
  ~ElevatedSettingsWriter();
  ElevatedSettingsWriter(const ElevatedSettingsWriter&) = delete;
  ElevatedSettingsWriter& operator=(const ElevatedSettingsWriter&) = delete;

  int GetStatus() const { return m_nStatus; }
  BOOL WriteProfileString(const std::string& section, const std::string& key,
                          const std::string& value, const std::string& file);
  BOOL FlushProfile(const std::string& file);
  void Close();

  // The status that a failed bind or start of the server means.
  static int StatusForConnectFailure(HRESULT hr);
  // The authentication value sent with every call (an empty VARIANT until connected).
  const VARIANT& AuthValue() const { return m_varAuth; }

 private:
  HRESULT Connect(Binding binding);
  void Authenticate();
  // DISPID `id` with `args` in call order; the server's VT_I4 result, or -1 when the
  // call itself failed.
  LONG Call(DISPID id, VARIANT* args, UINT count);

  IDispatch* m_pDispatch = nullptr;
  VARIANT m_varAuth;
  int m_nStatus = kConnected;
  bool m_bComInitialized = false;
};
