// Resource and control ids shared by the resource script and the code.
#pragma once

#define IDD_CHECK 101
#define IDD_UPDATE 102
#define IDB_UPDATER 103
#define IDI_UPDATER 104

#define IDC_FILE_BAR 1001
#define IDC_FILE_NAME 1002
#define IDC_OVERALL_BAR 1003
