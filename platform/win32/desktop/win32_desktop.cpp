#include "platform/win32/desktop/win32_desktop.h"

#include <cstring>
#include <string>

#include "platform/win32/win32_text.h"
#include "resources/win32/resource.h"

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
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    data.uCallbackMessage = kTrayCallbackMessage;
    // Shared: the system owns it, so it is loaded afresh on every call and never freed.
    const int size = GetSystemMetrics(SM_CXSMICON);
    data.hIcon = static_cast<HICON>(
        LoadImageW(module, MAKEINTRESOURCEW(IDI_KESTRUNE), IMAGE_ICON, size, size, LR_SHARED));
    copyField(data.szTip, notice.tooltip);
    copyField(data.szInfo, notice.balloonText);
    copyField(data.szInfoTitle, notice.balloonTitle);
    data.uTimeout = 3;
    data.dwInfoFlags = NIIF_INFO;
    return data;
}

namespace {

UINT iconOf(Severity severity) {
    switch (severity) {
        case Severity::information:
            return MB_ICONINFORMATION;
        case Severity::warning:
            return MB_ICONWARNING;
        case Severity::error:
            return MB_ICONERROR;
        case Severity::plain:
            break;
    }
    return 0;
}

}  // namespace

UINT messageBoxStyle(const Message& message) {
    return MB_OK | iconOf(message.severity) |
           (message.asServiceNotification ? MB_SERVICE_NOTIFICATION : 0);
}

UINT messageBoxStyle(const Question& question) {
    const UINT buttons = question.choice == Choice::yesNo ? MB_YESNO : MB_OKCANCEL;
    // The first button (Yes, OK) is the box's own default.
    const bool second = question.byDefault == Answer::no || question.byDefault == Answer::cancel;
    return buttons | iconOf(question.severity) | (second ? MB_DEFBUTTON2 : 0);
}

Answer answerOf(int id) {
    switch (id) {
        case IDOK:
            return Answer::ok;
        case IDCANCEL:
            return Answer::cancel;
        case IDYES:
            return Answer::yes;
        case IDNO:
            return Answer::no;
        default:
            return Answer::none;
    }
}

void Win32Desktop::inform(const Message& message) {
    MessageBoxW(windowOf(message.owner), widen(message.text).c_str(),
                widen(message.caption).c_str(), messageBoxStyle(message));
}

Answer Win32Desktop::ask(const Question& question) {
    return answerOf(MessageBoxW(windowOf(question.owner), widen(question.text).c_str(),
                                widen(question.caption).c_str(), messageBoxStyle(question)));
}

bool Win32Desktop::notify(DWORD message, const char* name, const TrayNotice& notice) {
    NOTIFYICONDATAW data = notifyIconData(notice, module_);
    const BOOL ok = Shell_NotifyIconW(message, &data);
    // The only sign, when the output is kept, that the shell took the icon or notice.
    trace_.outf("Shell_NotifyIconW(%s) returned %d\r\n", name, ok ? 1 : 0);
    return ok != FALSE;
}

bool Win32Desktop::addTrayIcon(const TrayNotice& notice) {
    return notify(NIM_ADD, "NIM_ADD", notice);
}

bool Win32Desktop::updateTrayNotice(const TrayNotice& notice) {
    return notify(NIM_MODIFY, "NIM_MODIFY", notice);
}

bool Win32Desktop::openUrl(const std::string& url) {
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", widen(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    // Values above 32 mean success.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace kestrune::win32
