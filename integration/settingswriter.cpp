#include "settingswriter.h"

#include <objbase.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstring>
#include <vector>

#include "contracts/authresponse.h"
#include "contracts/setwriter.h"

namespace {

// The platform's "cancelled" (error 1223) as a COM result: the elevation was declined.
constexpr HRESULT kElevationDeclined = static_cast<HRESULT>(0x800704C7);

BSTR ToBstr(const std::string& text) {
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
  BSTR b = ::SysAllocStringLen(nullptr, static_cast<UINT>(n));
  if (b && n > 0)
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), b, n);
  return b;
}

// Wipes a byte array's contents before it goes.
void WipeAndClear(VARIANT& v) {
  if (v.vt == (VT_ARRAY | VT_UI1) && v.parray) {
    void* data = nullptr;
    if (SUCCEEDED(::SafeArrayAccessData(v.parray, &data))) {
      ::SecureZeroMemory(data, v.parray->rgsabound[0].cElements);
      ::SafeArrayUnaccessData(v.parray);
    }
  }
  ::VariantClear(&v);
}

}  // namespace

ElevatedSettingsWriter::ElevatedSettingsWriter(Binding binding) {
  ::VariantInit(&m_varAuth);
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // Only a successful initialisation is balanced on Close.
  m_bComInitialized = SUCCEEDED(init);
  const HRESULT hr = Connect(binding);
  if (FAILED(hr)) {
    m_nStatus = StatusForConnectFailure(hr);
    return;
  }
  Authenticate();
}

ElevatedSettingsWriter::~ElevatedSettingsWriter() { Close(); }

int ElevatedSettingsWriter::StatusForConnectFailure(HRESULT hr) {
  return hr == kElevationDeclined ? kDeclined : kUnreachable;
}

HRESULT ElevatedSettingsWriter::Connect(Binding binding) {
  IUnknown* unknown = nullptr;
  HRESULT hr;
  if (binding == Binding::kElevated) {
    wchar_t clsid[40] = {};
    if (!::StringFromGUID2(kClsidSettingsWriter, clsid, 40)) return E_FAIL;
    wchar_t moniker[300] = {};
    if (_snwprintf(moniker, 300, L"Elevation:Highest!new:%ls", clsid) < 0) return E_FAIL;
    moniker[299] = L'\0';
    BIND_OPTS3 opts = {};
    opts.cbStruct = sizeof(opts);
    opts.dwClassContext = CLSCTX_LOCAL_SERVER;
    opts.hwnd = nullptr;
    // Shows the platform's elevation prompt and waits for the user.
    hr = ::CoGetObject(moniker, &opts, IID_IUnknown, reinterpret_cast<void**>(&unknown));
  } else {
    hr = ::CoCreateInstance(kClsidSettingsWriter, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                            reinterpret_cast<void**>(&unknown));
  }
  if (FAILED(hr)) return hr;
  hr = ::OleRun(unknown);
  if (SUCCEEDED(hr))
    hr = unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&m_pDispatch));
  unknown->Release();
  if (FAILED(hr)) m_pDispatch = nullptr;
  return hr;
}

