// Certificate identity: serial (length and bytes) plus subject hash decides "added", and
// fingerprints tell a replaced certificate from the one it impersonates; the stored
// fingerprints and the tray cycle's boxes for both.
#include <gtest/gtest.h>

#include <cstring>

#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
#include "baseline/scan_cycle.h"
#include "baseline/store_carry_over.h"
#include "inventory/scanner.h"
#include "tests/support/fake_program.h"
#include "ui/baseline_messages.h"

namespace kestrune {
namespace {

using testing::FakeCert;
using testing::FakeLocation;
using testing::FakeStore;
using testing::makeCert;

CertificateRecord record(std::vector<std::uint8_t> serialMsbFirst, std::uint8_t subject) {
    CertificateRecord r = zeroRecord();
    std::vector<std::uint8_t> le(serialMsbFirst.rbegin(), serialMsbFirst.rend());
    setSerialFromLittleEndian(r, le.data(), le.size());
    const std::uint8_t hash[16] = {subject, 1, 2, 3};
    setSubjectNameHash(r, hash, sizeof hash);
    return r;
}

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
    const std::vector<CertificateRecord> baseline = {record({0x01, 0x02}, 7)};
    // A serial borrowed under another subject, a serial that is only the start of a
    // baseline serial, one that extends it, and the baseline certificate itself.
    const std::vector<CertificateRecord> current = {record({0x01, 0x02}, 9), record({0x01}, 7),
                                                    record({0x01, 0x02, 0x00}, 7),
                                                    record({0x01, 0x02}, 7)};
    const Changes c = detectChanges(baseline, current);
    EXPECT_EQ(c.added, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_TRUE(c.changed.empty());
    EXPECT_TRUE(c.missing.empty());  // the subject is still there

    // Garbage past the valid serial length in a stored record does not count.
    std::vector<CertificateRecord> stored = baseline;
    stored[0].serialNumber[10] = 0xEE;
    EXPECT_TRUE(detectChanges(stored, std::vector<CertificateRecord>{record({0x01, 0x02}, 7)})
                    .added.empty());
    // The first scope stops at the first added one.
    EXPECT_EQ(detectChanges(baseline, current, ChangeScope::First).added,
              (std::vector<std::size_t>{0}));
}

TEST(CertificateIdentity, FingerprintsTellAReplacedCertificateFromASecondOne) {
    const std::vector<CertificateRecord> baseline = {record({0x05}, 1), record({0x06}, 2)};
    const std::vector<Fingerprint> baselineFp = {fp(0xA1), fp(0xA2)};

    // Same identity, another DER, the old one gone: changed, paired with the old one.
    Changes c =
        compare(baseline, baselineFp, {record({0x06}, 2), record({0x05}, 1)}, {fp(0xA2), fp(0xBB)});
    ASSERT_EQ(c.changed.size(), 1u);
    EXPECT_EQ(c.changed[0].current, 1u);
    EXPECT_EQ(c.changed[0].baseline, 0u);
    EXPECT_TRUE(c.added.empty());
    EXPECT_TRUE(c.any());

    // The old one still present beside it: a second certificate, added.
    c = compare(baseline, baselineFp, {record({0x05}, 1), record({0x06}, 2), record({0x05}, 1)},
                {fp(0xA1), fp(0xA2), fp(0xBB)});
    EXPECT_EQ(c.added, (std::vector<std::size_t>{2}));
    EXPECT_TRUE(c.changed.empty());

    // A fingerprint not known on either side, or no fingerprints at all for a side:
    // serial and subject decide, so nothing differs.
    EXPECT_FALSE(compare(baseline, {fp(0), fp(0xA2)}, {record({0x05}, 1), record({0x06}, 2)},
                         {fp(0xBB), fp(0xA2)})
                     .any());
    EXPECT_FALSE(
        compare(baseline, baselineFp, {record({0x05}, 1), record({0x06}, 2)}, {fp(0), fp(0xA2)})
            .any());
    EXPECT_FALSE(
        compare(baseline, {}, {record({0x05}, 1), record({0x06}, 2)}, {fp(0xBB), fp(0xBC)}).any());
}

TEST(CertificateIdentity, StateFingerprintsThatDoNotFitTheTableAreNotUsed) {
    KestruneState s;
    for (RecordTable* t : {&s.mqsCertificates, &s.mqsCertificatesRegistry}) {
        *t->prepareRecord(0) = record({0x05}, 1);
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

// The tray program over the fake stores, its baseline stored with fingerprints.
struct Program : testing::FakeProgram {
    Program() {
        stores.locations.push_back(FakeLocation{
            "LocalMachine",
            {FakeStore{"Root",
                       {makeCert("Legit Root", {0x01, 0x02}, 1), makeCert("Other", {0x03}, 2)}}}});
        settingsKey = openSettingsKey(settings, desktop);
        scan(state, stores, trace);
        EXPECT_TRUE(saveCurrentAsBaseline(*settingsKey, state));
        EXPECT_EQ(registry_settings_load(settingsKey.get(), state, desktop, trace), 1);
        desktop.clear();
        trace.clear();
    }
    std::vector<FakeCert>& certs() { return stores.locations[0].stores[0].certs; }
    testing::MemoryValue& stored(const char* name) {
        return settings.values(SettingsRoot::Machine)[name];
    }
};

TEST(CertificateIdentity, SavedFingerprintsComeFirstOnePerRecordAndLoadBack) {
    Program t;
    const auto& bytes = t.stored(kValueCertificateFingerprints).data;
    ASSERT_EQ(bytes.size(), 2 * kFingerprintBytes);
    EXPECT_TRUE(std::equal(t.certs()[1].sha256.begin(), t.certs()[1].sha256.end(),
                           bytes.begin() + kFingerprintBytes));
    EXPECT_EQ(t.state.baselineFingerprints,
              (std::vector<Fingerprint>{t.certs()[0].sha256, t.certs()[1].sha256}));

    // Written before the other two: a store without transactions that stops part-way
    // leaves a count that does not fit them.
    struct Recorder : SettingsKey {
        std::vector<std::string> names;
        SettingsStatus queryValue(const std::string&, std::uint32_t*, std::uint8_t*,
                                  std::uint32_t*) override {
            return SettingsStatus::NotFound;
        }
        SettingsStatus setValue(const std::string&, std::uint32_t,
                                std::span<const std::uint8_t>) override {
            return SettingsStatus::Ok;
        }
        SettingsStatus setValues(std::span<const ValueWrite> values) override {
            for (const ValueWrite& v : values) {
                names.push_back(v.name);
            }
            return SettingsStatus::Ok;
        }
        std::string describe() const override { return "recorder"; }
        std::string lastError() const override { return {}; }
    } recorder;
    ASSERT_TRUE(saveCurrentAsBaseline(recorder, t.state));
    EXPECT_EQ(recorder.names,
              (std::vector<std::string>{kValueCertificateFingerprints, kValueCertificateData,
                                        kValueCertificateCount}));
}

TEST(CertificateIdentity, ABaselineWithoutFittingFingerprintsFallsBackAndTheNextSaveAddsThem) {
    Program t;
    t.certs()[0].sha256 = Fingerprint{0x42};  // a changed certificate, not told apart now
    for (const std::size_t size : {std::size_t{0}, 2 * kFingerprintBytes - 1, std::size_t{1000}}) {
        if (size == 0) {
            t.settings.values(SettingsRoot::Machine).erase(kValueCertificateFingerprints);
        } else {
            t.stored(kValueCertificateFingerprints).data.assign(size, 0x5A);
        }
        t.trace.clear();
        const BaselineLoad load = loadBaseline(t.settingsKey.get(), t.state, t.trace);
        EXPECT_TRUE(load.ok()) << size;
        EXPECT_EQ(load.loaded, 2u);
        EXPECT_EQ(load.fingerprints,
                  size == 0 ? FingerprintsFound::Absent : FingerprintsFound::Unfitting);
        EXPECT_TRUE(t.state.baselineFingerprints.empty());
        EXPECT_NE(t.trace.allText().find(size == 0 ? "No Certificate Fingerprints stored"
                                                   : "do not fit 2 records"),
                  std::string::npos)
            << t.trace.allText();
        t.desktop.clear();
        scanCycle(t.context, 0);
        EXPECT_TRUE(t.desktop.messageBoxes().empty()) << size;
    }

    // A certificate under a borrowed serial is still found without fingerprints; saving
    // it stores the fingerprints again, after which the changed one is told apart too.
    t.certs().push_back(makeCert("Evil Root", {0x01, 0x02}, 9));
    t.desktop.script({Answer::ok, Answer::yes});
    scanCycle(t.context, 0);
    ASSERT_EQ(t.desktop.messageBoxes().size(), 2u);
    EXPECT_NE(t.desktop.messageBoxes()[0].text.find("Certificate Name: Evil Root"),
              std::string::npos);
    EXPECT_EQ(t.stored(kValueCertificateFingerprints).data.size(), 3 * kFingerprintBytes);
    EXPECT_EQ(t.state.baselineFingerprints.size(), 3u);
    EXPECT_EQ(t.state.baselineFingerprints[0], Fingerprint{0x42});
}

TEST(CertificateIdentity, TrayShowsTheAddedBoxForABorrowedSerialAndForAChangedCertificate) {
    Program t;
    // A one-byte serial equal to the first byte of a baseline serial.
    t.certs().push_back(makeCert("Evil Interception Root", {0x01}, 9));
    t.desktop.script({Answer::ok, Answer::no});
    scanCycle(t.context, 0);
    auto boxes = t.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text,
              "A new certificate has been added to the \"Root\" Certificate Store\r\n\r\n"
              "Certificate Name: Evil Interception Root \r\nSerial Number: 01 ");
    t.certs().pop_back();

    // The same serial and subject with another DER: the added box, and Yes stores it. A
    // new certificate after it in the table does not take the box: the first difference
    // in table order does, whichever kind it is.
    t.certs()[1].sha256[5] ^= 0xFF;
    t.certs().push_back(makeCert("Later New Root", {0x77}, 12));
    t.desktop.clear();
    t.desktop.script({Answer::ok, Answer::yes});
    scanCycle(t.context, 0);
    boxes = t.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Added");
    EXPECT_NE(boxes[0].text.find("Certificate Name: Other"), std::string::npos);
    EXPECT_EQ(t.state.baselineFingerprints[1], t.certs()[1].sha256);
    t.desktop.clear();
    scanCycle(t.context, 0);
    EXPECT_TRUE(t.desktop.messageBoxes().empty());
}

}  // namespace
}  // namespace kestrune

namespace kestrune {
namespace {

// An unreadable store beside a readable one: only the readable one is compared, the
// indexes point into the whole tables, and a save keeps each record's own fingerprint.
TEST(CertificateIdentity, UnreadableStoresAreLeftOutAndKeepTheirRecordsAndFingerprints) {
    auto inStore = [](CertificateRecord r, const char* store) {
        setRecordText(r.locationName, std::string_view("System"));
        setRecordText(r.storeName, std::string_view(store));
        return r;
    };
    KestruneState s;
    const std::vector<CertificateRecord> baseline = {inStore(record({0x0b}, 2), "blocked"),
                                                     inStore(record({0x0a}, 1), "open")};
    const std::vector<CertificateRecord> current = {inStore(record({0x0c}, 3), "open"),
                                                    inStore(record({0x0a}, 1), "open")};
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

    const Changes c = detectReadableChanges(s, unreadable, ChangeScope::All);
    EXPECT_EQ(c.added, std::vector<std::size_t>{0});
    EXPECT_TRUE(c.missing.empty()) << "the unreadable store's record is not missing";
    ASSERT_EQ(c.changed.size(), 1u);
    EXPECT_EQ(c.changed[0].current, 1u);
    EXPECT_EQ(c.changed[0].baseline, 1u);

    testing::MemorySettings settings;
    auto key = settings.createKey(SettingsRoot::User, kSettingsKeyPath);
    ASSERT_TRUE(saveObservedAsBaseline(*key, s, unreadable));
    const auto& values = settings.values(SettingsRoot::User);
    const auto& data = values.at(kValueCertificateData).data;
    ASSERT_EQ(data.size(), 3 * kRecordSize);
    EXPECT_EQ(std::memcmp(data.data() + 2 * kRecordSize, &baseline[0], kRecordSize), 0);
    std::vector<std::uint8_t> prints;
    for (const Fingerprint& f : {fp(0xc0), fp(0xa1), fp(0xb0)}) {
        prints.insert(prints.end(), f.begin(), f.end());
    }
    EXPECT_EQ(values.at(kValueCertificateFingerprints).data, prints);
}

}  // namespace
}  // namespace kestrune
