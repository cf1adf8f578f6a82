#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "inventory/certificate_identity.h"

namespace kestrune {
namespace {

CertificateRecord record(std::vector<std::uint8_t> serialLe, std::vector<std::uint8_t> subject) {
    CertificateRecord r{};
    setSerialFromLittleEndian(r, serialLe.data(), serialLe.size());
    setSubjectNameHash(r, subject.data(), subject.size());
    return r;
}

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
        CertificateRecord a, b;
        bool added, missing, group;
    };
    CertificateRecord junkPastSerial = record({1, 2}, subject);
    junkPastSerial.serialNumber[10] = 0xee;  // past the valid length: not part of the serial
    const Row rows[] = {
        {"identical", record({1, 2}, subject), record({1, 2}, subject), true, true, true},
        {"bytes past the serial's length", record({1, 2}, subject), junkPastSerial, true, true,
         true},
        {"a shorter serial that starts the same", record({1, 2}, subject), record({1}, subject),
         false, true, true},
        {"another serial", record({1, 2}, subject), record({3, 4}, subject), false, true, true},
        {"subjects differ at byte 70", record({1, 2}, subject),
         record({1, 2}, subjectBytes(100, 70)), true, true, false},
        {"subjects differ at byte 3", record({1, 2}, subject), record({1, 2}, subjectBytes(100, 3)),
         false, false, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(AddedIdentity(r.a) == AddedIdentity(r.b), r.added) << r.what;
        EXPECT_EQ(MissingIdentity(r.a) == MissingIdentity(r.b), r.missing) << r.what;
        EXPECT_EQ(compareForListGrouping(r.a, r.b) == 0, r.group) << r.what;
        if (r.added) {
            EXPECT_EQ(AddedIdentity(r.a).hash(), AddedIdentity(r.b).hash()) << r.what;
        }
        if (r.missing) {
            EXPECT_EQ(MissingIdentity(r.a).hash(), MissingIdentity(r.b).hash()) << r.what;
        }
    }
}

// The index finds every item of a key, duplicates included, and nothing else.
TEST(IdentityRules, HashIndexFindsEveryItemOfAKey) {
    const std::vector<CertificateRecord> records = {
        record({1}, subjectBytes(20)), record({2}, subjectBytes(20, 5)),
        record({1}, subjectBytes(20)), record({9}, subjectBytes(20))};
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
    EXPECT_FALSE(index.contains(AddedIdentity(record({3}, subjectBytes(20)))));
    const HashIndex<AddedIdentity> empty(0,
                                         [&](std::size_t i) { return AddedIdentity(records[i]); });
    EXPECT_FALSE(empty.contains(AddedIdentity(records[0])));
}

}  // namespace
}  // namespace kestrune
