// Resource ids of keys/: dialog templates, controls, icons.
#pragma once

// Dialog templates.
#define IDD_KEY_INPUT 129
#define IDD_KEY_LIST 132
#define IDD_KEY_SELECT 1005
#define IDD_TOKEN_KEY 157

// Icons: a green key, an orange key (list: a key without a parameter file), a green key
// in a circle (list: a key with one).
#define IDI_KEY_GREEN 149
#define IDI_KEY_ORANGE 150
#define IDI_KEY_GREEN_CIRCLE 151

// Controls of the key input and key selection dialogs.
#define IDC_KEY_CHOOSE 1000
#define IDC_KEY_TOKEN 1001
#define IDC_KEY_VALUE 1002
#define IDC_KEY_NAME 1005
#define IDC_KEY_COMBO 1021
#define IDC_KEY_DESCRIPTION_LABEL 1027
#define IDC_KEY_DESCRIPTION 1028
// The report list of the key list dialog.
#define IDC_KEY_LISTVIEW 1002
// The check-box list of the token key dialog.
#define IDC_TOKEN_LIST 1014
