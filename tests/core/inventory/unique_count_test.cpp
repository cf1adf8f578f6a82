#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "inventory/state.h"
#include "tests/support/record_builder.h"

namespace kestrune {
namespace {

void appendSerial(KestruneState& s, const testing::Bytes& msbFirst) {
    *s.beginAppend() = testing::RecordBuilder().serial(msbFirst);
    s.commitAppendedRecord();
}

TEST(UniqueCount, FollowsThePrefixRuleOfTheNewRecord) {
    KestruneState s;
    appendSerial(s, {0x0a, 0x0b, 0x0c});
    EXPECT_EQ(s.uniqueCertificateCount, 1);  // the first record is always unique
    appendSerial(s, {0x0a, 0x0b, 0x0c});     // the same certificate in another store
    EXPECT_EQ(s.uniqueCertificateCount, 1);
    appendSerial(s, {0x0a, 0x0b});  // the leading bytes of a longer earlier serial
    EXPECT_EQ(s.uniqueCertificateCount, 1);
    appendSerial(s, {0x0a, 0x0b, 0x0c, 0x0d});  // longer than every earlier one: new
    EXPECT_EQ(s.uniqueCertificateCount, 2);
    appendSerial(s, {});  // length 0 matches any earlier record
    EXPECT_EQ(s.uniqueCertificateCount, 2);
    EXPECT_EQ(s.iCertificateCountTotal, 5);
    // Byte-identical records stay two records.
    EXPECT_EQ(std::memcmp(&s.mqsCertificates[0], &s.mqsCertificates[1], kRecordSize), 0);
    EXPECT_EQ(s.mqsCertificates.validCount(), 5u);
}

TEST(UniqueCount, ResetStartsANewScanWithEmptyCountersAndKeptMemory) {
    KestruneState s;
    appendSerial(s, {1});
    appendSerial(s, {2});
    s.resetScanCounters();
    EXPECT_EQ(s.iCertificateCountTotal, 0);
    EXPECT_EQ(s.uniqueCertificateCount, 0);
    appendSerial(s, {1});
    EXPECT_EQ(s.uniqueCertificateCount, 1);  // serials of the old scan are forgotten
}

// The ordered index must give the same answers as comparing with every earlier record.
TEST(UniqueCount, MatchesTheNestedLoopOnRandomSerials) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; ++round) {
        KestruneState s;
        int reference = 0;
        std::vector<std::vector<std::uint8_t>> earlier;
        for (int n = 0; n < 300; ++n) {
            std::vector<std::uint8_t> serial;
            if (!earlier.empty() && rng() % 3 == 0) {
                // Share a prefix with an earlier serial, sometimes longer than it.
                const auto& base = earlier[rng() % earlier.size()];
                serial.assign(base.begin(), base.begin() + rng() % (base.size() + 1));
                while (rng() % 2) {
                    serial.push_back(static_cast<std::uint8_t>(rng() % 3));
                }
            } else {
                const std::size_t len = rng() % 6;
                for (std::size_t i = 0; i < len; ++i) {
                    serial.push_back(static_cast<std::uint8_t>(rng() % 3));
                }
            }
            bool seen = false;
            for (const auto& e : earlier) {
                std::vector<std::uint8_t> padded = e;
                padded.resize(64, 0);
                if (std::equal(serial.begin(), serial.end(), padded.begin())) {
                    seen = true;
                    break;
                }
            }
            reference += seen ? 0 : 1;
            earlier.push_back(serial);
            appendSerial(s, serial);
            ASSERT_EQ(s.uniqueCertificateCount, reference) << "round " << round << " n " << n;
        }
    }
}

}  // namespace
}  // namespace kestrune
