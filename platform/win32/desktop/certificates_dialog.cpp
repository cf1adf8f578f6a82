#include "platform/win32/desktop/certificates_dialog.h"

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/win32_text.h"
#include "resources/win32/resource.h"

namespace kestrune::win32 {

namespace {

constexpr UINT_PTR kRetryTimer = 1;

// Per dialog: the context it was opened with and its Scan Now.
struct DialogState {
    CertificatesDialogContext* context = nullptr;
    std::optional<ScanNow> userScan;  // with a context only
};

DialogState* stateOf(HWND dialog) {
    return reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

HWND listOf(HWND dialog) {
    return GetDlgItem(dialog, IDC_CERTIFICATE_LIST);
}

// A cell as the list holds it: at most 255 units, never half a surrogate pair.
std::wstring cellText(const std::string& utf8) {
    std::wstring wide = widen(utf8);
    if (wide.size() > kListCellUnits) {
        std::size_t n = kListCellUnits;
        if (wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) {
            --n;
        }
        wide.resize(n);
    }
    return wide;
}

void insertColumns(HWND list) {
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    for (std::size_t i = 0; i < kCertificateColumnCount; ++i) {
        std::wstring title = widen(kCertificateColumns[i].title);
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.cx = kCertificateColumns[i].width;
        column.pszText = title.data();
        column.iSubItem = static_cast<int>(i);
        SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
}

// The header texts and the rows, expanded when the check box is checked; from the
// coordinator's published copy, never from the tables a cycle may be rewriting.
void fill(HWND dialog, const CertificatesDialogContext& context) {
    const HWND list = listOf(dialog);
    const bool expanded = IsDlgButtonChecked(dialog, IDC_EXPAND_CHECK) == BST_CHECKED;
    const std::shared_ptr<const TableSnapshot> snapshot = context.coordinator.snapshot();
    const CertificateListFill f =
        fillCertificateList(snapshot ? *snapshot : TableSnapshot{}, expanded);

    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    SetDlgItemTextW(dialog, IDC_UNIQUE_TEXT, widen(f.header.uniqueText).c_str());
    SetDlgItemTextW(dialog, IDC_COUNT_TEXT, widen(f.header.countText).c_str());
    SetDlgItemTextW(dialog, IDC_LAST_SCAN_TEXT, widen(f.header.lastScanText).c_str());
    for (std::size_t i = 0; i < f.rows.size(); ++i) {
        const CertificateRow& row = f.rows[i];
        std::wstring text = cellText(row[0]);
        LVITEMW item = {};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = static_cast<int>(i);
        item.lParam = static_cast<LPARAM>(i);  // the row number the column sort goes by
        item.pszText = text.data();
        item.cchTextMax = static_cast<int>(kListCellUnits);
        const auto at = SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        if (at < 0) {
            continue;
        }
        for (std::size_t c = 1; c < kCertificateColumnCount; ++c) {
            std::wstring sub = cellText(row[c]);
            LVITEMW cell = {};
            cell.mask = LVIF_TEXT;
            cell.iItem = static_cast<int>(at);
            cell.iSubItem = static_cast<int>(c);
            cell.pszText = sub.data();
            SendMessageW(list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&cell));
        }
    }
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

std::u16string itemText(HWND list, int index, int column) {
    wchar_t buffer[kListCellUnits + 1] = {};
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = static_cast<int>(kListCellUnits + 1);
    const auto n = SendMessageW(list, LVM_GETITEMTEXTW, index, reinterpret_cast<LPARAM>(&item));
    const std::size_t units = n > 0 ? static_cast<std::size_t>(n) : 0;
    return std::u16string(buffer, buffer + (units < kListCellUnits ? units : kListCellUnits));
}

LPARAM itemParam(HWND list, int index) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = index;
    return SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) ? item.lParam : -1;
}

// The clicked column's cells as the list holds them, by the row number each item
// carries, and the direction to sort them in.
struct SortRequest {
    std::vector<std::u16string> cells;
    const ListSortState* sortState;
};

int CALLBACK compareRows(LPARAM first, LPARAM second, LPARAM parameter) {
    const auto* request = reinterpret_cast<const SortRequest*>(parameter);
    const auto cell = [&](LPARAM row) {
        return row >= 0 && static_cast<std::size_t>(row) < request->cells.size()
                   ? std::u16string_view(request->cells[static_cast<std::size_t>(row)])
                   : std::u16string_view();
    };
    return request->sortState->compareForSort(cell(first), cell(second));
}

// The column's texts are read back from the list first and the items are sorted by the
// numbers they carry (LVM_SORTITEMS). The index-based LVM_SORTITEMSEX would read the
// texts during the sort, but Wine hands its comparison indexes that do not name the rows
// being compared, and the order comes out wrong there.
void sortByColumn(const NMLISTVIEW* click, ListSortState& sortState) {
    if (click->iSubItem < 0 ||
        static_cast<std::size_t>(click->iSubItem) >= kCertificateColumnCount) {
        return;
    }
    const HWND list = click->hdr.hwndFrom;
    const int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    SortRequest request{std::vector<std::u16string>(rows > 0 ? rows : 0), &sortState};
    for (int i = 0; i < rows; ++i) {
        const LPARAM row = itemParam(list, i);
        if (row >= 0 && row < rows) {
            request.cells[static_cast<std::size_t>(row)] = itemText(list, i, click->iSubItem);
        }
    }
    SendMessageW(list, LVM_SORTITEMS, reinterpret_cast<WPARAM>(&request),
                 reinterpret_cast<LPARAM>(&compareRows));
    sortState.afterSort();
}

void setBusy(HWND dialog, bool busy) {
    for (const int id : {IDC_SCAN_NOW, IDC_CERTIFICATE_LIST, IDC_EXPAND_CHECK}) {
        EnableWindow(GetDlgItem(dialog, id), busy ? FALSE : TRUE);
    }
    SetCursor(LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
    if (!busy && GetFocus() == nullptr) {
        // The disabled button lost the focus; give it back so the keyboard works again.
        SendMessageW(dialog, WM_NEXTDLGCTL,
                     reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDC_SCAN_NOW)), TRUE);
    }
}

// Retries come from the message loop, so the tray and Exit keep answering while a
// cycle on the other thread waits for the user.
ScanNow::Actions userScanActions(HWND dialog, CertificatesDialogContext& context) {
    return {
        .disable =
            [dialog] {
                setBusy(dialog, true);
                // The disabled controls on screen before the cycle holds the thread.
                UpdateWindow(dialog);
            },
        .tryScan = context.runUserScan,
        .refill = [dialog, &context] { fill(dialog, context); },
        .enable = [dialog] { setBusy(dialog, false); },
        .scheduleRetry =
            [dialog] { SetTimer(dialog, kRetryTimer, static_cast<UINT>(kScanRetryMs), nullptr); }};
}

void attemptUserScan(ScanNow& userScan) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    userScan.attempt();
}

}  // namespace

