#include <gtest/gtest.h>

#include "inventory/scanner.h"
#include "tests/support/fake_cert_store.h"

namespace kestrune {
namespace {

using testing::FakeLocation;
using testing::FakeStore;
using testing::FakeStoreCatalogue;
using testing::makeCert;

void twoLocations(FakeStoreCatalogue& api) {
    api.locations.push_back(
        FakeLocation{"CurrentUser", {FakeStore{"My", {makeCert("Alice", {0x01, 0x02}, 1)}}}});
    api.locations.push_back(FakeLocation{
        "LocalMachine",
        {FakeStore{"Root", {makeCert("Root CA", {0x0a}, 2), makeCert("Other CA", {0x0b}, 3)}}}});
}

TEST(Scanner, CollectsCurrentUserStoresTwiceUnderPassOnesLastLocation) {
    FakeStoreCatalogue api;
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

TEST(Scanner, SkipsWhatItCannotReadAndRunsToTheEnd) {
    FakeStoreCatalogue api;
    FakeStore locked{"Locked", {makeCert("Hidden", {9}, 9)}};
    locked.opens = false;
    auto noName = makeCert("NoName", {7}, 7);
    noName.nameFails = true;
    auto noProp = makeCert("NoProp", {8}, 8);
    noProp.propertyFails = true;
    api.locations.push_back(
        FakeLocation{"LocalMachine",
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
    FakeStoreCatalogue api;
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
    FakeStoreCatalogue api;
    api.locations.push_back(
        FakeLocation{"CurrentUser", {FakeStore{"My", {makeCert("Alice", {0x01}, 1)}}}});
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
        "Hit any key to continue...\r\n";
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

TEST(Scanner, TellsUnreadableStoresApartFromAbsentAndEmptyOnes) {
    FakeStoreCatalogue api;
    FakeStore locked{"Locked", {makeCert("Hidden", {9}, 9)}};
    locked.opens = false;
    FakeStore broken{"Broken", {makeCert("One", {1}, 1), makeCert("Two", {2}, 2)}};
    broken.walkFailsAfter = 1;
    FakeStore gone{"Gone", {makeCert("Was", {3}, 3)}};
    gone.absentOnOpen = true;
    api.locations.push_back(
        FakeLocation{"LocalMachine", {locked, broken, gone, FakeStore{"Empty", {}}}});
    FakeLocation unlisted{"CurrentUser"};
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

// Each fact a store can fail to give, and what the scanner makes of it.
TEST(Scanner, ACertificateMissingAFactIsSkippedWithItsLineOrKeptWithoutAFingerprint) {
    struct Case {
        const char* what;
        void (*breakIt)(testing::FakeCert&);
        bool counted;
        const char* outLine;
        const char* errLine;
    };
    const Case cases[] = {
        {"display name", [](testing::FakeCert& c) { c.nameFails = true; }, false, nullptr,
         "CertGetNameString() failed. \n"},
        {"subject hash", [](testing::FakeCert& c) { c.propertyFails = true; }, false,
         "CertGetCertificateContextProperty() failed.", nullptr},
        {"SHA-256", [](testing::FakeCert& c) { c.sha256Fails = true; }, true, nullptr,
         "The certificate's SHA-256 could not be computed.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeStoreCatalogue api;
        auto odd = makeCert("Odd", {0x0e}, 4);
        c.breakIt(odd);
        api.locations.push_back(
            FakeLocation{"LocalMachine", {FakeStore{"Root", {odd, makeCert("Next", {0x0f}, 5)}}}});
        KestruneState s;
        CaptureTrace trace;
        EXPECT_TRUE(scan(s, api, trace).complete());
        ASSERT_EQ(s.iCertificateCountTotal, c.counted ? 2 : 1);
        EXPECT_EQ(recordTextUtf8(s.mqsCertificates[c.counted ? 1 : 0].name), "Next");
        if (c.counted) {
            EXPECT_EQ(s.currentFingerprints[0], Fingerprint{});
            EXPECT_EQ(s.currentFingerprints[1], makeCert("Next", {0x0f}, 5).sha256);
        }
        if (c.outLine != nullptr) {
            EXPECT_NE(trace.outText().find(c.outLine), std::string::npos);
        }
        if (c.errLine != nullptr) {
            EXPECT_NE(trace.errText().find(c.errLine), std::string::npos);
        }
    }
}

TEST(Scanner, OutOfMemoryStopsAtOnceAndReadsNothingMore) {
    FakeStoreCatalogue api;
    twoLocations(api);
    std::vector<std::string> events;
    api.onEvent = [&](const std::string& event) { events.push_back(event); };
    KestruneState s;
    s.mqsCertificates.setRecordLimitForTesting(2);
    CaptureTrace trace;
    const ScanResult result = scan(s, api, trace);

    EXPECT_TRUE(result.outOfMemory);
    EXPECT_FALSE(result.complete());
    EXPECT_EQ(s.iCertificateCountTotal, 2);
    // The third certificate found no room: its facts were never read.
    EXPECT_EQ(api.factsRead, 2);
    // No store after it was opened, and pass 2 never began.
    EXPECT_EQ(events, (std::vector<std::string>{"open My", "close My", "open Root", "close Root"}));
    const std::string out = trace.outText();
    EXPECT_NE(out.find("Memory Error.\r\n"), std::string::npos);
    EXPECT_EQ(out.find("Begin enumeration of system stores."), std::string::npos);
}

TEST(Scanner, AbsentStoresAndBrokenWalksSayWhyAndKeepWhatWasRead) {
    FakeStoreCatalogue api;
    FakeStore broken{"Broken", {makeCert("One", {1}, 1), makeCert("Two", {2}, 2)}};
    broken.walkFailsAfter = 1;
    FakeStore gone{"Gone", {makeCert("Was", {3}, 3)}};
    gone.absentOnOpen = true;
    api.locations.push_back(FakeLocation{"LocalMachine", {broken, gone}});
    KestruneState s;
    CaptureTrace trace;
    scan(s, api, trace);
    ASSERT_EQ(s.iCertificateCountTotal, 1);
    EXPECT_EQ(recordTextUtf8(s.mqsCertificates[0].name), "One");
    const std::string err = trace.errText();
    EXPECT_NE(err.find("The Broken store could not be read to the end: I/O error\n"),
              std::string::npos);
    EXPECT_NE(err.find("The Gone store could not be opened: no such store\n"), std::string::npos);
    EXPECT_EQ(err.find("The Gone store has been opened."), std::string::npos);
}

}  // namespace
}  // namespace kestrune
