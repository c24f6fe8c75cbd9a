#pragma once
#define IDD_FW_MAIN 200
#define IDD_FW_ASK 201
#define IDC_FW_ASK 1001
#define IDS_FW_TITLE 57344
#define IDS_FW_QUESTION 3000
