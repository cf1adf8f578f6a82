// The desktop interface over Win32: MessageBoxW, Shell_NotifyIconW and ShellExecuteW.
#pragma once

// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "inventory/trace.h"
#include "ui/desktop.h"

namespace kestrune::win32 {

inline HWND windowOf(WindowRef ref) {
    return reinterpret_cast<HWND>(ref);
}
inline WindowRef refOf(HWND window) {
    return reinterpret_cast<WindowRef>(window);
}

// The full notification-icon record for a notice: every member the notice names, the
// icon loaded (shared, at the small-icon size) from `module`, everything else zero.
NOTIFYICONDATAW notifyIconData(const TrayNotice& notice, HINSTANCE module);

class Win32Desktop final : public Desktop {
  public:
    // `module` holds the icon resource; the trace gets one line per tray request.
    Win32Desktop(Trace& trace, HINSTANCE module) : trace_(trace), module_(module) {}

    int messageBox(const std::string& text, const std::string& caption, std::uint32_t style,
                   WindowRef owner) override;
    bool trayAdd(const TrayNotice& notice) override;
    bool trayModify(const TrayNotice& notice) override;
    bool openUrl(const std::string& url) override;

  private:
    bool notify(DWORD message, const char* name, const TrayNotice& notice);

    Trace& trace_;
    HINSTANCE module_;
};

}  // namespace kestrune::win32
