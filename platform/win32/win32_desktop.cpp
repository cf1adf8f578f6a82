#include "platform/win32/win32_desktop.h"

#include <cstring>
#include <string>

#include "platform/win32/win32_text.h"

namespace kestrune::win32 {

// The record the shell has known since Vista, balloon icon included, as the shipped
// 32-bit program hands it over (the 64-bit test build has wider handles).
static_assert(sizeof(void*) != 4 || sizeof(NOTIFYICONDATAW) == 956,
              "the full notification-icon record");

namespace {

// Copies text into a fixed field, cut to fit with its terminator; a cut never splits a
// surrogate pair.
template <std::size_t N>
void copyField(wchar_t (&field)[N], const std::string& utf8) {
    const std::wstring wide = widen(utf8);
    std::size_t n = wide.size() < N ? wide.size() : N - 1;
    if (n < wide.size() && n > 0 && wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) {
        --n;
    }
    std::memcpy(field, wide.data(), n * sizeof(wchar_t));
    field[n] = L'\0';
}

}  // namespace

NOTIFYICONDATAW notifyIconData(const TrayNotice& notice, HINSTANCE module) {
    NOTIFYICONDATAW data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    data.hWnd = windowOf(notice.owner);
    data.uID = notice.id;
    data.uFlags = notice.flags;
    data.uCallbackMessage = notice.callbackMessage;
    // Shared: the system owns it, so it is loaded afresh on every call and never freed.
    const int size = GetSystemMetrics(SM_CXSMICON);
    data.hIcon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(notice.iconResource),
                                               IMAGE_ICON, size, size, LR_SHARED));
    copyField(data.szTip, notice.tooltip);
    copyField(data.szInfo, notice.balloonText);
    copyField(data.szInfoTitle, notice.balloonTitle);
    data.uTimeout = notice.timeout;
    data.dwInfoFlags = notice.infoFlags;
    return data;
}

int Win32Desktop::messageBox(const std::string& text, const std::string& caption,
                             std::uint32_t style, WindowRef owner) {
    return MessageBoxW(windowOf(owner), widen(text).c_str(), widen(caption).c_str(), style);
}

bool Win32Desktop::notify(DWORD message, const char* name, const TrayNotice& notice) {
    NOTIFYICONDATAW data = notifyIconData(notice, module_);
    const BOOL ok = Shell_NotifyIconW(message, &data);
    // The only sign, when the output is kept, that the shell took the icon or notice.
    trace_.outf("Shell_NotifyIconW(%s) returned %d\r\n", name, ok ? 1 : 0);
    return ok != FALSE;
}

bool Win32Desktop::trayAdd(const TrayNotice& notice) {
    return notify(NIM_ADD, "NIM_ADD", notice);
}

bool Win32Desktop::trayModify(const TrayNotice& notice) {
    return notify(NIM_MODIFY, "NIM_MODIFY", notice);
}

bool Win32Desktop::openUrl(const std::string& url) {
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", widen(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    // Values above 32 mean success.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace kestrune::win32
