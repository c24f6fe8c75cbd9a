#include <windows.h>

#include "velvoxapp.h"

CVelvoxApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return fw::AfxWinMain(instance); }
