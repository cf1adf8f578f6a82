// What the core asks of the desktop: message boxes, the tray icon and opening a web
// page. Win32, Qt, and a scripted fake for tests implement it.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune {

// Message box style bits and answers, with the platform's values. (Named apart from
// the Win32 macros so both can be seen in one file.)
inline constexpr std::uint32_t kMbOk = 0x0;
inline constexpr std::uint32_t kMbOkCancel = 0x1;
inline constexpr std::uint32_t kMbYesNo = 0x4;
inline constexpr std::uint32_t kMbTypeMask = 0xF;
inline constexpr std::uint32_t kMbIconError = 0x10;
inline constexpr std::uint32_t kMbIconWarning = 0x30;
inline constexpr std::uint32_t kMbIconInformation = 0x40;
inline constexpr std::uint32_t kMbIconMask = 0xF0;
// The second button is the default (Return): No on a Yes/No box.
inline constexpr std::uint32_t kMbDefButton2 = 0x100;
inline constexpr std::uint32_t kMbServiceNotification = 0x200000;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// A window as the desktop knows it; 0 is "no owner".
using WindowRef = std::uintptr_t;
inline constexpr WindowRef kNoOwner = 0;

// The tray icon record, filled the same way by both tray operations.
struct TrayNotice {
    WindowRef owner = kNoOwner;
    std::uint32_t id = 1124;
    std::uint32_t flags = 0x17;            // NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO
    std::uint32_t callbackMessage = 1524;  // WM_USER + 500
    std::uint32_t iconResource = 113;
    std::string tooltip;       // at most 128 units
    std::string balloonText;   // at most 256 units
    std::string balloonTitle;  // at most 64 units
    std::uint32_t timeout = 3;
    std::uint32_t infoFlags = 1;  // NIIF_INFO
};

class Desktop {
  public:
    virtual ~Desktop() = default;
    // Shows a modal box and returns the answer id (kIdOk, kIdCancel, kIdYes, kIdNo).
    virtual int messageBox(const std::string& text, const std::string& caption, std::uint32_t style,
                           WindowRef owner) = 0;
    // The same box with a longer text the user can unfold. A desktop without such a box
    // shows the main text alone.
    virtual int messageBoxWithDetails(const std::string& text, const std::string& details,
                                      const std::string& caption, std::uint32_t style,
                                      WindowRef owner) {
        (void)details;
        return messageBox(text, caption, style, owner);
    }
    virtual bool trayAdd(const TrayNotice& notice) = 0;
    virtual bool trayModify(const TrayNotice& notice) = 0;
    virtual bool openUrl(const std::string& url) = 0;
};

}  // namespace kestrune
