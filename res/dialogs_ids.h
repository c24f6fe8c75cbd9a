// Resource ids of dialogs/: dialog templates, controls, icons.
#pragma once

// Save-as dialog: the child template below the platform's controls
#define IDD_SAVE_AS_CHILD        134
#define IDC_SAVE_SELF_DECRYPTING 1004

// Self-decrypting password and options (IDD_SFX_KEY_OLD below OsVersionCode 600)
#define IDD_SFX_KEY_OLD       135
#define IDD_SFX_KEY           1006
#define IDC_SFX_PASSWORD      1001
#define IDC_SFX_CONFIRM       1002
#define IDC_SFX_LIMIT_RETRY   1015
#define IDC_SFX_CHANGE_EXT    1016
#define IDC_SFX_RETRY_COUNT   1017
#define IDC_SFX_EXTENSION     1018
#define IDC_SFX_DETAILS       1019
#define IDC_SFX_DETAILS_LINE  1020
#define IDC_SFX_ENGLISH       1021
#define IDC_SFX_SAVE_SETTINGS 1029

// Progress dialog
#define IDD_PROGRESS      103
#define IDC_PROGRESS_BAR  1003
#define IDC_PROGRESS_TEXT 1023

// Overwrite confirmation
#define IDD_OVERWRITE      140
#define IDC_OW_CANCEL      1008
#define IDC_OW_ALL         1009
#define IDC_OW_YES         1010
#define IDC_OW_NO          1011
#define IDC_OW_MESSAGE     1012
