#pragma once
// Identifiers of the launcher's resources, shared by the resource script and
// the progress window's code.

#define IDI_APP 128
#define IDD_MAINDLG 129

#define IDB_CLOSE_HOVER 201
#define IDB_CLOSE_NORMAL 202
#define IDB_BANNER 204
#define IDB_ERROR 205

#define IDC_BANNER 1000
#define IDC_SPARE_TEXT 1001
#define IDC_CLOSE 1002
#define IDC_ERROR_ICON 1003
#define IDC_ERROR_TEXT 1004
#define IDC_PROGRESS 1005
