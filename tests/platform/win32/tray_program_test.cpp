// kestrune.exe end to end under Wine: the program the build made, run as a child process
// over Wine's stores and registry, driven through its windows with messages.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>

#include <string>
#include <vector>

#include "app/startup.h"
#include "inventory/certificate_record.h"
#include "tests/platform/win32/added_certificate.h"
#include "tests/platform/win32/gui_driver.h"
#include "tests/support/test_certificate.h"
#include "ui/update_check.h"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using testing::answerBox;
using testing::ChildProcess;
using testing::controlText;
using testing::findDialog;
using testing::listItemCount;
using testing::messageBoxText;
using testing::pauseForLook;
using testing::pressButton;
using testing::remoteListCell;
using testing::topWindows;
using testing::waitForDialog;
using testing::waitForWindow;
using testing::waitUntil;

constexpr const wchar_t* kMaker = L"Software\\Brimtal Software";
constexpr const wchar_t* kKey = L"Software\\Brimtal Software\\Kestrune";
constexpr UINT kTrayCallback = WM_USER + 500;
constexpr WPARAM kTrayIconId = 1124;
constexpr int kIdExit = 40002;
constexpr int kIdAbout = 40003;
constexpr auto kStartTimeout = 120s;  // a first start scans every store under Wine
constexpr auto kStepTimeout = 60s;

const char* const kTrayAdded = "Shell_NotifyIconW(NIM_ADD) returned 1";
const char* const kTrayModified = "Shell_NotifyIconW(NIM_MODIFY) returned 1";
const char* const kLoaded = "registry_settings_load() retuend: 1";

std::wstring buildDirectory() {
    // test_win32.exe lives in tests/platform/win32 of the build tree.
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    for (int up = 0; up < 4; ++up) {
        path.erase(path.find_last_of(L"\\/"));
    }
    return path;
}

std::wstring kestruneProgram() {
    return buildDirectory() + L"\\kestrune.exe";
}

void forgetBaseline() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMaker);
    RegDeleteTreeW(HKEY_CURRENT_USER, kMaker);
}

// "Certificate Count" under the machine root, as the decimal text it is stored as, and
// the size of "Certificate Data"; -1 when missing.
long storedCount(DWORD* dataBytes) {
    wchar_t text[32] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"Certificate Count", RRF_RT_ANY | RRF_NOEXPAND,
                     &type, text, &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return -1;
    }
    *dataBytes = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"Certificate Data", RRF_RT_ANY, &type, nullptr,
                     dataBytes) != ERROR_SUCCESS ||
        type != REG_BINARY) {
        return -1;
    }
    return std::wcstol(text, nullptr, 10);
}

// The hidden main window of the process: class "Kestrune", title "Brimtal Kestrune".
HWND mainWindowOf(DWORD processId) {
    return waitForWindow(
        [&]() -> HWND {
            for (const auto& w : topWindows(processId)) {
                if (w.className == L"Kestrune" && w.caption == L"Brimtal Kestrune") {
                    return w.hwnd;
                }
            }
            return nullptr;
        },
        kStepTimeout);
}

// Every visible dialog or message box of the process.
std::vector<std::wstring> visibleDialogs(DWORD processId) {
    std::vector<std::wstring> captions;
    for (const auto& w : topWindows(processId)) {
        if (w.visible && w.className == L"#32770") {
            captions.push_back(w.caption);
        }
    }
    return captions;
}

// Answers the two first-start boxes; the summary's text.
std::wstring passFirstStart(ChildProcess& program) {
    const HWND announcement = waitForDialog(program.id(), L"Brimtal Kestrune", kStartTimeout);
    if (announcement == nullptr) {
        ADD_FAILURE() << "no first-start announcement; output:\n" << program.output();
        return {};
    }
    pauseForLook("first-start announcement");
    EXPECT_EQ(messageBoxText(announcement), testing::widenText(kFirstStartText));
    pressButton(announcement, IDOK);
    const HWND summary =
        waitForDialog(program.id(), L"Brimtal Kestrune - Certificate Baseline", kStartTimeout);
    if (summary == nullptr) {
        ADD_FAILURE() << "no baseline summary; output:\n" << program.output();
        return {};
    }
    pauseForLook("first-start summary");
    const std::wstring text = messageBoxText(summary);
    pressButton(summary, IDOK);
    return text;
}

// The first hourly cycle's comparison lines, then its reload of the baseline.
bool firstCycleEnded(const ChildProcess& program) {
    const std::size_t compared =
        program.waitForOutput("iCertificateCountTotal_Registry = ", kStepTimeout);
    return compared != std::string::npos &&
           program.waitForOutput("Total Count in Registry", kStepTimeout, compared) !=
               std::string::npos;
}

