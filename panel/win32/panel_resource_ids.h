// Resource and control identifiers of the settings dialog, shared by its
// resource script, its Win32 view and the tests that drive the dialog.
#pragma once

#define IDD_PANEL 102
#define IDB_LOGO 108
#define IDI_PANEL_LARGE 117
#define IDI_PANEL_SMALL 118
#define IDB_LOGO_MASK 119
#define IDB_REMOVAL_MARK 121

#define IDC_APPLY 3
#define IDC_DEVICE_LIST 1001
#define IDC_BUFFER_SLIDER 1002
#define IDC_BUFFER_LABEL 1004
#define IDC_LOGO 1011
#define IDC_LEFT_INPUT 1014
#define IDC_RIGHT_INPUT 1015
#define IDC_LEFT_OUTPUT 1016
#define IDC_RIGHT_OUTPUT 1017
