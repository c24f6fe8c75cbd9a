// Resource ids of the self-decrypting stub. Japanese resources use the English id plus
// kJapanese.
#pragma once

#define IDD_PASSWORD 100
#define IDD_FOLDER 101
#define IDD_PROGRESS 102

#define IDC_PASSWORD 1001
#define IDC_FOLDER 1002
#define IDC_BROWSE 1003
#define IDC_FILE 1004
#define IDC_BAR 1005

#define IDS_TITLE 100
#define IDS_WRONG_PASSWORD 101
#define IDS_TOO_MANY 102
#define IDS_EMPTY_PASSWORD 103
#define IDS_DAMAGED 104
#define IDS_FOLDER_BAD 105
#define IDS_OVERWRITE 106
#define IDS_CANCELLED 107
#define IDS_DONE 108
#define IDS_FAILED 109
#define IDS_BROWSE_TITLE 110
#define IDS_DECRYPTING 111
#define IDS_UNSAFE 112
#define IDS_LINK 113

#define kJapanese 1000
