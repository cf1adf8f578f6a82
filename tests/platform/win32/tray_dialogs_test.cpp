// The certificates and About dialogs in this process, from the same resources
// kestrune.exe carries, over fake stores, a scripted desktop and a fake HTTP client: the
// list and its header, the views, the column sort, Scan Now, Enter and Escape, and
// Check for Updates.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "inventory/scanner.h"
#include "platform/win32/desktop/tray_window.h"
#include "platform/win32/desktop/win32_desktop.h"
#include "tests/platform/win32/gui_driver.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_http.h"
#include "tests/support/fake_program.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_desktop.h"
#include "ui/baseline_messages.h"
#include "ui/update_check.h"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using testing::FakeCert;
using testing::FakeClock;
using testing::FakeHttpClient;
using testing::FakeLocation;
using testing::FakeStore;
using testing::FakeStoreCatalogue;
using testing::makeCert;
using testing::MemorySettings;
using testing::ScriptedDesktop;

// Five certificates: three share one subject hash, two another, spread over two stores.
std::vector<FakeLocation> fiveCertificates() {
    return {FakeLocation{
        "LocalMachine",
        {FakeStore{"CA", {makeCert("delta", {0x0d}, 2), makeCert("Alpha", {0xa1}, 1)}},
         FakeStore{"Root",
                   {makeCert("alpha two", {0x0a, 0x02}, 1), makeCert("Echo", {0xe0}, 2),
                    makeCert("alpha three", {0xa3}, 1)}}}}};
}

// A program's worth of state with the baseline of the fake stores loaded, and the UI's
// side of it, as kestrune.exe has them once its tray icon is up.
struct Program : testing::FakeProgram {
    CycleContext& cycle = context;
    win32::UiProgram ui{program, "http://127.0.0.1:9"};

    Program() {
        stores.locations = fiveCertificates();
        settingsKey = openSettingsKey(settings, desktop);
        scan(state, stores, trace);
        EXPECT_TRUE(
            saveBaseline(*settingsKey, state.mqsCertificates, state.iCertificateCountTotal));
        EXPECT_EQ(registry_settings_load(settingsKey.get(), state, desktop, trace), 1);
        coordinator.publish(state);
        tray.addTrayIcon();
        desktop.clear();
    }
};

struct WindowDestroyer {
    void operator()(HWND window) const { DestroyWindow(window); }
};
using Window = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer>;

Window openCertificates(Program& p) {
    return Window(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(110), nullptr,
                                     win32::certificatesDialogProc,
                                     reinterpret_cast<LPARAM>(&p.ui.certificates)));
}

// Dispatches this thread's messages until `done` holds or the time is up.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

std::wstring cell(HWND list, int row, int column) {
    wchar_t buffer[256] = {};
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 256;
    SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    return buffer;
}

// The list's rows as text, for comparing with the model's rows.
std::vector<CertificateRow> rowsOf(HWND dialog) {
    const HWND list = GetDlgItem(dialog, 1001);
    std::vector<CertificateRow> rows;
    const int n = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        rows.push_back({testing::narrowText(cell(list, i, 0)),
                        testing::narrowText(cell(list, i, 1)),
                        testing::narrowText(cell(list, i, 2))});
    }
    return rows;
}

std::string text(HWND dialog, int id) {
    return testing::narrowText(testing::controlText(dialog, id));
}

void clickColumn(HWND dialog, int column) {
    NMLISTVIEW click = {};
    click.hdr.hwndFrom = GetDlgItem(dialog, 1001);
    click.hdr.idFrom = 1001;
    click.hdr.code = LVN_COLUMNCLICK;
    click.iItem = -1;
    click.iSubItem = column;
    SendMessageW(dialog, WM_NOTIFY, 1001, reinterpret_cast<LPARAM>(&click));
}

std::vector<std::string> column(const std::vector<CertificateRow>& rows, std::size_t c) {
    std::vector<std::string> cells;
    for (const CertificateRow& row : rows) {
        cells.push_back(row[c]);
    }
    return cells;
}

// The five records one row each, in hash order and within a hash in scan order.
const std::vector<CertificateRow> kExpandedRows = {
    {"Alpha", "a1 ", "LocalMachine\\CA"},         {"alpha two", "0a 02 ", "LocalMachine\\Root"},
    {"alpha three", "a3 ", "LocalMachine\\Root"}, {"delta", "0d ", "LocalMachine\\CA"},
    {"Echo", "e0 ", "LocalMachine\\Root"},
};

