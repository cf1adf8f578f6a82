// The user-interface thread: the window class "Kestrune", the hidden main window that
// receives the tray icon's mouse events and the menu's commands, the context menu, and
// the modal dialogs opened from them.
#pragma once

#include <windows.h>

#include <string>

#include "baseline/scan_cycle.h"
#include "platform/win32/about_dialog.h"
#include "platform/win32/certificates_dialog.h"
#include "ui/certificate_list.h"
#include "ui/http_client.h"
#include "ui/tray.h"

namespace kestrune::win32 {

inline constexpr const wchar_t* kWindowClass = L"Kestrune";
inline constexpr const wchar_t* kWindowTitle = L"Brimtal Kestrune";
inline constexpr UINT kTrayCallbackMessage = WM_USER + 500;  // 1524
inline constexpr DWORD kTrayStartDelayMs = 3000;

// What the user-interface thread works with. The program makes one, hands it to
// setUiProgram before the thread starts, and keeps it for the life of the process.
struct UiProgram {
    UiProgram(CycleContext& cycle, HttpClient& http, std::string webSite);

    CycleContext& cycle;
    ListSortState sortState;  // listSortDirection, shared by every certificates dialog
    CertificatesDialogContext certificates;
    AboutDialogContext about;
};

// Set once, before the user-interface thread starts; the thread takes no parameter.
void setUiProgram(UiProgram* program);

// The thread routine: class, hidden window, pause, tray icon, message loop. Returns the
// quit message's exit code, or 0 when the window cannot be made.
DWORD WINAPI uiThread(LPVOID parameter);

// The hidden main window, once made (null before).
HWND mainWindow();

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kestrune::win32
