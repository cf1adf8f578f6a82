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
    std::vector<std::uint8_t>& stored(BaselineValue value) {
        return settings.values(SettingsRoot::Machine)[value];
    }
};

TEST(CertificateIdentity, SavedFingerprintsComeFirstOnePerRecordAndLoadBack) {
    Program t;
    const auto& bytes = t.stored(BaselineValue::Fingerprints);
    ASSERT_EQ(bytes.size(), 2 * kFingerprintBytes);
    EXPECT_TRUE(std::equal(t.certs()[1].sha256.begin(), t.certs()[1].sha256.end(),
                           bytes.begin() + kFingerprintBytes));
    EXPECT_EQ(t.state.baselineFingerprints,
              (std::vector<Fingerprint>{t.certs()[0].sha256, t.certs()[1].sha256}));

    // Written before the records, as the trust is: a store without transactions that stops
    // part-way leaves a count that does not fit them.
    struct Recorder : BaselineStore {
        std::vector<BaselineValue> order;
        StoreResult<std::uint32_t> valueSize(BaselineValue) override {
            return SettingsError{StoreFault::Absent, {}};
        }
        StoreResult<std::uint32_t> readValue(BaselineValue, std::span<std::uint8_t>) override {
            return SettingsError{StoreFault::Absent, {}};
        }
        StoreResult<void> writeValues(std::span<const ValueBytes> values) override {
            for (const ValueBytes& v : values) {
                order.push_back(v.value);
            }
            return {};
        }
        std::string describe() const override { return "recorder"; }
    } recorder;
    ASSERT_TRUE(saveCurrentAsBaseline(recorder, t.state));
    EXPECT_EQ(recorder.order,
              (std::vector<BaselineValue>{BaselineValue::Fingerprints, BaselineValue::Trust,
                                          BaselineValue::Data, BaselineValue::Count}));
}

TEST(CertificateIdentity, ABaselineWithoutFittingFingerprintsFallsBackAndTheNextSaveAddsThem) {
    Program t;
    t.certs()[0].sha256 = Fingerprint{0x42};  // a changed certificate, not told apart now
    for (const std::size_t size : {std::size_t{0}, 2 * kFingerprintBytes - 1, std::size_t{1000}}) {
        if (size == 0) {
            t.settings.values(SettingsRoot::Machine).erase(BaselineValue::Fingerprints);
        } else {
            t.stored(BaselineValue::Fingerprints).assign(size, 0x5A);
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
    EXPECT_EQ(t.stored(BaselineValue::Fingerprints).size(), 3 * kFingerprintBytes);
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
