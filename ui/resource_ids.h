// Resource and control ids shared by the resource script and the code.
#pragma once

#define IDD_CHECK 101
#define IDD_UPDATE 102
#define IDB_UPDATER 103
#define IDI_UPDATER 104
// Bitmap 103 drawn at twice its size, for dialogs shown above 100 % scaling.
#define IDB_UPDATER_2X 105

#define IDC_FILE_BAR 1001
#define IDC_FILE_NAME 1002
#define IDC_OVERALL_BAR 1003

// The side picture's frame in both templates, in dialog units.
#define PICTURE_X 7
#define PICTURE_Y 7
#define PICTURE_WIDTH 109
#define PICTURE_HEIGHT 193
