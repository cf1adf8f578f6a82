// The notifier over Win32: MessageBoxW, Shell_NotifyIconW and ShellExecuteW.
#pragma once

// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "inventory/trace.h"
#include "ui/notifier.h"

namespace kestrune::win32 {

inline HWND windowOf(WindowRef ref) {
    return reinterpret_cast<HWND>(ref);
}
inline WindowRef refOf(HWND window) {
    return reinterpret_cast<WindowRef>(window);
}

// The one tray icon: its id and the message its mouse events come to the owner as.
inline constexpr UINT kTrayIconId = 1124;
inline constexpr UINT kTrayCallbackMessage = WM_USER + 500;  // 1524

// The full notification-icon record for a notice: the notice's owner and texts, the
// icon's id, callback message and icon (IDI_KESTRUNE, shared, at the small-icon size,
// from `module`), an information balloon for 3 seconds, everything else zero.
NOTIFYICONDATAW notifyIconData(const TrayNotice& notice, HINSTANCE module);

// The MessageBoxW style word of a box that tells (MB_OK, the severity's icon, and
// MB_SERVICE_NOTIFICATION where asked) and of a question (its buttons, the severity's
// icon, MB_DEFBUTTON2 when the default is the second button).
UINT messageBoxStyle(const Message& message);
UINT messageBoxStyle(const Question& question);
// What MessageBoxW's result stands for; 0 (the box failed) and unknown ids are `none`.
Answer answerOf(int id);

class Win32Desktop final : public Notifier {
  public:
    // `module` holds the icon resource; the trace gets one line per tray request.
    Win32Desktop(Trace& trace, HINSTANCE module) : trace_(trace), module_(module) {}

    void inform(const Message& message) override;
    // Win32's box cannot unfold a text: a question's details are not shown.
    Answer ask(const Question& question) override;
    bool addTrayIcon(const TrayNotice& notice) override;
    bool updateTrayNotice(const TrayNotice& notice) override;
    bool openUrl(const std::string& url) override;

  private:
    bool notify(DWORD message, const char* name, const TrayNotice& notice);

    Trace& trace_;
    HINSTANCE module_;
};

}  // namespace kestrune::win32
