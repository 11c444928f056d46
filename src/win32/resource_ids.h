// The numbers of the window's resources, shared by quillet.rc and the code. Macros only, so that
// the resource compiler reads this file too.
#pragma once

// Templates, menus, strings, images.
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN_DIALOG 102
#define IDD_SETTINGS 103
#define IDR_MAINFRAME 128
#define IDR_MAIN_MENU 129
#define IDR_ACCELERATORS 130
#define IDB_SORT_UP 133
#define IDB_SORT_DOWN 134

// Controls.
#define IDC_TRANSFER_LIST 1000
#define IDC_LOG_LIST 1001
#define IDC_FILE_LEVEL_LABEL 1002
#define IDC_FILE_LEVEL 1003
#define IDC_TRANSFER_OPTIONS 1004
#define IDC_SETTINGS_NOTE 1005
#define IDC_ABOUT_VERSION 1006

// Commands.
#define ID_FILE_CLEAR_ENTRIES 32771
#define ID_HELP_ABOUT 32772
#define ID_FILE_SETTINGS 32773
#define ID_FILE_OPEN_FOLDER 32774
#define ID_EDIT_COPY 32775
#define ID_COPY_ROW 32776
#define ID_COPY_LINES 32777

// The system menu's entry for the about box; system commands keep their low four bits clear.
#define IDM_ABOUTBOX 0x0010
