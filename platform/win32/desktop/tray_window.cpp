#include "platform/win32/desktop/tray_window.h"

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <atomic>
#include <memory>
#include <type_traits>

#include "platform/win32/desktop/win32_desktop.h"
#include "resources/win32/resource.h"

namespace kestrune::win32 {

namespace {

// Process-wide: the module, the main window and the shell's "TaskbarCreated" message.
struct UiGlobals {
    HINSTANCE instance = nullptr;
    std::atomic<HWND> mainWindow{nullptr};
    UINT taskbarCreated = 0;
};
UiGlobals globals;

struct MenuDestroyer {
    void operator()(HMENU menu) const { DestroyMenu(menu); }
};
using MenuHandle = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDestroyer>;

void showContextMenu(HWND window) {
    POINT at = {};
    GetCursorPos(&at);
    const MenuHandle menu(LoadMenuW(globals.instance, MAKEINTRESOURCEW(IDM_TRAY)));
    if (!menu) {
        return;
    }
    const HMENU popup = GetSubMenu(menu.get(), 0);
    // The menu closes on a click elsewhere only if its owner is in the foreground; the
    // WM_NULL afterwards makes the next right-click open it reliably.
    SetForegroundWindow(window);
    TrackPopupMenu(popup, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    PostMessageW(window, WM_NULL, 0, 0);
}

}  // namespace

UiProgram::UiProgram(TrayProgram& trayProgram, std::string webSite)
    : program(trayProgram),
      // Never waits: a running cycle (even this thread's own, showing a box) means busy.
      certificates{trayProgram.coordinator, trayProgram.sortState,
                   [this] { return program.userScan(); }},
      about{trayProgram.desktop, trayProgram.ports.http, std::move(webSite)} {}

HWND mainWindow() {
    return globals.mainWindow.load();
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Null until the thread has stored it, right after the window was made.
    auto* program = reinterpret_cast<UiProgram*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_CREATE:
            return 1;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDM_EXIT:
                    // At once: no icon removal, no clean-up, a running scan cut off.
                    TerminateProcess(GetCurrentProcess(), 0);
                    return 0;
                case IDM_ABOUT:
                    if (program) {
                        showAboutDialog(globals.instance, program->about);
                    }
                    return 0;
                default:
                    return DefWindowProcW(window, message, wParam, lParam);
            }
        case kTrayCallbackMessage:
            if (program && static_cast<UINT>(lParam) == WM_LBUTTONDBLCLK) {
                showCertificatesDialog(globals.instance, program->certificates);
            } else if (static_cast<UINT>(lParam) == WM_RBUTTONUP) {
                showContextMenu(window);
            }
            return 0;
        default:
            // A restarted shell has a new taskbar and has forgotten every icon.
            if (message == globals.taskbarCreated && message != 0 && program) {
                program->program.tray.restoreTrayIcon();
                return 0;
            }
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

DWORD WINAPI uiThread(LPVOID parameter) {
    auto* program = static_cast<UiProgram*>(parameter);
    globals.instance = GetModuleHandleW(nullptr);
    InitCommonControls();
    globals.taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = globals.instance;
    windowClass.hIcon = LoadIconW(globals.instance, MAKEINTRESOURCEW(IDI_KESTRUNE));
    windowClass.hIconSm = LoadIconW(globals.instance, MAKEINTRESOURCEW(IDI_KESTRUNE));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDM_TRAY);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);

    const HWND window =
        CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                        CW_USEDEFAULT, 0, nullptr, nullptr, globals.instance, nullptr);
    if (window == nullptr) {
        return 0;  // no icon, no loop; the hourly cycles go on without them
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(program));
    globals.mainWindow = window;
    if (program) {
        program->program.tray.setOwner(refOf(window));
    }
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);

    Sleep(kTrayStartDelayMs);
    if (program) {
        program->program.tray.addTrayIcon();
    }

    MSG message = {};
    // GetMessageW returns -1 on failure: stop then rather than spin on it.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<DWORD>(message.wParam);
}

}  // namespace kestrune::win32
