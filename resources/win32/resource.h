// Resource ids of kestrune.exe, shared by the resource script and the program.
#pragma once

// Menu of the hidden window and the tray's context menu.
#define IDM_TRAY 109
#define IDM_EXIT 40002
#define IDM_ABOUT 40003

// Dialogs.
#define IDD_CERTIFICATES 110
#define IDD_ABOUT 111

// Pictures.
#define IDB_ABOUT 112
#define IDI_KESTRUNE 113

// Controls of the certificates dialog, shared with the toolkit-free model.
#include "ui/certificates_dialog_layout.h"

// Controls of the About dialog: the button shares its id with Scan Now.
#define IDC_CHECK_FOR_UPDATES 1006

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
