// The built kestrune-check against certificates that borrow a baseline certificate's
// identity: a reused serial, a serial that is the start of another, a swapped DER under
// the same serial and subject, and serials longer than a record keeps.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "app/ports.h"
#include "platform/keyed_settings/keyed_settings.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/support/memory_settings.h"

namespace kestrune::testing {
namespace {

class CertificateIdentity : public ::testing::Test {
  protected:
    void SetUp() override {
        root_.write("/etc/ssl/certs/ca-certificates.crt", toPem(*legit_) + toPem(*other_));
        root_.makeFolder("/usr/local/share/ca-certificates");
        const ProgramRun first = check();
        ASSERT_EQ(first.status, 0) << first.err;
    }
    ProgramRun check(const std::string& options = "") {
        return runCheck(options + " --root " + root_.path());
    }
    void addAnchor(const X509& cert) {
        root_.write("/usr/local/share/ca-certificates/extra.crt", toPem(cert));
    }
    std::string row(const char* event, const X509& cert, const std::string& store,
                    const std::string& name) const {
        return std::string(event) + "\tSystem\t" + store + "\t" + expectedSerialText(cert) + "\t" +
               expectedSubjectMd5Hex(cert) + "\t" + name + "\t" + expectedSha256Hex(cert) +
               "\tunknown\t\n";  // no package database under the test's root
    }
    std::unique_ptr<BaselineStore> key() {
        auto settings = makePorts(PlatformOptions{root_.path(), {}}, quiet_).settings;
        return openStore(*settings, SettingsRoot::Machine, StoreAccess::Write);
    }
    std::uint32_t storedSize(BaselineValue value) {
        auto k = key();
        const StoreResult<std::uint32_t> size =
            k ? k->valueSize(value) : SettingsError{StoreFault::Absent, {}};
        return size ? *size : 0;
    }

    NullTrace quiet_;
    TempDir root_;
    X509Ptr legit_ = makeCertificate(simpleFields("Legit Root", {0x01, 0x02}));
    X509Ptr other_ = makeCertificate(simpleFields("Other Root", {0x03}));
};

TEST_F(CertificateIdentity, ARogueRootUnderABorrowedSerialIsAdded) {
    // The whole serial under another subject, and the first byte of it alone.
    const X509Ptr reused = makeCertificate(simpleFields("Evil Interception Root", {0x01, 0x02}));
    const X509Ptr prefix = makeCertificate(simpleFields("Evil Interception Root", {0x01}));
    for (const X509* rogue : {reused.get(), prefix.get()}) {
        addAnchor(*rogue);
        const ProgramRun run = check();
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(run.out, row("added", *rogue, "local-anchors", "Evil Interception Root") +
                               "1 added, 0 missing, 0 changed (baseline: 2 certificates, "
                               "observed: 3 certificates, 2 unique)\n1 change unexplained\n");
    }
}

TEST_F(CertificateIdentity, AnotherCertificateUnderTheSameSerialAndSubjectIsChanged) {
    // Signed anew: another DER (and signature) under the very same serial and subject.
    const X509Ptr swapped = makeCertificate(simpleFields("Legit Root", {0x01, 0x02}));
    ASSERT_NE(expectedSha256Hex(*swapped), expectedSha256Hex(*legit_));
    root_.write("/etc/ssl/certs/ca-certificates.crt", toPem(*swapped) + toPem(*other_));

    const ProgramRun run = check();
    EXPECT_EQ(run.status, 1) << run.err;
    std::string line = row("changed", *swapped, "ca-certificates", "Legit Root");
    line.insert(line.find("\tunknown\t"), "\t" + expectedSha256Hex(*legit_));
    line.insert(line.size() - 1, "\t\t");  // its trust did not change
    EXPECT_EQ(run.out, line +
                           "0 added, 0 missing, 1 changed (baseline: 2 certificates, observed: 2 "
                           "certificates, 2 unique)\n1 change unexplained\n");
    const ProgramRun json = check("--json");
    EXPECT_NE(json.out.find("{\"event\":\"changed\",\"location\":\"System\""), std::string::npos);
    EXPECT_NE(
        json.out.find("\"sha256\":\"" + expectedSha256Hex(*swapped) + "\",\"baseline_sha256\":\"" +
                      expectedSha256Hex(*legit_) + "\",\"origin\":{\"kind\":\"unknown\""),
        std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"missing\":0,\"changed\":1,"), std::string::npos) << json.out;

