#include "ui/certificate_list.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "inventory/certificate_identity.h"
#include "inventory/text.h"

namespace kestrune {

namespace {

std::string storePath(const CertificateRecord& r) {
    return recordTextUtf8(r.locationName) + "\\" + recordTextUtf8(r.storeName);
}

std::u16string_view capCell(std::u16string_view s) {
    return s.substr(0, std::min(s.size(), kListCellUnits));
}

}  // namespace

const DialogControl& certificatesDialogControl(int id) {
    for (const DialogControl& c : kCertificatesDialogControls) {
        if (c.id == id) {
            return c;
        }
    }
    return kCertificatesDialogControls[0];
}

CertificateListHeader certificateListHeader(const TableSnapshot& s) {
    const LocalTime& t = s.lastScanTime;
    return {formatText("Unique Certificates: %d", s.uniqueCertificateCount),
            formatText("Count of every certificate in every store: %d", s.iCertificateCountTotal),
            formatText("Last Scan: %04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                       t.minute, t.second)};
}

void sortRecords(std::vector<CertificateRecord>& records) {
    std::stable_sort(records.begin(), records.end(),
                     [](const CertificateRecord& a, const CertificateRecord& b) {
                         return compareForListGrouping(a, b) < 0;
                     });
}

std::vector<CertificateRow> expandedRows(std::span<const CertificateRecord> sorted) {
    std::vector<CertificateRow> rows;
    rows.reserve(sorted.size());
    for (const CertificateRecord& r : sorted) {
        rows.push_back({recordTextUtf8(r.name), serialText(r), storePath(r)});
    }
    return rows;
}

// A record starts a group when its hash field differs from the previous record's. On
// sorted, zero-filled records this is the same as comparing each record's own valid
// length against the previous hash, without reading past a 64-byte copy of it for a
// longer hash; and the first record always starts a group, even one with an all-zero
// (or absent) hash.
std::vector<CertificateRow> groupedRows(std::span<const CertificateRecord> sorted) {
    std::vector<CertificateRow> rows;
    std::size_t start = 0;
    while (start < sorted.size()) {
        std::size_t end = start + 1;
        while (end < sorted.size() && compareForListGrouping(sorted[end - 1], sorted[end]) == 0) {
            ++end;
        }
        const CertificateRecord& first = sorted[start];
        rows.push_back({recordTextUtf8(first.name), serialText(first),
                        formatText("Store count: %02d     (%s...)", static_cast<int>(end - start),
                                   storePath(first).c_str())});
        start = end;
    }
    return rows;
}

CertificateListFill fillCertificateList(const TableSnapshot& snapshot, bool expanded) {
    CertificateListFill fill;
    fill.header = certificateListHeader(snapshot);
    std::vector<CertificateRecord> records = snapshot.records;
    sortRecords(records);
    fill.rows = expanded ? expandedRows(records) : groupedRows(records);
    return fill;
}

int compareListCells(std::u16string_view a, std::u16string_view b) {
    a = capCell(a);
    b = capCell(b);
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t ca = asciiLower(a[i]);
        const char16_t cb = asciiLower(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int compareListCells(std::string_view a, std::string_view b) {
    return compareListCells(std::u16string_view(utf8ToUtf16(a)),
                            std::u16string_view(utf8ToUtf16(b)));
}

std::vector<std::size_t> ListSortState::sortRows(std::vector<CertificateRow>& rows,
                                                 std::size_t column) {
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (column >= kCertificateColumnCount) {
        return order;  // no such column: no sort, so the direction stays
    }
    // The cells as the view reads them back, converted once rather than per compare.
    std::vector<std::u16string> keys;
    keys.reserve(rows.size());
    for (const CertificateRow& row : rows) {
        std::u16string key = utf8ToUtf16(row[column]);
        key.resize(std::min(key.size(), kListCellUnits));
        keys.push_back(std::move(key));
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return compareForSort(keys[x], keys[y]) < 0;
    });
    std::vector<CertificateRow> sorted;
    sorted.reserve(rows.size());
    for (std::size_t i : order) {
        sorted.push_back(std::move(rows[i]));
    }
    rows = std::move(sorted);
    afterSort();
    return order;
}

}  // namespace kestrune
