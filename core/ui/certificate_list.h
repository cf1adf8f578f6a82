// The certificates dialog without a toolkit: its layout in dialog units, the header
// texts, the record order, the grouped and expanded rows, and the column sort. Views
// (Win32, Qt) only put these on screen.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/certificate_record.h"
#include "inventory/table_snapshot.h"
#include "ui/certificates_dialog_layout.h"

namespace kestrune {

inline constexpr const char* kCertificatesCaption = CERTIFICATES_DIALOG_CAPTION;

// Control ids of the dialog.
inline constexpr int kIdCertificateList = IDC_CERTIFICATE_LIST;
inline constexpr int kIdUniqueText = IDC_UNIQUE_TEXT;
inline constexpr int kIdLastScanText = IDC_LAST_SCAN_TEXT;
inline constexpr int kIdExpandCheck = IDC_EXPAND_CHECK;
inline constexpr int kIdCountText = IDC_COUNT_TEXT;
inline constexpr int kIdScanNow = IDC_SCAN_NOW;

// A rectangle in dialog units (x, y, width, height).
struct DialogRect {
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
    bool operator==(const DialogRect&) const = default;
};

struct DialogControl {
    int id;
    DialogRect rect;
    const char* initialText;
    bool rightAligned;
};

// The client area, in dialog units.
inline constexpr int kCertificatesDialogWidth = CERTIFICATES_DIALOG_WIDTH;
inline constexpr int kCertificatesDialogHeight = CERTIFICATES_DIALOG_HEIGHT;

// The header controls start with these texts and the first fill replaces them (the
// count text's initial wording differs from the one a fill writes). In the order the
// resource script lists them.
inline constexpr std::array<DialogControl, 6> kCertificatesDialogControls = {{
    {kIdCertificateList, {IDC_CERTIFICATE_LIST_RECT}, IDC_CERTIFICATE_LIST_LABEL, false},
    {kIdUniqueText, {IDC_UNIQUE_TEXT_RECT}, IDC_UNIQUE_TEXT_LABEL, false},
    {kIdCountText, {IDC_COUNT_TEXT_RECT}, IDC_COUNT_TEXT_LABEL, true},
    {kIdLastScanText, {IDC_LAST_SCAN_TEXT_RECT}, IDC_LAST_SCAN_TEXT_LABEL, true},
    {kIdExpandCheck, {IDC_EXPAND_CHECK_RECT}, IDC_EXPAND_CHECK_LABEL, false},
    {kIdScanNow, {IDC_SCAN_NOW_RECT}, IDC_SCAN_NOW_LABEL, false},
}};

const DialogControl& certificatesDialogControl(int id);

struct ListColumn {
    const char* title;
    int width;  // pixels
};

inline constexpr std::size_t kCertificateColumnCount = 3;
inline constexpr std::array<ListColumn, kCertificateColumnCount> kCertificateColumns = {{
    {"Certificate Name", 325},
    {"Serial Number", 260},
    {"Store Name", 200},
}};

// The three header texts a fill writes.
struct CertificateListHeader {
    std::string uniqueText;    // "Unique Certificates: %d"
    std::string countText;     // "Count of every certificate in every store: %d"
    std::string lastScanText;  // "Last Scan: %04d-%02d-%02d %02d:%02d:%02d"
};
CertificateListHeader certificateListHeader(const TableSnapshot& snapshot);

// Stable, so the records of one group keep their table order.
void sortRecords(std::vector<CertificateRecord>& records);

using CertificateRow = std::array<std::string, kCertificateColumnCount>;

// One row per record, in the given order: name, serial text, location\store.
std::vector<CertificateRow> expandedRows(std::span<const CertificateRecord> sorted);
// One row per run of equal hash fields in sorted records: the first record's name and
// serial, "Store count: %02d     (%ws\%ws...)" with the run length and its first store.
std::vector<CertificateRow> groupedRows(std::span<const CertificateRecord> sorted);

struct CertificateListFill {
    CertificateListHeader header;
    std::vector<CertificateRow> rows;
};
// Header and rows from the snapshot's valid records only (never its counters' reach).
CertificateListFill fillCertificateList(const TableSnapshot& snapshot, bool expanded);

// The platform's case-insensitive compare of two list cells as read back into 256-unit
// buffers: at most 255 UTF-16 units of each, ASCII letters folded to lower case, then
// code-unit order. Returns -1, 0 or 1.
inline constexpr std::size_t kListCellUnits = 255;
int compareListCells(std::u16string_view a, std::u16string_view b);
int compareListCells(std::string_view utf8a, std::string_view utf8b);

// listSortDirection: one per process (main owns it and hands it to every dialog), +1 at
// start, negated after every column sort whatever the column, never reset. Used from
// the thread that runs the dialogs only.
class ListSortState {
  public:
    int listSortDirection() const { return listSortDirection_; }

    // Sorts rows by the cells of one column (compareListCells times the direction,
    // stable), then negates the direction. Returns the new order as indexes into the
    // rows as they were, for views that move their own items.
    std::vector<std::size_t> sortRows(std::vector<CertificateRow>& rows, std::size_t column);

    // For views that sort with the platform's list sort: compare with this, then call
    // afterSort() once.
    int compareForSort(std::u16string_view a, std::u16string_view b) const {
        return compareListCells(a, b) * listSortDirection_;
    }
    void afterSort() { listSortDirection_ = -listSortDirection_; }

  private:
    int listSortDirection_ = 1;
};

}  // namespace kestrune