    EXPECT_EQ(check("--accept").status, 0);
    const ProgramRun after = check();
    EXPECT_EQ(after.status, 0) << after.out;
}

TEST_F(CertificateIdentity, SerialsEqualInTheirFirst64BytesAreToldApartByFingerprint) {
    std::vector<std::uint8_t> serial(70, 0x11);
    const X509Ptr longA = makeCertificate(simpleFields("Long Serial Root", serial));
    serial.back() = 0x22;
    const X509Ptr longB = makeCertificate(simpleFields("Long Serial Root", serial));
    addAnchor(*longA);
    ASSERT_EQ(check("--accept").status, 0);

    // Listed with their fingerprints, which differ where the records cannot.
    root_.write("/usr/local/share/ca-certificates/extra.crt", toPem(*longA) + toPem(*longB));
    const ProgramRun list = check("--list");
    EXPECT_NE(list.out.find("\tLong Serial Root\t" + expectedSha256Hex(*longA) + "\tunknown\t\n"),
              std::string::npos);
    EXPECT_NE(list.out.find("\tLong Serial Root\t" + expectedSha256Hex(*longB) + "\tunknown\t\n"),
              std::string::npos)
        << list.out;
    const ProgramRun both = check();
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.out.rfind("added\t", 0), 0u) << both.out;
    EXPECT_NE(both.out.find(expectedSha256Hex(*longB)), std::string::npos) << both.out;
    EXPECT_NE(both.out.find("1 added, 0 missing, 0 changed"), std::string::npos) << both.out;

    addAnchor(*longB);  // B in A's place
    const ProgramRun replaced = check();
    EXPECT_NE(replaced.out.find("0 added, 0 missing, 1 changed"), std::string::npos)
        << replaced.out;
}

TEST_F(CertificateIdentity, OldOrDamagedFingerprintsFallBackToSerialAndSubject) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root_.path() + "/var/lib/kestrune/settings.db").c_str(), &db),
              SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, "DELETE FROM settings_values WHERE name = 'Certificate Fingerprints'",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    ASSERT_EQ(storedSize(BaselineValue::Fingerprints), 0u);

    // A swapped DER is not seen without fingerprints, a borrowed serial is.
    const X509Ptr swapped = makeCertificate(simpleFields("Legit Root", {0x01, 0x02}));
    const X509Ptr rogue = makeCertificate(simpleFields("Evil Interception Root", {0x03}));
    root_.write("/etc/ssl/certs/ca-certificates.crt", toPem(*swapped) + toPem(*other_));
    const ProgramRun old = check("--trace");
    EXPECT_EQ(old.status, 0) << old.out;
    EXPECT_NE(old.err.find("No Certificate Fingerprints stored"), std::string::npos);
    EXPECT_EQ(old.err.find("warning"), std::string::npos) << old.err;
    addAnchor(*rogue);
    EXPECT_NE(check().out.find("1 added, 0 missing, 0 changed"), std::string::npos);

    // Accepting stores them; then a value of the wrong size is ignored with a warning.
    ASSERT_EQ(check("--accept").status, 0);
    EXPECT_EQ(storedSize(BaselineValue::Fingerprints), 3 * 32u);
    const std::uint8_t five[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(writeValue(*key(), BaselineValue::Fingerprints, five));
    root_.write("/etc/ssl/certs/ca-certificates.crt", toPem(*legit_) + toPem(*other_));
    const ProgramRun damaged = check();
    EXPECT_EQ(damaged.status, 0) << damaged.out;
    EXPECT_NE(damaged.err.find("warning: \"Certificate Fingerprints\""), std::string::npos);
    EXPECT_NE(damaged.err.find("holds 5 bytes, not 32 for each of the 3 records"),
              std::string::npos)
        << damaged.err;
}

}  // namespace
}  // namespace kestrune::testing
