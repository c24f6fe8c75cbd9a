// Resource ids other than the string table's (string_ids.h).
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_VELVOX_DIALOG 102
#define IDR_MAINFRAME 128
#define IDI_ABOUT 148

#define IDC_ABOUT_PRODUCT 1013
#define IDC_ABOUT_VERSION 1014
#define IDC_ABOUT_COPYRIGHT 1015

#define IDM_ABOUTBOX 0x0010

#define VX_VERSION_MAJOR 1
#define VX_VERSION_MINOR 0
#define VX_VERSION_TEXT "1.0.0.0"

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#include "keys_ids.h"
#include "dialogs_ids.h"
