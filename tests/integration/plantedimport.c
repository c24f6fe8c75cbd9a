// A library that imports tv_planted_dll.dll, which the system looks for by name when it
// loads this one: the library-search test gives velvox.exe a copy of it as one of the
// suite's libraries, and the planted DLL only in folders that must not be searched.
__declspec(dllimport) void TvPlanted(void);

__declspec(dllexport) void VxPlantedImport(void) { TvPlanted(); }
