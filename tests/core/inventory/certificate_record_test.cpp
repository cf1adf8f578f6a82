#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "inventory/certificate_record.h"
#include "inventory/record_table.h"
#include "tests/support/sample_records.h"

namespace kestrune {
namespace {

using testing::fillTable;
using testing::holdsSamples;

// A record built through the helpers must land on the documented byte offsets, in
// little-endian UTF-16 and little-endian integers.
TEST(CertificateRecordLayout, MatchesHandBuiltByteImage) {
    CertificateRecord r = zeroRecord();
    setRecordText(r.name, std::string_view("AB"));
    const std::uint8_t serialLE[] = {0x01, 0x02, 0x03};
    setSerialFromLittleEndian(r, serialLE, 3);
    const std::uint8_t hash[] = {0xde, 0xad};
    setSubjectNameHash(r, hash, 2);
    setRecordText(r.storeName, std::string_view("My"));
    setRecordText(r.locationName, std::string_view("L"));

    std::vector<std::uint8_t> image(568, 0);
    image[0] = 'A';
    image[2] = 'B';
    image[128] = 0x03;
    image[129] = 0x02;
    image[130] = 0x01;
    image[192] = 3;  // serialLength, little-endian
    image[196] = 0xde;
    image[197] = 0xad;
    image[308] = 'M';
    image[310] = 'y';
    image[436] = 'L';
    image[564] = 2;  // subjectNameHashLength

    std::vector<std::uint8_t> actual(568);
    std::memcpy(actual.data(), &r, 568);
    EXPECT_EQ(actual, image);
}

TEST(CertificateRecordText, CutsAt63UnitsWithoutSplittingASurrogatePair) {
    CertificateRecord r = zeroRecord();
    setRecordText(r.name, std::string(100, 'x'));
    EXPECT_EQ(recordText(r.name).size(), 63u);
    EXPECT_EQ(r.name[63], u'\0');

    // 62 ASCII units then a character outside the BMP: the pair would straddle the cut.
    std::u16string text(62, u'a');
    text += u"\U0001F600";
    setRecordText(r.name, std::u16string_view(text));
    EXPECT_EQ(recordText(r.name), std::u16string(62, u'a'));
    EXPECT_EQ(r.name[62], u'\0');

    // A shorter text after a longer one leaves zeros behind its terminator.
    setRecordText(r.name, std::string_view("é"));
    EXPECT_EQ(recordText(r.name), u"é");
    for (std::size_t i = 1; i < kRecordTextUnits; ++i) {
        EXPECT_EQ(r.name[i], u'\0') << i;
    }
    EXPECT_EQ(recordTextUtf8(r.name), "é");
}

TEST(CertificateRecordSerial, ReversesThePlatformBlobAndFormatsText) {
    CertificateRecord r = zeroRecord();
    const std::uint8_t le[] = {0x01, 0x02, 0x03};
    setSerialFromLittleEndian(r, le, 3);
    EXPECT_EQ(r.serialLength, 3);
    EXPECT_EQ(serialText(r), "03 02 01 ");
    EXPECT_EQ(serialTextCompact(r), "03 02 01");

    setSerialFromLittleEndian(r, nullptr, 0);
    EXPECT_EQ(serialText(r), "");
    EXPECT_EQ(serialTextCompact(r), "");
}

TEST(CertificateRecordSerial, OverlongSerialKeepsTheMostSignificant64Bytes) {
    std::vector<std::uint8_t> le(70);
    for (std::size_t i = 0; i < le.size(); ++i) {
        le[i] = static_cast<std::uint8_t>(i);  // byte 69 is the most significant
    }
    CertificateRecord r = zeroRecord();
    setSerialFromLittleEndian(r, le.data(), le.size());
    EXPECT_EQ(r.serialLength, 64);
    EXPECT_EQ(r.serialNumber[0], 69);
    EXPECT_EQ(r.serialNumber[63], 6);
    EXPECT_EQ(r.serialLength, 64);  // nothing spilled into the length field
}

TEST(CertificateRecordHash, OverlongPropertyKeepsTheFirst112Bytes) {
    std::vector<std::uint8_t> prop(200, 0xAB);
    CertificateRecord r = zeroRecord();
    setSubjectNameHash(r, prop.data(), prop.size());
    EXPECT_EQ(r.subjectNameHashLength, 112);
    EXPECT_EQ(r.storeName[0], u'\0');
    EXPECT_EQ(subjectHashHex(r).size(), 224u);
}

TEST(CertificateRecordLengths, CorruptLengthsAreClampedToTheirFields) {
    CertificateRecord r = zeroRecord();
    r.serialLength = 1000;
    r.subjectNameHashLength = -5;
    EXPECT_EQ(validSerialLength(r), 64u);
    EXPECT_EQ(validSubjectHashLength(r), 0u);
    EXPECT_EQ(serialText(r).size(), 64u * 3);
}

TEST(RecordTable, StartsWithOneZeroedRecordAndGrowsOneAtATime) {
    RecordTable t;
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(t.validCount(), 0u);
    CertificateRecord& r0 = *t.prepareRecord(0);
    r0.serialLength = 7;
    t.commitRecord(0);
    CertificateRecord& r1 = *t.prepareRecord(1);
    EXPECT_EQ(t.size(), 2u);
    EXPECT_EQ(r1.serialLength, 0);
    EXPECT_EQ(t.validCount(), 1u);
    t.commitRecord(1);
    EXPECT_EQ(t.validCount(), 2u);
    EXPECT_EQ(t.bytes(99).size(), 2u * 568);
}

TEST(RecordTable, ReplaceFromBlobIsBoundsCheckedAndKeepsASpareRecord) {
    std::vector<std::uint8_t> blob(3 * 568, 0x11);
    RecordTable t;
    EXPECT_FALSE(t.replaceFromBlob(blob, 4));  // the blob holds only three records
    EXPECT_EQ(t.validCount(), 0u);
    ASSERT_TRUE(t.replaceFromBlob(blob, 3));
    EXPECT_EQ(t.validCount(), 3u);
    EXPECT_EQ(t.size(), 4u);
    EXPECT_EQ(t[2].serialNumber[0], 0x11);
    EXPECT_EQ(t[3].serialNumber[0], 0x00);
    ASSERT_TRUE(t.replaceFromBlob({}, 0));
    EXPECT_EQ(t.validCount(), 0u);
    EXPECT_EQ(t.size(), 1u);
}

TEST(RecordTable, FilledInPlaceOnlyWhenTheFillSucceedsAndCopiedIntoItsOwnMemory) {
    RecordTable t;
    fillTable(t, 3, 1);
    // Declined, or claiming more than its room: the table is as it was.
    EXPECT_FALSE(t.replaceInPlace(5, [](std::span<std::uint8_t>) { return std::nullopt; }));
    EXPECT_FALSE(t.replaceInPlace(2, [](std::span<std::uint8_t>) { return 3; }));
    EXPECT_TRUE(holdsSamples(t, 3, 1));
    EXPECT_EQ(t.validCount(), 3u);
    // Two whole records and part of a third are written; the part is no record.
    ASSERT_TRUE(t.replaceInPlace(3, [](std::span<std::uint8_t> into) -> std::optional<std::size_t> {
        EXPECT_EQ(into.size(), 3u * 568);
        std::memset(into.data(), 0x22, 2 * 568 + 100);
        return 2;
    }));
    EXPECT_EQ(t.validCount(), 2u);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1].serialLength, 0x22222222);
    EXPECT_EQ(t.bytes(2).size(), 2u * 568);
    const std::vector<std::uint8_t> zero(568, 0);
    EXPECT_EQ(std::memcmp(&t[2], zero.data(), 568), 0);
    // No memory: the fill is never asked.
    t.setRecordLimitForTesting(4);
    bool asked = false;
    EXPECT_FALSE(t.replaceInPlace(4, [&](std::span<std::uint8_t>) {
        asked = true;
        return std::optional<std::size_t>(0);
    }));
    EXPECT_FALSE(asked);
    EXPECT_EQ(t.validCount(), 2u);