void ElevatedSettingsWriter::Authenticate() {
  VARIANT challenge;
  ::VariantInit(&challenge);
  VARIANT ref;
  ::VariantInit(&ref);
  ref.vt = VT_VARIANT | VT_BYREF;
  ref.pvarVal = &challenge;
  const LONG rc = Call(SWDISP_GET_CHALLENGE, &ref, 1);
  // A challenge that is not a one-dimensional byte array of at least 16 bytes cannot
  // be answered.
  LONG lower = 0, upper = -1;
  if (rc != 0 || challenge.vt != (VT_ARRAY | VT_UI1) || !challenge.parray ||
      ::SafeArrayGetDim(challenge.parray) != 1 ||
      FAILED(::SafeArrayGetLBound(challenge.parray, 1, &lower)) ||
      FAILED(::SafeArrayGetUBound(challenge.parray, 1, &upper)) || upper - lower + 1 < 16) {
    m_nStatus = kChallengeFailed;
    ::VariantClear(&challenge);
    return;
  }
  SAFEARRAY* copy = nullptr;
  BYTE* data = nullptr;
  if (FAILED(::SafeArrayCopy(challenge.parray, &copy)) ||
      FAILED(::SafeArrayAccessData(copy, reinterpret_cast<void**>(&data)))) {
    if (copy) ::SafeArrayDestroy(copy);
    m_nStatus = kChallengeFailed;
    ::VariantClear(&challenge);
    return;
  }
  BYTE response[16];
  const BOOL answered = ComputeAuthResponse(data, response);
  std::memcpy(data, response, 16);
  ::SecureZeroMemory(response, sizeof(response));
  ::SafeArrayUnaccessData(copy);
  ::VariantClear(&challenge);
  m_varAuth.vt = VT_ARRAY | VT_UI1;
  m_varAuth.parray = copy;
  if (!answered) m_nStatus = kChallengeFailed;
}

LONG ElevatedSettingsWriter::Call(DISPID id, VARIANT* args, UINT count) {
  if (!m_pDispatch) return -1;
  // IDispatch takes the arguments last first.
  std::vector<VARIANT> reversed(args, args + count);
  for (UINT i = 0; i < count / 2; ++i) std::swap(reversed[i], reversed[count - 1 - i]);
  DISPPARAMS params = {reversed.data(), nullptr, count, 0};
  VARIANT result;
  ::VariantInit(&result);
  EXCEPINFO excep = {};
  UINT argErr = 0;
  const HRESULT hr =
      m_pDispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                          &excep, &argErr);
  ::SysFreeString(excep.bstrSource);
  ::SysFreeString(excep.bstrDescription);
  ::SysFreeString(excep.bstrHelpFile);
  // An error raised instead of a result counts as a failed call.
  LONG rc = -1;
  if (SUCCEEDED(hr) && SUCCEEDED(::VariantChangeType(&result, &result, 0, VT_I4)))
    rc = result.lVal;
  ::VariantClear(&result);
  return rc;
}

BOOL ElevatedSettingsWriter::WriteProfileString(const std::string& section,
                                                const std::string& key,
                                                const std::string& value,
                                                const std::string& file) {
  if (m_nStatus != kConnected) return FALSE;
  VARIANT args[5];
  for (VARIANT& a : args) ::VariantInit(&a);
  const std::string* texts[4] = {&section, &key, &value, &file};
  for (int i = 0; i < 4; ++i) {
    args[i].vt = VT_BSTR;
    args[i].bstrVal = ToBstr(*texts[i]);
  }
  ::VariantCopy(&args[4], &m_varAuth);
  const LONG rc = Call(SWDISP_WRITE_PROFILE_STRING, args, 5);
  for (int i = 0; i < 4; ++i) ::VariantClear(&args[i]);
  WipeAndClear(args[4]);
  return rc == 0 ? TRUE : FALSE;
}

BOOL ElevatedSettingsWriter::FlushProfile(const std::string& file) {
  if (m_nStatus != kConnected) return FALSE;
  VARIANT args[2];
  for (VARIANT& a : args) ::VariantInit(&a);
  args[0].vt = VT_BSTR;
  args[0].bstrVal = ToBstr(file);
  ::VariantCopy(&args[1], &m_varAuth);
  const LONG rc = Call(SWDISP_FLUSH_PROFILE, args, 2);
  ::VariantClear(&args[0]);
  WipeAndClear(args[1]);
  return rc == 0 ? TRUE : FALSE;
}

void ElevatedSettingsWriter::Close() {
  if (m_pDispatch) {
    m_pDispatch->Release();
    m_pDispatch = nullptr;
  }
  WipeAndClear(m_varAuth);
  if (m_bComInitialized) {
    ::CoUninitialize();
    m_bComInitialized = false;
  }
}
