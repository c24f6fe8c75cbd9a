// A library of a plug-in's own, as a vendor's plug-in brings beside it: tpwithdep.dll
// imports it, so that plug-in loads only where this library is found.
#include <windows.h>

extern "C" __declspec(dllexport) DWORD WINAPI TpDepVersion() { return 1; }