TEST(CertificatesDialog, ShowsTheSnapshotGroupedThenExpandedWithItsHeader) {
    Program p;
    const Window dialog = openCertificates(p);
    ASSERT_NE(dialog, nullptr) << "dialog 110 not in this program's resources";
    const HWND list = GetDlgItem(dialog.get(), 1001);

    // Columns and full-row selection.
    const wchar_t* titles[] = {L"Certificate Name", L"Serial Number", L"Store Name"};
    const int widths[] = {325, 260, 200};
    for (int c = 0; c < 3; ++c) {
        wchar_t title[64] = {};
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = title;
        column.cchTextMax = 64;
        ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, c, reinterpret_cast<LPARAM>(&column)));
        EXPECT_STREQ(title, titles[c]);
        EXPECT_EQ(column.cx, widths[c]);
    }
    EXPECT_TRUE(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_FULLROWSELECT);

    // Grouped: one row per subject hash, in hash order (the three "alpha" records, then
    // the other two), each with its first record's name, serial and store.
    const std::vector<CertificateRow> grouped = {
        {"Alpha", "a1 ", "Store count: 03     (LocalMachine\\CA...)"},
        {"delta", "0d ", "Store count: 02     (LocalMachine\\CA...)"},
    };
    EXPECT_EQ(rowsOf(dialog.get()), grouped);
    EXPECT_EQ(text(dialog.get(), 1002), "Unique Certificates: 5");
    EXPECT_EQ(text(dialog.get(), 1005), "Count of every certificate in every store: 5");
    EXPECT_EQ(text(dialog.get(), 1003), "Last Scan: 0000-00-00 00:00:00");

    // The check box switches to one row per record and back.
    SendMessageW(GetDlgItem(dialog.get(), 1004), BM_CLICK, 0, 0);
    EXPECT_EQ(IsDlgButtonChecked(dialog.get(), 1004), BST_CHECKED);
    EXPECT_EQ(rowsOf(dialog.get()), kExpandedRows);
    SendMessageW(GetDlgItem(dialog.get(), 1004), BM_CLICK, 0, 0);
    EXPECT_EQ(rowsOf(dialog.get()), grouped);
}

// The order itself is the list model's (tests/core/ui): here, that a column click sorts
// the list by it with the program's one sort state.
TEST(CertificatesDialog, ColumnClicksSortByTheProgramsSortState) {
    Program p;
    const Window dialog = openCertificates(p);
    ASSERT_NE(dialog, nullptr);
    SendMessageW(GetDlgItem(dialog.get(), 1004), BM_CLICK, 0, 0);  // expanded: five rows
    ASSERT_EQ(rowsOf(dialog.get()), kExpandedRows);

    clickColumn(dialog.get(), 0);
    EXPECT_EQ(rowsOf(dialog.get()),
              (std::vector<CertificateRow>{kExpandedRows[0], kExpandedRows[2], kExpandedRows[1],
                                           kExpandedRows[3], kExpandedRows[4]}));
    EXPECT_EQ(p.program.sortState.listSortDirection(), -1);
    clickColumn(dialog.get(), 0);
    EXPECT_EQ(column(rowsOf(dialog.get()), 0),
              (std::vector<std::string>{"Echo", "delta", "alpha two", "alpha three", "Alpha"}));
    EXPECT_EQ(p.program.sortState.listSortDirection(), 1);
}

// The step a modal test runs from inside the dialog's own message loop.
std::function<void(HWND)> modalStep;

BOOL CALLBACK findThreadDialog(HWND window, LPARAM found) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (IsWindowVisible(window) && std::wstring(name) == L"#32770") {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK runModalStep(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), findThreadDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog == nullptr) {
        return;  // not up yet: the next tick
    }
    KillTimer(nullptr, timer);
    auto step = std::move(modalStep);
    modalStep = nullptr;
    if (step) {
        step(dialog);
    }
}

// Opens a dialog modally with no owner; `step` runs once it is up. Its result.
INT_PTR runModal(int resource, DLGPROC procedure, LPARAM parameter,
                 std::function<void(HWND)> step) {
    modalStep = std::move(step);
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, runModalStep);
    const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource),
                                           nullptr, procedure, parameter);
    KillTimer(nullptr, timer);
    modalStep = nullptr;
    return result;
}

