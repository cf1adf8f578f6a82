#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "inventory/certificate_identity.h"
#include "tests/support/record_builder.h"

namespace kestrune {
namespace {

using testing::RecordBuilder;

std::vector<std::uint8_t> subjectBytes(std::size_t length, std::size_t differAt = SIZE_MAX) {
    std::vector<std::uint8_t> bytes(length, 0x5a);
    if (differAt < length) {
        bytes[differAt] = 0xa5;
    }
    return bytes;
}

// The four rules answer differently for the same pair on purpose; each row says which
// of them call the two records the same certificate.
TEST(IdentityRules, EachRuleDecidesSamenessByItsOwnFields) {
    const auto subject = subjectBytes(100);
    struct Row {
        const char* what;
        CertificateRecord other;  // compared with `one`
        bool added, missing, group;
    };
    const CertificateRecord one = RecordBuilder({1, 2}, subject);
    CertificateRecord junkPastSerial = one;
    junkPastSerial.serialNumber[10] = 0xee;  // past the valid length: not part of the serial
    const Row rows[] = {
        {"identical", RecordBuilder({1, 2}, subject), true, true, true},
        {"bytes past the serial's length", junkPastSerial, true, true, true},
        {"a shorter serial that starts the same", RecordBuilder({1}, subject), false, true, true},
        {"another serial", RecordBuilder({3, 4}, subject), false, true, true},
        {"subjects differ at byte 70", RecordBuilder({1, 2}, subjectBytes(100, 70)), true, true,
         false},
        {"subjects differ at byte 3", RecordBuilder({1, 2}, subjectBytes(100, 3)), false, false,
         false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(AddedIdentity(one) == AddedIdentity(r.other), r.added) << r.what;
        EXPECT_EQ(MissingIdentity(one) == MissingIdentity(r.other), r.missing) << r.what;
        EXPECT_EQ(compareForListGrouping(one, r.other) == 0, r.group) << r.what;
        if (r.added) {
            EXPECT_EQ(AddedIdentity(one).hash(), AddedIdentity(r.other).hash()) << r.what;
        }
        if (r.missing) {
            EXPECT_EQ(MissingIdentity(one).hash(), MissingIdentity(r.other).hash()) << r.what;
        }
    }
}

// The index finds every item of a key, duplicates included, and nothing else.
TEST(IdentityRules, HashIndexFindsEveryItemOfAKey) {
    const std::vector<CertificateRecord> records = {
        RecordBuilder({1}, subjectBytes(20)), RecordBuilder({2}, subjectBytes(20, 5)),
        RecordBuilder({1}, subjectBytes(20)), RecordBuilder({9}, subjectBytes(20))};
    const HashIndex<AddedIdentity> index(records.size(),
                                         [&](std::size_t i) { return AddedIdentity(records[i]); });
    std::vector<std::size_t> found;
    index.forEach(AddedIdentity(records[0]), [&](std::size_t i) {
        found.push_back(i);
        return true;
    });
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::size_t>{0, 2}));
    EXPECT_TRUE(index.contains(AddedIdentity(records[3])));
    EXPECT_FALSE(index.contains(AddedIdentity(RecordBuilder({3}, subjectBytes(20)))));
    const HashIndex<AddedIdentity> empty(0,
                                         [&](std::size_t i) { return AddedIdentity(records[i]); });
    EXPECT_FALSE(empty.contains(AddedIdentity(records[0])));
}

}  // namespace
}  // namespace kestrune