    // A copy into a table with room, and into one that must grow, holds the records
    // and a zeroed spare after them.
    RecordTable source;
    fillTable(source, 5, 7);
    RecordTable roomy;
    fillTable(roomy, 9, 8);
    RecordTable small;
    for (RecordTable* target : {&roomy, &small}) {
        ASSERT_TRUE(target->copyValidFrom(source));
        EXPECT_TRUE(holdsSamples(*target, 5, 7));
        EXPECT_EQ(target->validCount(), 5u);
        ASSERT_EQ(target->size(), 6u);
        EXPECT_EQ(std::memcmp(&(*target)[5], zero.data(), 568), 0);
    }
    small.setRecordLimitForTesting(3);
    EXPECT_FALSE(small.copyValidFrom(source));
    EXPECT_TRUE(holdsSamples(small, 5, 7));
}

TEST(RecordTable, ExhaustedMemoryGivesNoRecordAndLeavesTheTableAsItWas) {
    RecordTable t;
    t.setRecordLimitForTesting(2);
    ASSERT_NE(t.prepareRecord(0), nullptr);
    t.commitRecord(0);
    ASSERT_NE(t.prepareRecord(1), nullptr);
    t.commitRecord(1);
    EXPECT_EQ(t.prepareRecord(2), nullptr);
    EXPECT_EQ(t.validCount(), 2u);
    EXPECT_EQ(t.size(), 2u);
}

}  // namespace
}  // namespace kestrune
