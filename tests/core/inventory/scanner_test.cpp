#include <gtest/gtest.h>

#include "inventory/scanner.h"
#include "tests/support/fake_cert_store.h"

namespace kestrune {
namespace {

using testing::FakeCertStoreApi;
using testing::FakeLocation;
using testing::FakeStore;
using testing::makeCert;

constexpr std::uint32_t kLocalMachine = 2 << 16;

void twoLocations(FakeCertStoreApi& api) {
    api.locations.push_back(FakeLocation{"CurrentUser",
                                         kCertSystemStoreCurrentUser,
                                         {FakeStore{"My", {makeCert("Alice", {0x01, 0x02}, 1)}}}});
    api.locations.push_back(FakeLocation{
        "LocalMachine",
        kLocalMachine,
        {FakeStore{"Root", {makeCert("Root CA", {0x0a}, 2), makeCert("Other CA", {0x0b}, 3)}}}});
}

TEST(Scanner, CollectsCurrentUserStoresTwiceUnderPassOnesLastLocation) {
    FakeCertStoreApi api;
    twoLocations(api);
    KestruneState s;
    NullTrace trace;
    scan(s, api, trace);

    // Pass 1: My (CurrentUser), Root (LocalMachine); pass 2: My again.
    ASSERT_EQ(s.iCertificateCountTotal, 4);
    EXPECT_EQ(s.uniqueCertificateCount, 3);
    EXPECT_EQ(recordTextUtf8(s.mqsCertificates[0].locationName), "CurrentUser");
    EXPECT_EQ(recordTextUtf8(s.mqsCertificates[1].storeName), "Root");
    EXPECT_EQ(recordTextUtf8(s.mqsCertificates[1].locationName), "LocalMachine");
    EXPECT_EQ(recordTextUtf8(s.mqsCertificates[3].name), "Alice");
    EXPECT_EQ(recordTextUtf8(s.mqsCertificates[3].storeName), "My");
    EXPECT_EQ(recordTextUtf8(s.mqsCertificates[3].locationName), "LocalMachine");
    EXPECT_EQ(serialText(s.mqsCertificates[0]), "01 02 ");
    EXPECT_EQ(s.mqsCertificates[0].subjectNameHashLength, 16);
}

TEST(Scanner, FlagsArithmeticKeepsTheLocationBitsOfTheCallback) {
    FakeCertStoreApi api;
    twoLocations(api);
    KestruneState s;
    NullTrace trace;
    scan(s, api, trace);
    const std::vector<std::uint32_t> expected = {kCertSystemStoreCurrentUser, kLocalMachine,
                                                 kCertSystemStoreCurrentUser};
    EXPECT_EQ(api.systemStoreFlags(), expected);
}

TEST(Scanner, SkipsWhatItCannotReadAndRunsToTheEnd) {
    FakeCertStoreApi api;
    FakeStore locked{"Locked", {makeCert("Hidden", {9}, 9)}};
    locked.opens = false;
    auto noName = makeCert("NoName", {7}, 7);
    noName.nameFails = true;
    auto noProp = makeCert("NoProp", {8}, 8);
    noProp.propertyFails = true;
    api.locations.push_back(
        FakeLocation{"LocalMachine",
                     kLocalMachine,
                     {locked, FakeStore{"Mixed", {noName, makeCert("Good", {5}, 5), noProp}},
                      FakeStore{"Empty", {}}}});
    KestruneState s;
    CaptureTrace trace;
    scan(s, api, trace);
    ASSERT_EQ(s.iCertificateCountTotal, 1);
    EXPECT_EQ(recordTextUtf8(s.mqsCertificates[0].name), "Good");
    EXPECT_EQ(s.mqsCertificates.validCount(), 1u);
    // Record 1 was started for NoProp and left zeroed, never counted.
    EXPECT_EQ(s.mqsCertificates.size(), 2u);
    EXPECT_EQ(s.mqsCertificates[1].serialLength, 0);

    const std::string err = trace.errText();
    EXPECT_NE(err.find("The Locked store could not be opened"), std::string::npos);
    EXPECT_NE(err.find("CertGetNameString() failed. \n"), std::string::npos);
    EXPECT_NE(trace.outText().find("CertGetCertificateContextProperty() failed."),
              std::string::npos);
    // The empty store writes its opening and closing lines.
    EXPECT_NE(err.find("The Empty store has been opened. \n"), std::string::npos);
    EXPECT_NE(trace.outText().find("Total Certificates: 1 (This store: 0)\r\n"), std::string::npos);
    // Pass 2 found no current-user location and says so.
    EXPECT_NE(trace.outText().find("Enumeration of system stores failed."), std::string::npos);
}

TEST(Scanner, EmptyScanLeavesBothCountersAtZero) {
    FakeCertStoreApi api;
    api.locationsFail = true;
    KestruneState s;
    CaptureTrace trace;
    scan(s, api, trace);
    EXPECT_EQ(s.iCertificateCountTotal, 0);
    EXPECT_EQ(s.uniqueCertificateCount, 0);
    EXPECT_EQ(trace.outText(),
              "Begin enumeration of store locations. \nEnumeration of locations failed."
              "\nBegin enumeration of system stores. \nEnumeration of system stores failed.");
}

// The whole trace of one small scan, both streams in order.
TEST(Scanner, WritesTheExactDiagnosticLines) {
    FakeCertStoreApi api;
    FakeStore my{"My", {makeCert("Alice", {0x01}, 1)}};
    my.physical = {{".Default", 1}};
    api.locations.push_back(FakeLocation{"CurrentUser", kCertSystemStoreCurrentUser, {my}});
    KestruneState s;
    CaptureTrace trace;
    scan(s, api, trace);

    const std::string storeBlock =
        "  My\n"
        "[err]The store name is My.\n"
        "[err]The My store has been opened. \n"
        "Preparing to realloc memory for next certificate...(iCertificateCountTotal: %d - "
        "iCertsInStore: 0)\r\n"
        "Certcount: %d\r\n"
        "The function completed successfully. \n"
        "Total Certificates: %t (This store: 1)\r\n"
        "Hit any key to continue...\r\n"
        "    .Default\n";
    auto block = [&](int index) {
        std::string b = storeBlock;
        b.replace(b.find("%d"), 2, std::to_string(index));
        b.replace(b.find("%d"), 2, std::to_string(index));
        b.replace(b.find("%t"), 2, std::to_string(index + 1));
        return b;
    };
    std::string expected =
        "Begin enumeration of store locations. \n"
        "======   CurrentUser   ======\n" +
        block(0) +
        "\nFinished enumerating locations. \n"
        "\nBegin enumeration of system stores. \n" +
        block(1) + "\nFinished enumerating system stores. \n";
    std::string actual;
    for (const auto& p : trace.pieces()) {
        actual += p.stream == CaptureTrace::Stream::Err ? "[err]" + p.text : p.text;
    }
    EXPECT_EQ(actual, expected);
}

TEST(Scanner, RelocationRecordsAreCheckedAgainstTheKeyBase) {
    FakeCertStoreApi api;
    int keyA = 0;
    int keyB = 0;
    FakeStore relocated{"Reloc", {makeCert("R", {1}, 1)}};
    relocated.relocated = true;
    relocated.hKey = &keyB;
    api.locations.push_back(FakeLocation{
        "LocalMachine", kLocalMachine, {relocated, FakeStore{"Plain", {makeCert("P", {2}, 2)}}}});

    KestruneState s;
    CaptureTrace trace;
    EnumArg arg;
    arg.hKeyBase = &keyA;
    Scanner(s, api, trace, arg).scan();
    const std::string out = trace.outText();
    // The relocated store is still collected, with the mismatch noted.
    EXPECT_NE(out.find("Wrong hKeyBase passed to callback"), std::string::npos);
    // A plain store with a key base set is refused.
    EXPECT_NE(out.find("Failed => RELOCATE_FLAG not set in callback. \nGetSystemName failed."),
              std::string::npos);
    ASSERT_EQ(s.iCertificateCountTotal, 1);
    EXPECT_EQ(recordTextUtf8(s.mqsCertificates[0].name), "R");

    KestruneState s2;
    CaptureTrace trace2;
    scan(s2, api, trace2);  // no key base: the relocated record is taken, with a note
    EXPECT_NE(trace2.outText().find("Failed => RELOCATE_FLAG is set in callback"),
              std::string::npos);
    EXPECT_EQ(s2.iCertificateCountTotal, 2);
}

TEST(Scanner, PhysicalStoreFailuresAreReportedUnlessNotFoundOrUnsupported) {
    FakeCertStoreApi api;
    FakeStore a{"A", {}};
    a.physicalFails = true;
    a.physicalError = 5;
    FakeStore b{"B", {}};
    b.physicalFails = true;
    b.physicalError = kErrorNotSupported;
    api.locations.push_back(FakeLocation{"LocalMachine", kLocalMachine, {a, b}});
    KestruneState s;
    CaptureTrace trace;
    scan(s, api, trace);
    const std::string out = trace.outText();
    const auto first = out.find("    CertEnumPhysicalStore");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(out.find("    CertEnumPhysicalStore", first + 1), std::string::npos);
}

TEST(Scanner, TellsUnreadableStoresApartFromAbsentAndEmptyOnes) {
    FakeCertStoreApi api;
    FakeStore locked{"Locked", {makeCert("Hidden", {9}, 9)}};
    locked.opens = false;
    FakeStore broken{"Broken", {makeCert("One", {1}, 1), makeCert("Two", {2}, 2)}};
    broken.walkFailsAfter = 1;
    FakeStore gone{"Gone", {makeCert("Was", {3}, 3)}};
    gone.absentOnOpen = true;
    api.locations.push_back(FakeLocation{
        "LocalMachine", kLocalMachine, {locked, broken, gone, FakeStore{"Empty", {}}}});
    FakeLocation unlisted{"CurrentUser", kCertSystemStoreCurrentUser};
    unlisted.storesFail = true;
    api.locations.push_back(unlisted);
    KestruneState s;
    NullTrace trace;
    const ScanResult result = scan(s, api, trace);
    const std::vector<UnreadableStore> expected = {
        {"LocalMachine", "Locked", "access denied"},
        {"LocalMachine", "Broken", "I/O error"},
        {"CurrentUser", "", "its stores could not be listed"},
    };
    EXPECT_EQ(result.unreadable, expected);
    EXPECT_FALSE(result.complete());

    api.locationsFail = true;
    EXPECT_EQ(scan(s, api, trace).unreadable,
              (std::vector<UnreadableStore>{{"", "", "the store locations could not be listed"}}));
}

}  // namespace
}  // namespace kestrune
