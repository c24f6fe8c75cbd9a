// vxshell.dll: the drop target behind Explorer's "encrypt with velvox" entry.
#pragma once
#include <windows.h>

// {A0D1E49F-5EED-4172-BE07-9B645E3C53E4}
inline constexpr GUID kClsidVelvoxDropTarget = {
    0xA0D1E49F, 0x5EED, 0x4172, {0xBE, 0x07, 0x9B, 0x64, 0x5E, 0x3C, 0x53, 0xE4}};
#define VXSHELL_CLSID_TEXT "{A0D1E49F-5EED-4172-BE07-9B645E3C53E4}"

// String table of vxshell.dll.
#define IDS_VXSHELL_TOO_MANY 1
#define IDS_VXSHELL_CANNOT_START 2
