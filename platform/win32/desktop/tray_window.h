// The user-interface thread: the window class "Kestrune", the hidden main window that
// receives the tray icon's mouse events and the menu's commands, the context menu, and
// the modal dialogs opened from them.
#pragma once

#include <windows.h>

#include <string>

#include "app/tray_program.h"
#include "platform/win32/desktop/about_dialog.h"
#include "platform/win32/desktop/certificates_dialog.h"
#include "platform/win32/desktop/win32_desktop.h"

namespace kestrune::win32 {

inline constexpr const wchar_t* kWindowClass = L"Kestrune";
inline constexpr const wchar_t* kWindowTitle = L"Brimtal Kestrune";
inline constexpr DWORD kTrayStartDelayMs = 3000;

// What the user-interface thread works with: handed to the thread as its parameter and
// kept in the main window's user data, for the life of the process.
struct UiProgram {
    UiProgram(TrayProgram& program, std::string webSite);

    TrayProgram& program;
    CertificatesDialogContext certificates;
    AboutDialogContext about;
};

// The thread routine: class, hidden window, pause, tray icon, message loop. The
// parameter is the UiProgram. Returns the quit message's exit code, or 0 when the window
// cannot be made.
DWORD WINAPI uiThread(LPVOID parameter);

// The hidden main window, once made (null before).
HWND mainWindow();

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kestrune::win32
