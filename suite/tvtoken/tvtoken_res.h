// Resource ids of tvtoken.dll.
#pragma once

#define IDD_TVTOKEN_PIN 100
#define IDC_TVTOKEN_PIN 1001
#define IDC_TVTOKEN_PIN_ERROR 1002

#define IDS_TVTOKEN_CAPTION 1
#define IDS_TVTOKEN_NOT_FOUND 2
#define IDS_TVTOKEN_WRONG_PIN 3
#define IDS_TVTOKEN_VERSION 4