TEST(CertificatesDialog, EnterKeepsItOpenAndEscapeEndsItWithTwo) {
    Program p;
    bool stayedOpen = false;
    const INT_PTR result = runModal(110, win32::certificatesDialogProc,
                                    reinterpret_cast<LPARAM>(&p.ui.certificates), [&](HWND dialog) {
                                        SendMessageW(dialog, WM_COMMAND, IDOK, 0);
                                        pumpUntil([] { return false; }, 100ms);
                                        stayedOpen = IsWindowVisible(dialog) != 0;
                                        SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
                                    });
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(result, 2);
}

// The press rule itself is ScanNow's (tests/core/ui): here, that the button runs a user
// cycle with this dialog's controls, retries from the dialog's timer while another
// thread's cycle holds the turn (the thread keeps dispatching), and refills after it.
TEST(CertificatesDialog, ScanNowRunsAUserCycleOnceTheTurnIsFreeAndRefills) {
    Program p;
    const Window dialog = openCertificates(p);
    ASSERT_NE(dialog, nullptr);
    // A new certificate with a hash of its own: the cycle warns, asks, and saves.
    p.stores.locations[0].stores[1].certs.push_back(makeCert("Foxtrot", {0xf0}, 3));
    p.clock.set({2027, 1, 2, 3, 4, 5});
    p.desktop.script({Answer::ok, Answer::yes});
    {
        const auto turn = p.coordinator.tryBegin();
        ASSERT_TRUE(turn);
        SendMessageW(dialog.get(), WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog.get(), 1006)));
        for (const int id : {1001, 1004, 1006}) {
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog.get(), id))) << id;
        }
        EXPECT_TRUE(p.desktop.messageBoxes().empty());
    }
    EXPECT_TRUE(
        pumpUntil([&] { return IsWindowEnabled(GetDlgItem(dialog.get(), 1006)) != 0; }, 60s));
    const auto boxes = p.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Added");
    EXPECT_EQ(rowsOf(dialog.get()).size(), 3u);
    EXPECT_EQ(text(dialog.get(), 1005), "Count of every certificate in every store: 6");
    EXPECT_EQ(text(dialog.get(), 1003), "Last Scan: 2027-01-02 03:04:05");
    for (const int id : {1001, 1004, 1006}) {
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog.get(), id))) << id;
    }

    // A user cycle, not an hourly one: unchanged stores give the user-initiated notice.
    SendMessageW(dialog.get(), WM_COMMAND, 1006, 0);
    EXPECT_EQ(p.desktop.notices().back().notice.balloonText, kNoticeUser);
}

TEST(AboutDialog, CheckForUpdatesAsksOwnedByTheDialogAndCancelSendsNothing) {
    Program p;
    const Window about(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(111), nullptr,
                                          win32::aboutDialogProc,
                                          reinterpret_cast<LPARAM>(&p.ui.about)));
    ASSERT_NE(about, nullptr);
    // The picture static shows bitmap 112.
    const HWND picture = GetWindow(about.get(), GW_CHILD);
    EXPECT_NE(SendMessageW(picture, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);

    p.desktop.script({Answer::cancel});
    SendMessageW(about.get(), WM_COMMAND, 1006, 0);
    auto boxes = p.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kUpdateConfirmCaption);
    EXPECT_EQ(boxes[0].owner, win32::refOf(about.get()));
    EXPECT_TRUE(p.http.requests().empty());

    // OK goes on: one request to the site's version file; its answer has no owner.
    p.desktop.clear();
    p.desktop.script({Answer::ok, Answer::ok});
    p.http.answer(FakeHttpClient::ok("1.0.0"));
    SendMessageW(about.get(), WM_COMMAND, 1006, 0);
    ASSERT_EQ(p.http.requests().size(), 1u);
    EXPECT_EQ(p.http.requests()[0].url, "http://127.0.0.1:9/software/kestrune/CurrentVersion.txt");
    boxes = p.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, kMostCurrentText);
    EXPECT_EQ(boxes[1].owner, kNoOwner);
}

TEST(AboutDialog, EnterAndEscapeEndItWithTheirIds) {
    Program p;
    for (const int id : {IDOK, IDCANCEL}) {
        const INT_PTR result =
            runModal(111, win32::aboutDialogProc, reinterpret_cast<LPARAM>(&p.ui.about),
                     [id](HWND dialog) { SendMessageW(dialog, WM_COMMAND, id, 0); });
        EXPECT_EQ(result, id);
    }
}

}  // namespace
}  // namespace kestrune