INT_PTR CALLBACK certificatesDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    DialogState* state = stateOf(dialog);
    switch (message) {
        case WM_INITDIALOG: {
            auto owned = std::make_unique<DialogState>();
            owned->context = reinterpret_cast<CertificatesDialogContext*>(lParam);
            state = owned.release();
            SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
            insertColumns(listOf(dialog));
            if (state->context) {
                state->userScan.emplace(userScanActions(dialog, *state->context));
                fill(dialog, *state->context);
            }
            return TRUE;
        }
        case WM_COMMAND: {
            if (!state || !state->context) {
                return FALSE;
            }
            const int id = LOWORD(wParam);
            if (id == IDOK) {
                return TRUE;  // Enter: the dialog stays open
            }
            if (id == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            if (id == IDC_SCAN_NOW) {
                if (state->userScan->start()) {
                    attemptUserScan(*state->userScan);
                }
                return TRUE;
            }
            if (id == IDC_EXPAND_CHECK && HIWORD(wParam) == BN_CLICKED) {
                fill(dialog, *state->context);
            }
            return FALSE;
        }
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (state && state->context && header->idFrom == IDC_CERTIFICATE_LIST &&
                header->code == LVN_COLUMNCLICK) {
                sortByColumn(reinterpret_cast<const NMLISTVIEW*>(lParam),
                             state->context->sortState);
            }
            return FALSE;
        }
        case WM_TIMER:
            if (wParam == kRetryTimer && state && state->userScan && state->userScan->pending()) {
                KillTimer(dialog, kRetryTimer);
                attemptUserScan(*state->userScan);
                return TRUE;
            }
            return FALSE;
        case WM_SETCURSOR:
            if (state && state->userScan && state->userScan->pending()) {
                // The wait cursor stays over the dialog while a scan waits for its turn.
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
                return TRUE;
            }
            return FALSE;
        case WM_NCDESTROY:
            KillTimer(dialog, kRetryTimer);
            SetWindowLongPtrW(dialog, DWLP_USER, 0);
            delete state;
            return FALSE;
        default:
            return FALSE;
    }
}

INT_PTR showCertificatesDialog(HINSTANCE module, CertificatesDialogContext& context) {
    return DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_CERTIFICATES), nullptr,
                           certificatesDialogProc, reinterpret_cast<LPARAM>(&context));
}

}  // namespace kestrune::win32
