#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "inventory/certificate_identity.h"
#include "inventory/text.h"
#include "tests/support/record_builder.h"
#include "ui/certificate_list.h"

namespace kestrune {
namespace {

using testing::Bytes;
using testing::RecordBuilder;

Bytes md5Like(std::uint8_t seed) {
    return testing::byteRun(static_cast<std::uint8_t>(seed * 16));
}

TableSnapshot snapshotOf(std::vector<CertificateRecord> records) {
    TableSnapshot s;
    s.iCertificateCountTotal = static_cast<std::int32_t>(records.size());
    s.records = std::move(records);
    return s;
}

std::vector<std::string> column(const std::vector<CertificateRow>& rows, std::size_t c) {
    std::vector<std::string> out;
    for (const CertificateRow& r : rows) {
        out.push_back(r[c]);
    }
    return out;
}

using Names = std::vector<std::string>;

// Table order puts the two-record group first; its hash sorts after the other one.
TEST(CertificateList, FiveRecordsGiveTwoSortedGroupsAndFiveExpandedRows) {
    const TableSnapshot s = snapshotOf({
        RecordBuilder({0xb1}, md5Like(9)).name("Beta One").in("CurrentUser", "CA"),
        RecordBuilder({0x0a, 0x1b, 0x2c}, md5Like(2)).name("Alpha One").in("LocalMachine", "Root"),
        RecordBuilder({0xb2}, md5Like(9)).name("Beta Two").in("LocalMachine", "Root"),
        RecordBuilder({0xa2}, md5Like(2)).name("Alpha Two").in("CurrentUser", "My"),
        RecordBuilder({0xa3}, md5Like(2)).name("Alpha Three").in("LocalMachine", "CA"),
    });

    const CertificateListFill grouped = fillCertificateList(s, false);
    ASSERT_EQ(grouped.rows.size(), 2u);
    EXPECT_EQ(grouped.rows[0], (CertificateRow{"Alpha One", "0a 1b 2c ",
                                               "Store count: 03     (LocalMachine\\Root...)"}));
    EXPECT_EQ(grouped.rows[1],
              (CertificateRow{"Beta One", "b1 ", "Store count: 02     (CurrentUser\\CA...)"}));

    const CertificateListFill expanded = fillCertificateList(s, true);
    ASSERT_EQ(expanded.rows.size(), 5u);
    EXPECT_EQ(column(expanded.rows, 0),
              (Names{"Alpha One", "Alpha Two", "Alpha Three", "Beta One", "Beta Two"}));
    EXPECT_EQ(expanded.rows[1], (CertificateRow{"Alpha Two", "a2 ", "CurrentUser\\My"}));
    EXPECT_EQ(expanded.rows[4], (CertificateRow{"Beta Two", "b2 ", "LocalMachine\\Root"}));
    EXPECT_EQ(grouped.header.countText, "Count of every certificate in every store: 5");
}

// Enough interleaved records that an unstable sort would reorder members of a group.
TEST(CertificateList, RecordsOfOneGroupKeepTheirTableOrder) {
    std::vector<CertificateRecord> records;
    for (int i = 0; i < 300; ++i) {
        records.push_back(RecordBuilder({static_cast<std::uint8_t>(i)},
                                        md5Like(static_cast<std::uint8_t>(3 - i % 3)))
                              .name(std::to_string(i)));
    }
    const CertificateListFill fill = fillCertificateList(snapshotOf(records), true);
    ASSERT_EQ(fill.rows.size(), 300u);
    for (std::size_t i = 0; i < 300; ++i) {
        // Group of hash seed 1 (i % 3 == 2) first, then seed 2, then seed 3.
        const int group = static_cast<int>(i / 100);
        const int expected = 3 * static_cast<int>(i % 100) + (2 - group);
        ASSERT_EQ(fill.rows[i][0], std::to_string(expected)) << "row " << i;
    }
    const CertificateListFill grouped = fillCertificateList(snapshotOf(records), false);
    EXPECT_EQ(column(grouped.rows, 0), (Names{"2", "1", "0"}));
}

// Hash fields of different valid lengths: the order is the whole zero-filled field, so it
// is antisymmetric, and grouping neither merges different hashes nor drops a record.
TEST(CertificateList, OrderAndGroupsUseTheWholeHashField) {
    const Bytes h = md5Like(5);
    const CertificateRecord full = RecordBuilder({1}, h).name("Full");
    const CertificateRecord shortHash =
        RecordBuilder({2}, Bytes(h.begin(), h.begin() + 4)).name("Short");
    EXPECT_EQ(compareForListGrouping(full, shortHash), 1);
    EXPECT_EQ(compareForListGrouping(shortHash, full), -1);

    // Longer than the 64 bytes the first copy of the grouping kept: equal up to byte 64.
    Bytes longA(112, 0x42), longB(112, 0x42);
    longA[100] = 0x01;
    longB[100] = 0x02;

    // The first record of each group checked below gives the group its store.
    const TableSnapshot s =
        snapshotOf({full, RecordBuilder({5}, longB).name("Long B"),
                    RecordBuilder({3}, {}).name("No hash 1").in("LocalMachine", "Root"), shortHash,
                    RecordBuilder({6}, longA).name("Long A").in("LocalMachine", "Root"),
                    RecordBuilder({4}, {}).name("No hash 2")});
    const CertificateListFill grouped = fillCertificateList(s, false);
    EXPECT_EQ(column(grouped.rows, 0), (Names{"No hash 1", "Long A", "Long B", "Short", "Full"}));
    EXPECT_EQ(grouped.rows[0][2], "Store count: 02     (LocalMachine\\Root...)");
    EXPECT_EQ(grouped.rows[1][2], "Store count: 01     (LocalMachine\\Root...)");
}

TEST(CertificateList, SerialOfLengthZeroGivesAnEmptyCell) {
    const TableSnapshot s = snapshotOf({RecordBuilder({}, md5Like(1)).name("No Serial")});
    EXPECT_EQ(fillCertificateList(s, true).rows.at(0)[1], "");
    EXPECT_EQ(fillCertificateList(s, false).rows.at(0)[1], "");
}

TEST(CertificateList, HeaderIsWrittenWithoutRecords) {
    TableSnapshot s;
    for (bool expanded : {false, true}) {
        const CertificateListFill fill = fillCertificateList(s, expanded);
        EXPECT_TRUE(fill.rows.empty());
        EXPECT_EQ(fill.header.uniqueText, "Unique Certificates: 0");
        EXPECT_EQ(fill.header.countText, "Count of every certificate in every store: 0");
        EXPECT_EQ(fill.header.lastScanText, "Last Scan: 0000-00-00 00:00:00");
    }
    s.uniqueCertificateCount = 41;
    s.iCertificateCountTotal = 1234;
    s.lastScanTime = {2024, 3, 5, 7, 8, 9};
    const CertificateListHeader h = certificateListHeader(s);
    EXPECT_EQ(h.uniqueText, "Unique Certificates: 41");
    EXPECT_EQ(h.countText, "Count of every certificate in every store: 1234");
    EXPECT_EQ(h.lastScanText, "Last Scan: 2024-03-05 07:08:09");
}

// After a cycle the table holds the reloaded baseline while the counter keeps the
// scan's count: the rows come from the records alone.
TEST(CertificateList, ReadsOnlyTheValidRecordsWhenTheCounterIsLarger) {
    TableSnapshot s = snapshotOf({RecordBuilder({1}, md5Like(1)), RecordBuilder({2}, md5Like(2))});
    s.iCertificateCountTotal = 500;
    EXPECT_EQ(fillCertificateList(s, true).rows.size(), 2u);
    const CertificateListFill grouped = fillCertificateList(s, false);
    EXPECT_EQ(grouped.rows.size(), 2u);
    EXPECT_EQ(grouped.header.countText, "Count of every certificate in every store: 500");
}

struct ColumnClick {
    std::size_t column;
    Names cells;  // that column, top to bottom, after the click
};

struct SortCase {
    const char* what;
    std::vector<CertificateRow> rows;
    std::vector<ColumnClick> clicks;  // in turn, on one sort state
};

// Each click sorts case-folded by its column, in the direction the clicks before it left,
// whatever column they were on. The same rows and clicks the Qt and Win32 lists show.
const SortCase kSortCases[] = {
    {"every column",
     {{"beta", "0a ", "LocalMachine\\Root"},
      {"Alpha", "ff ", "CurrentUser\\My"},
      {"gamma", "1b ", "CurrentUser\\CA"}},
     {{0, {"Alpha", "beta", "gamma"}},
      {0, {"gamma", "beta", "Alpha"}},
      {1, {"0a ", "1b ", "ff "}},
      {2, {"LocalMachine\\Root", "CurrentUser\\My", "CurrentUser\\CA"}}}},
    {"grouped rows with a two-byte serial",
     {{"Delta", "3c ", "Store count: 01     (LocalMachine\\CA...)"},
      {"Alpha CA", "ff 01 ", "Store count: 01     (LocalMachine\\Root...)"},
      {"beta Root", "10 ", "Store count: 02     (LocalMachine\\Root...)"},
      {"gamma", "0a ", "Store count: 01     (LocalMachine\\Root...)"}},
     {{0, {"Alpha CA", "beta Root", "Delta", "gamma"}},
      {0, {"gamma", "Delta", "beta Root", "Alpha CA"}},
      {1, {"0a ", "10 ", "3c ", "ff 01 "}},
      {0, {"gamma", "Delta", "beta Root", "Alpha CA"}}}},
    {"expanded rows whose names share a prefix",
     {{"Alpha", "a1 ", "LocalMachine\\CA"},
      {"alpha two", "0a 02 ", "LocalMachine\\Root"},
      {"alpha three", "a3 ", "LocalMachine\\Root"},
      {"delta", "0d ", "LocalMachine\\CA"},
      {"Echo", "e0 ", "LocalMachine\\Root"}},
     {{0, {"Alpha", "alpha three", "alpha two", "delta", "Echo"}},
      {0, {"Echo", "delta", "alpha two", "alpha three", "Alpha"}},
      {1, {"0a 02 ", "0d ", "a1 ", "a3 ", "e0 "}},
      {1, {"e0 ", "a3 ", "a1 ", "0d ", "0a 02 "}}}},
};

TEST(CertificateList, ColumnClicksAlternateTheDirectionWhateverTheColumn) {
    for (const SortCase& c : kSortCases) {
        SCOPED_TRACE(c.what);
        ListSortState state;
        EXPECT_EQ(state.listSortDirection(), 1);
        std::vector<CertificateRow> rows = c.rows;
        int direction = 1;
        for (const ColumnClick& click : c.clicks) {
            const std::vector<CertificateRow> before = rows;
            const std::vector<std::size_t> order = state.sortRows(rows, click.column);
            EXPECT_EQ(column(rows, click.column), click.cells);
            ASSERT_EQ(order.size(), rows.size());
            for (std::size_t i = 0; i < rows.size(); ++i) {
                EXPECT_EQ(rows[i], before[order[i]]);
            }
            direction = -direction;
            EXPECT_EQ(state.listSortDirection(), direction);
        }
    }
    // No such column: nothing sorted, direction kept.
    ListSortState state;
    std::vector<CertificateRow> rows = kSortCases[0].rows;
    state.sortRows(rows, 3);
    EXPECT_EQ(rows, kSortCases[0].rows);
    EXPECT_EQ(state.listSortDirection(), 1);
}

// Views that sort with the platform's list sort compare with the state, then turn it.
TEST(CertificateList, SortComparisonTakesTheDirectionAndTurnsAfterEachSort) {
    for (const SortCase& c : kSortCases) {
        SCOPED_TRACE(c.what);
        ListSortState state;
        std::vector<CertificateRow> rows = c.rows;
        for (const ColumnClick& click : c.clicks) {
            std::stable_sort(rows.begin(), rows.end(),
                             [&](const CertificateRow& a, const CertificateRow& b) {
                                 return state.compareForSort(utf8ToUtf16(a[click.column]),
                                                             utf8ToUtf16(b[click.column])) < 0;
                             });
            state.afterSort();
            EXPECT_EQ(column(rows, click.column), click.cells);
        }
    }
}

TEST(CertificateList, CellComparisonFoldsAsciiOnlyInCodeUnitOrderOver255Units) {
    EXPECT_EQ(compareListCells("Root CA", "rOOT ca"), 0);
    EXPECT_EQ(compareListCells("a", "B"), -1);
    EXPECT_EQ(compareListCells("abc", "ab"), 1);
    EXPECT_EQ(compareListCells("", "a"), -1);
    // Folding to lower case puts '_' (0x5F) before letters; folding up would not.
    EXPECT_EQ(compareListCells("_x", "Ax"), -1);
    EXPECT_EQ(compareListCells("[", "a"), -1);
    // Non-ASCII letters are not folded.
    EXPECT_NE(compareListCells("\xc3\x89", "\xc3\xa9"), 0);  // É, é
    // UTF-16 code-unit order: a surrogate pair (U+1F600) before U+FF21.
    EXPECT_EQ(compareListCells("\xf0\x9f\x98\x80", "\xef\xbc\xa1"), -1);
    EXPECT_EQ(compareListCells(u"\U0001F600", u"\uFF21"), -1);

    // Cells are read back into 256-unit buffers: 255 units and a terminator.
    const std::string base254(254, 'a');
    EXPECT_EQ(compareListCells(base254 + "b", base254 + "c"), -1);
    EXPECT_EQ(compareListCells(base254 + "bX", base254 + "bY"), 0);
    EXPECT_EQ(compareListCells(base254 + "b", base254 + "bZZ"), 0);
}

// The dialog and its controls in dialog units, as the dialog has always been laid out.
struct PlacedControl {
    int id;  // 0: the dialog's client area
    DialogRect units;
};
constexpr PlacedControl kPlacedControls[] = {
    {0, {0, 0, 605, 245}},
    {kIdCertificateList, {7, 39, 591, 177}},
    {kIdUniqueText, {15, 6, 114, 9}},
    {kIdCountText, {446, 6, 152, 8}},
    {kIdLastScanText, {486, 216, 114, 8}},
    {kIdExpandCheck, {15, 224, 141, 12}},
    {kIdScanNow, {534, 227, 53, 15}},
};

TEST(CertificateList, TheDialogLayoutHoldsItsRectangles) {
    for (const PlacedControl& c : kPlacedControls) {
        SCOPED_TRACE(c.id);
        const DialogRect layout =
            c.id == 0 ? DialogRect{0, 0, kCertificatesDialogWidth, kCertificatesDialogHeight}
                      : certificatesDialogControl(c.id).rect;
        EXPECT_EQ(layout, c.units);
    }
}

}  // namespace
}  // namespace kestrune
