// Change detection on its own: which records are added, changed and missing, against
// nested-loop reference answers and with unreadable stores left out.
#include "baseline/change_detection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "baseline/baseline_storage.h"
#include "baseline/store_carry_over.h"
#include "tests/support/memory_settings.h"
#include "tests/support/record_builder.h"

namespace kestrune {
namespace {

using testing::RecordBuilder;

Fingerprint fp(std::uint8_t tag) {
    Fingerprint f{};
    f.fill(tag);
    return f;
}

Changes compare(const std::vector<CertificateRecord>& baseline,
                const std::vector<Fingerprint>& baselineFp,
                const std::vector<CertificateRecord>& current,
                const std::vector<Fingerprint>& currentFp) {
    return detectChanges(RecordsWithFingerprints{baseline, baselineFp},
                         RecordsWithFingerprints{current, currentFp});
}

TEST(CertificateIdentity, AddedNeedsTheSameSerialAndTheSameSubject) {
    const std::vector<CertificateRecord> baseline = {RecordBuilder({0x01, 0x02}, {7})};
    // A serial borrowed under another subject, a serial that is only the start of a
    // baseline serial, one that extends it, and the baseline certificate itself.
    const std::vector<CertificateRecord> current = {
        RecordBuilder({0x01, 0x02}, {9}), RecordBuilder({0x01}, {7}),
        RecordBuilder({0x01, 0x02, 0x00}, {7}), RecordBuilder({0x01, 0x02}, {7})};
    const Changes c = detectChanges(baseline, current);
    EXPECT_EQ(c.added, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_TRUE(c.changed.empty());
    EXPECT_TRUE(c.missing.empty());  // the subject is still there

    // Garbage past the valid serial length in a stored record does not count.
    std::vector<CertificateRecord> stored = baseline;
    stored[0].serialNumber[10] = 0xEE;
    EXPECT_TRUE(detectChanges(stored, std::span(current).last(1)).added.empty());
}

TEST(CertificateIdentity, FingerprintsTellAReplacedCertificateFromASecondOne) {
    const CertificateRecord five = RecordBuilder({0x05}, {1});
    const CertificateRecord six = RecordBuilder({0x06}, {2});
    const std::vector<CertificateRecord> baseline = {five, six};
    const std::vector<Fingerprint> baselineFp = {fp(0xA1), fp(0xA2)};

    // Same identity, another DER, the old one gone: changed, paired with the old one.
    Changes c = compare(baseline, baselineFp, {six, five}, {fp(0xA2), fp(0xBB)});
    ASSERT_EQ(c.changed.size(), 1u);
    EXPECT_EQ(c.changed[0].current, 1u);
    EXPECT_EQ(c.changed[0].baseline, 0u);
    EXPECT_TRUE(c.added.empty());
    EXPECT_TRUE(c.any());

    // The old one still present beside it: a second certificate, added.
    c = compare(baseline, baselineFp, {five, six, five}, {fp(0xA1), fp(0xA2), fp(0xBB)});
    EXPECT_EQ(c.added, (std::vector<std::size_t>{2}));
    EXPECT_TRUE(c.changed.empty());

    // A fingerprint not known on either side, or no fingerprints at all for a side:
    // serial and subject decide, so nothing differs.
    EXPECT_FALSE(compare(baseline, {fp(0), fp(0xA2)}, baseline, {fp(0xBB), fp(0xA2)}).any());
    EXPECT_FALSE(compare(baseline, baselineFp, baseline, {fp(0), fp(0xA2)}).any());
    EXPECT_FALSE(compare(baseline, {}, baseline, {fp(0xBB), fp(0xBC)}).any());
}

TEST(CertificateIdentity, StateFingerprintsThatDoNotFitTheTableAreNotUsed) {
    KestruneState s;
    for (RecordTable* t : {&s.mqsCertificates, &s.mqsCertificatesRegistry}) {
        *t->prepareRecord(0) = RecordBuilder({0x05}, {1});
        t->commitRecord(0);
    }
    s.iCertificateCountTotal = 1;
    s.iCertificateCountTotal_Registry = 1;
    s.currentFingerprints = {fp(0xBB)};
    s.baselineFingerprints = {fp(0xA1)};
    EXPECT_EQ(detectChanges(s).changed.size(), 1u);
    s.baselineFingerprints.clear();  // a baseline stored without them
    EXPECT_FALSE(detectChanges(s).any());
}

// An unreadable store beside a readable one: only the readable one is compared, the
// indexes point into the whole tables, and a save keeps each record's own fingerprint.
TEST(CertificateIdentity, UnreadableStoresAreLeftOutAndKeepTheirRecordsAndFingerprints) {
    KestruneState s;
    const std::vector<CertificateRecord> baseline = {
        RecordBuilder({0x0b}, {2}).in("System", "blocked"),
        RecordBuilder({0x0a}, {1}).in("System", "open")};
    const std::vector<CertificateRecord> current = {RecordBuilder({0x0c}, {3}).in("System", "open"),
                                                    baseline[1]};
    auto fill = [](RecordTable& table, const std::vector<CertificateRecord>& records) {
        for (std::size_t i = 0; i < records.size(); ++i) {
            *table.prepareRecord(i) = records[i];
            table.commitRecord(i);
        }
    };
    fill(s.mqsCertificatesRegistry, baseline);
    fill(s.mqsCertificates, current);
    s.iCertificateCountTotal_Registry = 2;
    s.iCertificateCountTotal = 2;
    s.baselineFingerprints = {fp(0xb0), fp(0xa0)};
    s.currentFingerprints = {fp(0xc0), fp(0xa1)};  // "open" 0a was re-signed
    const std::vector<UnreadableStore> unreadable = {{"System", "blocked", "Permission denied"}};

    const Changes c = detectReadableChanges(s, unreadable);
    EXPECT_EQ(c.added, std::vector<std::size_t>{0});
    EXPECT_TRUE(c.missing.empty()) << "the unreadable store's record is not missing";
    ASSERT_EQ(c.changed.size(), 1u);
    EXPECT_EQ(c.changed[0].current, 1u);
    EXPECT_EQ(c.changed[0].baseline, 1u);

    testing::MemorySettings settings;
    auto key = settings.createKey(SettingsRoot::User);
    ASSERT_TRUE(saveObservedAsBaseline(*key, s, unreadable));
    const auto& values = settings.values(SettingsRoot::User);
    const auto& data = values.at(BaselineValue::Data);
    ASSERT_EQ(data.size(), 3 * kRecordSize);
    EXPECT_EQ(std::memcmp(data.data() + 2 * kRecordSize, &baseline[0], kRecordSize), 0);
    std::vector<std::uint8_t> prints;
    for (const Fingerprint& f : {fp(0xc0), fp(0xa1), fp(0xb0)}) {
        prints.insert(prints.end(), f.begin(), f.end());
    }
    EXPECT_EQ(values.at(BaselineValue::Fingerprints), prints);
}

// Reference answers with nested loops: added by serial (length and bytes) and subject
// hash, missing by subject hash.
std::int64_t referenceAdded(const KestruneState& s) {
    for (int i = 0; i < s.iCertificateCountTotal; ++i) {
        const auto& r = s.mqsCertificates[static_cast<std::size_t>(i)];
        bool present = false;
        for (int k = 0; k < s.iCertificateCountTotal_Registry && !present; ++k) {
            const auto& b = s.mqsCertificatesRegistry[static_cast<std::size_t>(k)];
            present = b.serialLength == r.serialLength &&
                      std::memcmp(r.serialNumber, b.serialNumber,
                                  static_cast<std::size_t>(r.serialLength)) == 0 &&
                      std::memcmp(r.subjectNameHash, b.subjectNameHash, 64) == 0;
        }
        if (!present) {
            return i;
        }
    }
    return -1;
}

std::int64_t referenceMissing(const KestruneState& s) {
    for (int i = 0; i < s.iCertificateCountTotal_Registry; ++i) {
        const auto& r = s.mqsCertificatesRegistry[static_cast<std::size_t>(i)];
        bool present = false;
        for (int k = 0; k < s.iCertificateCountTotal && !present; ++k) {
            present = std::memcmp(r.subjectNameHash,
                                  s.mqsCertificates[static_cast<std::size_t>(k)].subjectNameHash,
                                  64) == 0;
        }
        if (!present) {
            return i;
        }
    }
    return -1;
}

std::int64_t firstIndex(const std::vector<std::size_t>& indexes) {
    return indexes.empty() ? -1 : static_cast<std::int64_t>(indexes.front());
}

void fillRandom(RecordTable& table, std::atomic<std::int32_t>& count, std::mt19937& rng, int n) {
    for (int i = 0; i < n; ++i) {
        testing::Bytes serial(rng() % 4);  // short serials share prefixes often
        for (auto& b : serial) {
            b = static_cast<std::uint8_t>(rng() % 3);
        }
        // A few hash values, one of them empty: with the zero fill an empty hash and a
        // hash of zeros compare equal over the fixed 64 bytes.
        const testing::Bytes hash(rng() % 4 == 0 ? 0 : 16, static_cast<std::uint8_t>(rng() % 5));
        *table.prepareRecord(static_cast<std::size_t>(i)) =
            RecordBuilder().serialLittleEndian(serial).subjectHash(hash);
        table.commitRecord(static_cast<std::size_t>(i));
    }
    count = n;
}

TEST(ChangeDetection, MatchesTheNestedLoopsOnRandomTables) {
    std::mt19937 rng(777);
    int addedSeen = 0;
    int missingSeen = 0;
    for (int round = 0; round < 300; ++round) {
        KestruneState s;
        fillRandom(s.mqsCertificates, s.iCertificateCountTotal, rng, static_cast<int>(rng() % 40));
        fillRandom(s.mqsCertificatesRegistry, s.iCertificateCountTotal_Registry, rng,
                   static_cast<int>(rng() % 40));
        // The first of each, as the boxes show them, against the nested loops.
        const Changes all = detectChanges(s);
        const auto added = firstIndex(all.added);
        const auto missing = firstIndex(all.missing);
        ASSERT_EQ(added, referenceAdded(s)) << round;
        ASSERT_EQ(missing, referenceMissing(s)) << round;
        addedSeen += added >= 0;
        missingSeen += missing >= 0;
    }
    // Both outcomes occur in the sample, so the comparison above means something.
    EXPECT_GT(addedSeen, 10);
    EXPECT_GT(missingSeen, 10);
    EXPECT_LT(addedSeen, 290);
    EXPECT_LT(missingSeen, 290);
}

TEST(ChangeDetection, CountsBeyondTheTablesAreNeverRead) {
    KestruneState s;
    std::mt19937 rng(1);
    fillRandom(s.mqsCertificates, s.iCertificateCountTotal, rng, 3);
    fillRandom(s.mqsCertificatesRegistry, s.iCertificateCountTotal_Registry, rng, 2);
    s.iCertificateCountTotal = 1000;  // more than the table holds
    s.iCertificateCountTotal_Registry = 1000;
    const Changes all = detectChanges(s);
    EXPECT_TRUE(std::all_of(all.added.begin(), all.added.end(), [](auto i) { return i < 3; }));
    EXPECT_TRUE(std::all_of(all.missing.begin(), all.missing.end(), [](auto i) { return i < 2; }));
}

}  // namespace
}  // namespace kestrune