void exitThroughTheMenuCommand(ChildProcess& program, HWND mainWindow) {
    PostMessageW(mainWindow, WM_COMMAND, kIdExit, 0);
    DWORD status = 12345;
    ASSERT_TRUE(program.waitForExit(kStepTimeout, &status)) << "Exit did not end the program";
    EXPECT_EQ(status, 0u);
}

// The visible popup menu of the process (class #32768), or null.
HWND contextMenuOf(DWORD processId) {
    for (const auto& w : topWindows(processId)) {
        if (w.visible && w.className == L"#32768") {
            return w.hwnd;
        }
    }
    return nullptr;
}

void openContextMenu(DWORD processId, HWND mainWindow) {
    PostMessageW(mainWindow, kTrayCallback, kTrayIconId, WM_RBUTTONUP);
    ASSERT_NE(waitForWindow([&] { return contextMenuOf(processId); }, kStepTimeout), nullptr)
        << "no context menu";
}

TEST(TrayProgram, FirstStartEchoesTheArgumentsThenRecordsAndAnnouncesTheBaseline) {
    forgetBaseline();
    ChildProcess program(kestruneProgram(), L"alpha \"beta gamma\"");
    ASSERT_TRUE(program.started()) << program.startError();
    const DWORD pid = program.id();

    // Three boxes in order: the program path and the two arguments.
    EXPECT_EQ(answerBox(pid, L"Arglist contents", IDOK, kStartTimeout), kestruneProgram());
    EXPECT_EQ(answerBox(pid, L"Arglist contents", IDOK, kStepTimeout), L"alpha");
    EXPECT_EQ(answerBox(pid, L"Arglist contents", IDOK, kStepTimeout), L"beta gamma");

    const std::wstring summary = passFirstStart(program);
    ASSERT_FALSE(summary.empty());
    int unique = -1;
    int total = -1;
    ASSERT_EQ(std::swscanf(summary.c_str(),
                           L"Brimtal Kestrune discovered the following certificates and has "
                           L"recorded a baseline:\r\n\r\nUnique Certificates: %d certificates"
                           L"\r\nAll certificates in all stores: %d",
                           &unique, &total),
              2)
        << testing::narrowText(summary);
    EXPECT_EQ(summary, testing::widenText(baselineSummaryText(unique, total)));
    EXPECT_GT(unique, 0) << "Wine's stores hold root certificates";
    EXPECT_GE(total, unique);

    // The baseline is in the registry before the first load, which reports success.
    ASSERT_NE(program.waitForOutput(kLoaded, kStepTimeout), std::string::npos) << program.output();
    DWORD dataBytes = 0;
    EXPECT_EQ(storedCount(&dataBytes), total);
    EXPECT_EQ(dataBytes, static_cast<DWORD>(total) * kRecordSize);

    // The first hourly cycle starts at once and runs to its reload.
    EXPECT_TRUE(firstCycleEnded(program)) << program.output();

    // The hidden window: never shown, the overlapped style, the class's menu.
    const HWND main = mainWindowOf(pid);
    ASSERT_NE(main, nullptr) << program.output();
    EXPECT_FALSE(IsWindowVisible(main));
    EXPECT_EQ(GetWindowLongW(main, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
    EXPECT_NE(GetMenu(main), nullptr);

    // The icon reaches the tray after the start-up pause.
    EXPECT_NE(program.waitForOutput(kTrayAdded, kStepTimeout), std::string::npos)
        << program.output();

    exitThroughTheMenuCommand(program, main);
}

TEST(TrayProgram, NoArgumentsNoEchoAndALaterStartShowsNoBoxAtAll) {
    forgetBaseline();
    {
        ChildProcess first(kestruneProgram(), L"");
        ASSERT_TRUE(first.started()) << first.startError();
        // The first box is the announcement: no "Arglist contents" box before it.
        const HWND box = waitForWindow(
            [&]() -> HWND {
                for (const auto& w : topWindows(first.id())) {
                    if (w.visible && w.className == L"#32770") {
                        return w.hwnd;
                    }
                }
                return nullptr;
            },
            kStartTimeout);
        ASSERT_NE(box, nullptr) << first.output();
        EXPECT_EQ(testing::windowText(box), L"Brimtal Kestrune");
        ASSERT_FALSE(passFirstStart(first).empty());
        const HWND main = mainWindowOf(first.id());
        ASSERT_NE(first.waitForOutput(kTrayAdded, kStepTimeout), std::string::npos);
        exitThroughTheMenuCommand(first, main);
    }

    // The baseline is there now: the next start asks nothing and shows nothing.
    ChildProcess later(kestruneProgram(), L"");
    ASSERT_TRUE(later.started()) << later.startError();
    std::vector<std::wstring> seen;
    const bool added = waitUntil(
        [&] {
            for (const std::wstring& caption : visibleDialogs(later.id())) {
                seen.push_back(caption);
            }
            return later.output().find(kTrayAdded) != std::string::npos;
        },
        kStartTimeout);
    ASSERT_TRUE(added) << later.output();
    EXPECT_TRUE(seen.empty()) << "a box appeared: " << testing::narrowText(seen.front());
    EXPECT_NE(later.output().find(kLoaded), std::string::npos);
    exitThroughTheMenuCommand(later, mainWindowOf(later.id()));
}

TEST(TrayProgram, TrayAndMenuOpenTheDialogsAndTheIconComesBackAfterAShellRestart) {
    forgetBaseline();
    ChildProcess program(kestruneProgram(), L"");
    ASSERT_TRUE(program.started()) << program.startError();
    const DWORD pid = program.id();
    ASSERT_FALSE(passFirstStart(program).empty());
    const HWND main = mainWindowOf(pid);
    ASSERT_NE(main, nullptr);
    ASSERT_NE(program.waitForOutput(kTrayAdded, kStepTimeout), std::string::npos)
        << program.output();
    ASSERT_TRUE(firstCycleEnded(program)) << program.output();

    // A double-click on the icon opens the certificates dialog with its rows.
    PostMessageW(main, kTrayCallback, kTrayIconId, WM_LBUTTONDBLCLK);
    const HWND certificates = waitForDialog(pid, L"Brimtal Kestrune - Certificates", kStepTimeout);
    ASSERT_NE(certificates, nullptr) << program.output();
    const HWND list = GetDlgItem(certificates, 1001);
    ASSERT_NE(list, nullptr);
    ASSERT_TRUE(waitUntil([&] { return listItemCount(list) > 0; }, kStepTimeout));
    const int grouped = listItemCount(list);
    const std::wstring countText = controlText(certificates, 1005);
    int total = -1;
    ASSERT_EQ(
        std::swscanf(countText.c_str(), L"Count of every certificate in every store: %d", &total),
        1)
        << testing::narrowText(countText);
    EXPECT_LE(grouped, total);
    EXPECT_EQ(controlText(certificates, 1002).rfind(L"Unique Certificates: ", 0), 0u);
    EXPECT_EQ(controlText(certificates, 1003).rfind(L"Last Scan: 20", 0), 0u)
        << "the first cycle has stamped its time";
    EXPECT_EQ(remoteListCell(pid, list, 0, 2).rfind(L"Store count: ", 0), 0u);
    EXPECT_FALSE(remoteListCell(pid, list, 0, 0).empty());
    EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0), 325);
    EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0), 260);
    EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 2, 0), 200);
    EXPECT_TRUE(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_FULLROWSELECT);
    pauseForLook("certificates dialog");

    // Expanded: one row per record the table holds, which after a cycle is the reloaded
    // baseline, whatever count the cycle's scan reached (in a fresh Wine prefix the first
    // scan finds half the records later scans find).
    DWORD bytes = 0;
    const long records = storedCount(&bytes);
    EXPECT_LE(records, total);
    PostMessageW(GetDlgItem(certificates, 1004), BM_CLICK, 0, 0);
    EXPECT_TRUE(waitUntil([&] { return listItemCount(list) == records; }, kStepTimeout))
        << listItemCount(list) << " rows, " << records << " records";
    PostMessageW(GetDlgItem(certificates, 1004), BM_CLICK, 0, 0);
    EXPECT_TRUE(waitUntil([&] { return listItemCount(list) == grouped; }, kStepTimeout));

    // Scan Now runs a cycle on the UI thread; its notice reaches the tray.
    const std::size_t before = program.output().size();
    pressButton(certificates, 1006);
    EXPECT_NE(program.waitForOutput(kTrayModified, kStepTimeout, before), std::string::npos)
        << program.output().substr(before);
    // The dialog's thread enables its controls one after the other: wait for all of them.
    EXPECT_TRUE(waitUntil(
        [&] {
            return IsWindowEnabled(GetDlgItem(certificates, 1006)) && IsWindowEnabled(list) &&
                   IsWindowEnabled(GetDlgItem(certificates, 1004));
        },
        kStepTimeout));
    EXPECT_GT(listItemCount(list), 0);

    // Enter leaves the dialog open; Escape closes it. The dialog's thread handles what is
    // posted to it in order: once a column width posted after Enter is set, Enter was
    // handled.
    pressButton(certificates, IDOK);
    PostMessageW(list, LVM_SETCOLUMNWIDTH, 2, MAKELPARAM(201, 0));
    EXPECT_TRUE(waitUntil([&] { return SendMessageW(list, LVM_GETCOLUMNWIDTH, 2, 0) == 201; },
                          kStepTimeout));
    EXPECT_TRUE(IsWindowVisible(certificates));
    pressButton(certificates, IDCANCEL);
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(certificates); }, kStepTimeout));

    // The right-click menu; its "&About" item opens the About dialog. (Wine keeps a
    // menu's items in its own process, so they are chosen here by their mnemonics.)
    openContextMenu(pid, main);
    PostMessageW(contextMenuOf(pid), WM_CHAR, L'a', 0);
    const HWND about = waitForDialog(pid, L"Brimtal Kestrune", kStepTimeout);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(controlText(about, 1006), L"Check for Updates");
    pauseForLook("about dialog");
    // Check for Updates asks first, owned by the dialog; Cancel sends nothing and shows
    // nothing more.
    pressButton(about, 1006);
    const HWND confirm = waitForDialog(pid, L"Brimtal Kestrune: Check for updates", kStepTimeout);
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(GetWindow(confirm, GW_OWNER), about);
    EXPECT_EQ(messageBoxText(confirm), testing::widenText(kUpdateConfirmText));
    pressButton(confirm, IDCANCEL);
    EXPECT_TRUE(waitUntil([&] { return !IsWindowVisible(confirm); }, kStepTimeout));
    EXPECT_EQ(visibleDialogs(pid), std::vector<std::wstring>{L"Brimtal Kestrune"});
    pressButton(about, IDCANCEL);
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(about); }, kStepTimeout));
    // The dialog's Cancel was handled after all the cancelled check did: it left no box.
    EXPECT_TRUE(visibleDialogs(pid).empty());

    // The About command itself opens it too.
    PostMessageW(main, WM_COMMAND, kIdAbout, 0);
    const HWND aboutAgain = waitForDialog(pid, L"Brimtal Kestrune", kStepTimeout);
    ASSERT_NE(aboutAgain, nullptr);
    pressButton(aboutAgain, IDOK);
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(aboutAgain); }, kStepTimeout));

    // A restarted shell has forgotten the icon and announces its new taskbar: the icon
    // is added again (an add while the shell still had it would fail).
    NOTIFYICONDATAW forget = {};
    forget.cbSize = sizeof forget;
    forget.hWnd = main;
    forget.uID = kTrayIconId;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &forget));
    const std::size_t beforeRestart = program.output().size();
    PostMessageW(main, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_NE(program.waitForOutput(kTrayAdded, kStepTimeout, beforeRestart), std::string::npos)
        << program.output().substr(beforeRestart);

    // "E&xit" from the menu ends the process at once with status 0.
    openContextMenu(pid, main);
    PostMessageW(contextMenuOf(pid), WM_CHAR, L'x', 0);
    DWORD status = 12345;
    ASSERT_TRUE(program.waitForExit(kStepTimeout, &status)) << "Exit did not end the program";
    EXPECT_EQ(status, 0u);
}

