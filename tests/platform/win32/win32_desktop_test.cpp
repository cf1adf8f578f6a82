// The notification-icon record as the Win32 desktop fills it from a notice.
#include "platform/win32/desktop/win32_desktop.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ui/tray.h"

namespace kestrune {
namespace {

TEST(Win32Desktop, NotifyIconRecordCarriesTheNoticeAndNothingElse) {
    const HINSTANCE module = GetModuleHandleW(nullptr);  // the test links the resources
    const HWND owner = reinterpret_cast<HWND>(0x1234);
    const TrayNotice notice = makeTrayNotice(
        win32::refOf(owner), "Brimtal Kestrune\r\nTotal Certificate Count: 7", "Initializing...");
    NOTIFYICONDATAW data = win32::notifyIconData(notice, module);

    EXPECT_EQ(data.cbSize, sizeof(NOTIFYICONDATAW));  // 956 bytes in the 32-bit program
    EXPECT_EQ(data.hWnd, owner);
    EXPECT_EQ(data.uID, 1124u);
    EXPECT_EQ(data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO));
    EXPECT_EQ(data.uCallbackMessage, static_cast<UINT>(WM_USER + 500));
    EXPECT_STREQ(data.szTip, L"Brimtal Kestrune\r\nTotal Certificate Count: 7");
    EXPECT_STREQ(data.szInfo, L"Initializing...");
    EXPECT_STREQ(data.szInfoTitle, L"Brimtal Kestrune");
    EXPECT_EQ(data.uTimeout, 3u);
    EXPECT_EQ(data.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));

    // Icon 113 at the small-icon size.
    ASSERT_NE(data.hIcon, nullptr);
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(data.hIcon, &info));
    BITMAP bitmap = {};
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, GetSystemMetrics(SM_CXSMICON));
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    // Shared: the same icon every time, owned by the system.
    EXPECT_EQ(win32::notifyIconData(notice, module).hIcon, data.hIcon);

    // Everything else zero.
    NOTIFYICONDATAW rest = data;
    rest.cbSize = 0;
    rest.hWnd = nullptr;
    rest.uID = 0;
    rest.uFlags = 0;
    rest.uCallbackMessage = 0;
    rest.hIcon = nullptr;
    std::memset(rest.szTip, 0, sizeof rest.szTip);
    std::memset(rest.szInfo, 0, sizeof rest.szInfo);
    std::memset(rest.szInfoTitle, 0, sizeof rest.szInfoTitle);
    rest.uTimeout = 0;
    rest.dwInfoFlags = 0;
    NOTIFYICONDATAW zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&rest, &zero, sizeof zero), 0);
}

TEST(Win32Desktop, OverlongTextsAreCutInsideTheirFieldsWithoutHalfACharacter) {
    TrayNotice notice;
    // 126 letters and a character outside the basic plane: its second half would be
    // unit 128, past the 127 units a tooltip can hold.
    notice.tooltip = std::string(126, 't') + "\xF0\x9F\x94\x92";
    notice.balloonText = std::string(400, 'b');
    notice.balloonTitle = std::string(80, 'T');
    const NOTIFYICONDATAW data = win32::notifyIconData(notice, GetModuleHandleW(nullptr));
    EXPECT_EQ(std::wstring(data.szTip), std::wstring(126, L't'));
    EXPECT_EQ(std::wstring(data.szInfo), std::wstring(255, L'b'));
    EXPECT_EQ(std::wstring(data.szInfoTitle), std::wstring(63, L'T'));
}

// Every box the program shows, as the style word MessageBoxW has always been given. The
// numbers are written out, not built from the platform's macros.
TEST(Win32Desktop, EachIntentIsTheStyleWordItAlwaysWas) {
    const struct {
        const char* box;
        Severity severity;
        bool asServiceNotification;
        UINT style;
    } messages[] = {
        {"argument echo", Severity::plain, false, 0x0},
        {"first start, summary, newest version", Severity::information, false, 0x40},
        {"certificate added/missing, unreadable store", Severity::warning, false, 0x30},
        {"load failure, save failure, update check failed", Severity::error, false, 0x10},
        {"settings key failure", Severity::error, true, 0x200010},
    };
    for (const auto& m : messages) {
        SCOPED_TRACE(m.box);
        EXPECT_EQ(win32::messageBoxStyle(Message{.severity = m.severity,
                                                 .asServiceNotification = m.asServiceNotification}),
                  m.style);
    }
    const struct {
        const char* box;
        Severity severity;
        Choice choice;
        Answer byDefault;
        UINT style;
    } questions[] = {
        {"update check confirmation", Severity::plain, Choice::okCancel, Answer::ok, 0x1},
        {"OK/Cancel, Cancel the default", Severity::plain, Choice::okCancel, Answer::cancel, 0x101},
        {"visit the product page", Severity::information, Choice::yesNo, Answer::yes, 0x44},
        {"save the changes", Severity::warning, Choice::yesNo, Answer::yes, 0x34},
        {"save the listed changes", Severity::warning, Choice::yesNo, Answer::no, 0x134},
    };
    for (const auto& q : questions) {
        SCOPED_TRACE(q.box);
        EXPECT_EQ(win32::messageBoxStyle(Question{
                      .severity = q.severity, .choice = q.choice, .byDefault = q.byDefault}),
                  q.style);
    }
}

TEST(Win32Desktop, EachBoxResultIsItsAnswer) {
    const struct {
        int id;
        Answer answer;
    } cases[] = {{1, Answer::ok}, {2, Answer::cancel}, {6, Answer::yes},
                 {7, Answer::no}, {0, Answer::none},   {3, Answer::none}};
    for (const auto& c : cases) {
        EXPECT_EQ(win32::answerOf(c.id), c.answer) << c.id;
    }
}

}  // namespace
}  // namespace kestrune
