// vxshell.dll: the drop target of Explorer's "encrypt with velvox" verb.
//
// A verb run through its "command" string is started once per selected item, but
// velvox must see every selected item in one process (they become one archive). A verb
// whose "DropTarget" names a class, with "MultiSelectModel" = "Player", is instead given
// the whole selection in one data object: this class turns its CF_HDROP into one
// command line, velvox.exe beside this DLL with each path as its own argument.
//
// Runs inside Explorer: nothing may throw out of a COM method, and the module stays
// loaded only while an object or a lock exists (DllCanUnloadNow).
#include <windows.h>
#include <ole2.h>
#include <shellapi.h>

#include <new>
#include <string>

#include "vxshell.h"

namespace {

HMODULE g_module = nullptr;
LONG g_refs = 0;  // live objects plus server locks

// CreateProcess takes at most 32767 characters including the terminator.
constexpr size_t kMaxCommandLine = 32766;

std::wstring LoadText(UINT id) {
  const wchar_t* text = nullptr;
  const int n = ::LoadStringW(g_module, id, reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 ? std::wstring(text, static_cast<size_t>(n)) : std::wstring();
}

void Tell(HWND owner, UINT id) {
  ::MessageBoxW(owner, LoadText(id).c_str(), L"TARVO-Pro", MB_OK | MB_ICONWARNING);
}

// The runtime's argument parser reads backslashes before a quote as escapes, so a path
// ending in a backslash (a drive root) keeps its last backslash only when doubled.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  line += L" \"";
  line += arg;
  for (auto it = arg.rbegin(); it != arg.rend() && *it == L'\\'; ++it) line += L'\\';
  line += L'"';
}

std::wstring ProgramPath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::wstring p(path, n);
  const size_t slash = p.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  return p.substr(0, slash + 1) + L"velvox.exe";
}

bool HasFiles(IDataObject* data) {
  FORMATETC fmt = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  return data && data->QueryGetData(&fmt) == S_OK;
}

// Starts velvox.exe with every dropped path. False when nothing could be started; the
// user has been told why.
bool Launch(IDataObject* data) {
  FORMATETC fmt = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium = {};
  if (!data || FAILED(data->GetData(&fmt, &medium))) return false;
  const std::wstring exe = ProgramPath();
  std::wstring line = L"\"" + exe + L"\"";
  bool complete = false;
  if (auto drop = static_cast<HDROP>(::GlobalLock(medium.hGlobal))) {
    const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    complete = count > 0;
    for (UINT i = 0; i < count && complete; ++i) {
      const UINT len = ::DragQueryFileW(drop, i, nullptr, 0);
      std::wstring path(len + 1, L'\0');
      path.resize(::DragQueryFileW(drop, i, path.data(), len + 1));
      AppendQuoted(line, path);
      if (line.size() > kMaxCommandLine) {
        Tell(nullptr, IDS_VXSHELL_TOO_MANY);
        complete = false;
      }
    }
    ::GlobalUnlock(medium.hGlobal);
  }
  ::ReleaseStgMedium(&medium);
  if (!complete || exe.empty()) return false;

  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
    Tell(nullptr, IDS_VXSHELL_CANNOT_START);
    return false;
  }
  // Explorer has the foreground; hand it on so that velvox's first dialog is in front.
  ::AllowSetForegroundWindow(pi.dwProcessId);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return true;
}

class DropTarget final : public IDropTarget {
 public:
  DropTarget() { ::InterlockedIncrement(&g_refs); }
  DropTarget(const DropTarget&) = delete;
  DropTarget& operator=(const DropTarget&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDropTarget) {
      *out = static_cast<IDropTarget*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG n = ::InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
  }

  STDMETHODIMP DragEnter(IDataObject* data, DWORD, POINTL, DWORD* effect) override {
    accept_ = HasFiles(data);
    if (effect) *effect = accept_ ? DROPEFFECT_COPY : DROPEFFECT_NONE;
    return S_OK;
  }
  STDMETHODIMP DragOver(DWORD, POINTL, DWORD* effect) override {
    if (effect) *effect = accept_ ? DROPEFFECT_COPY : DROPEFFECT_NONE;
    return S_OK;
  }
  STDMETHODIMP DragLeave() override {
    accept_ = false;
    return S_OK;
  }
  STDMETHODIMP Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) override {
    bool started = false;
    try {
      started = Launch(data);
    } catch (...) {
      started = false;
    }
    if (effect) *effect = started ? DROPEFFECT_COPY : DROPEFFECT_NONE;
    return S_OK;
  }

 private:
  ~DropTarget() { ::InterlockedDecrement(&g_refs); }
  LONG refs_ = 1;
  bool accept_ = false;
};

class Factory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // A static object: its references keep the module as locks do.
  STDMETHODIMP_(ULONG) AddRef() override { return 2 + ::InterlockedIncrement(&g_refs); }
  STDMETHODIMP_(ULONG) Release() override { return 1 + ::InterlockedDecrement(&g_refs); }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* target = new (std::nothrow) DropTarget();
    if (!target) return E_OUTOFMEMORY;
    const HRESULT hr = target->QueryInterface(riid, out);
    target->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ::InterlockedIncrement(&g_refs);
    else
      ::InterlockedDecrement(&g_refs);
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != kClsidVelvoxDropTarget) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return g_refs == 0 ? S_OK : S_FALSE; }