// The hourly cycle's warning waits for the user on the main thread: the tray, the list
// and Exit keep working meanwhile, and Scan Now waits its turn instead of blocking.
TEST(TrayProgram, WhileTheHourlyCycleWaitsForTheUserTheTrayAndListStayUsable) {
    forgetBaseline();
    ChildProcess program(kestruneProgram(), L"");
    ASSERT_TRUE(program.started()) << program.startError();
    const DWORD pid = program.id();
    const HWND announcement = waitForDialog(pid, L"Brimtal Kestrune", kStartTimeout);
    ASSERT_NE(announcement, nullptr) << program.output();
    pressButton(announcement, IDOK);
    const HWND summary =
        waitForDialog(pid, L"Brimtal Kestrune - Certificate Baseline", kStartTimeout);
    ASSERT_NE(summary, nullptr) << program.output();
    // Added after the first-start scan, before the first hourly one.
    testing::AddedCertificate added(L"My");
    ASSERT_TRUE(added.ok());
    pressButton(summary, IDOK);
    DWORD bytes = 0;
    ASSERT_TRUE(waitUntil([&] { return storedCount(&bytes) > 0; }, kStepTimeout));
    const long firstBaseline = storedCount(&bytes);

    // The hourly cycle reports the new certificate and waits.
    const HWND warning = waitForDialog(pid, L"Brimtal Kestrune - Certificate Added", kStepTimeout);
    ASSERT_NE(warning, nullptr) << program.output();
    EXPECT_NE(
        testing::narrowText(messageBoxText(warning)).find(testing::test_certificate::kRecordName),
        std::string::npos);

    // Meanwhile: the icon comes, the list opens, and Scan Now waits without freezing.
    ASSERT_NE(program.waitForOutput(kTrayAdded, kStepTimeout), std::string::npos);
    const HWND main = mainWindowOf(pid);
    PostMessageW(main, kTrayCallback, kTrayIconId, WM_LBUTTONDBLCLK);
    const HWND certificates = waitForDialog(pid, L"Brimtal Kestrune - Certificates", kStepTimeout);
    ASSERT_NE(certificates, nullptr);
    EXPECT_GT(listItemCount(GetDlgItem(certificates, 1001)), 0);
    pressButton(certificates, 1006);
    const HWND scanNow = GetDlgItem(certificates, 1006);
    EXPECT_TRUE(waitUntil([&] { return !IsWindowEnabled(scanNow); }, kStepTimeout));
    // A deliberate pause to see nothing happen: a scan that wrongly ran now would end and
    // enable the button again.
    Sleep(1000);
    EXPECT_FALSE(IsWindowEnabled(scanNow)) << "Scan Now ran while a cycle was running";
    DWORD_PTR ignored = 0;
    EXPECT_NE(SendMessageTimeoutW(
                  certificates, WM_NULL, 0, 0, SMTO_ABORTIFHUNG,
                  static_cast<UINT>(std::chrono::milliseconds(kStepTimeout).count()), &ignored),
              0)
        << "the user-interface thread does not answer";
    EXPECT_TRUE(IsWindowVisible(warning));

    // The hourly cycle's turn ends (No: nothing saved); then the user scan runs on the
    // dialog's thread, finds the same certificate, and this time it is saved.
    pressButton(warning, IDOK);
    EXPECT_FALSE(
        answerBox(pid, L"Brimtal Kestrune - Certificate Changes", IDNO, kStepTimeout).empty());
    EXPECT_EQ(storedCount(&bytes), firstBaseline);
    const std::size_t beforeUserScan = program.output().size();
    EXPECT_FALSE(
        answerBox(pid, L"Brimtal Kestrune - Certificate Added", IDOK, kStepTimeout).empty());
    EXPECT_FALSE(
        answerBox(pid, L"Brimtal Kestrune - Certificate Changes", IDYES, kStepTimeout).empty());
    EXPECT_NE(program.waitForOutput(kTrayModified, kStepTimeout, beforeUserScan),
              std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return IsWindowEnabled(scanNow) != 0; }, kStepTimeout));
    EXPECT_GT(storedCount(&bytes), firstBaseline);

    exitThroughTheMenuCommand(program, main);
}

TEST(TrayProgram, ACertificateAddedAfterACycleIsReportedWithoutWaitingForTheHour) {
    forgetBaseline();
    ChildProcess program(kestruneProgram(), L"");
    ASSERT_TRUE(program.started()) << program.startError();
    const DWORD pid = program.id();
    ASSERT_FALSE(passFirstStart(program).empty());
    ASSERT_TRUE(firstCycleEnded(program)) << program.output();
    const std::size_t afterFirstCycle = program.output().size();

    // The program now sleeps towards its hourly cycle; the store's registry key changes.
    const ULONGLONG added = GetTickCount64();
    testing::AddedCertificate certificate(L"My");
    ASSERT_TRUE(certificate.ok());
    const HWND warning = waitForDialog(pid, L"Brimtal Kestrune - Certificate Added", kStepTimeout);
    ASSERT_NE(warning, nullptr) << program.output().substr(afterFirstCycle);
    std::printf("the added certificate's box came %llu ms after the store changed\n",
                GetTickCount64() - added);
    EXPECT_NE(
        testing::narrowText(messageBoxText(warning)).find(testing::test_certificate::kRecordName),
        std::string::npos);
    // The described cycle, not a user's: the same boxes, nothing stored on No.
    pressButton(warning, IDOK);
    EXPECT_FALSE(
        answerBox(pid, L"Brimtal Kestrune - Certificate Changes", IDNO, kStepTimeout).empty());
    exitThroughTheMenuCommand(program, mainWindowOf(pid));
}

}  // namespace
}  // namespace kestrune
