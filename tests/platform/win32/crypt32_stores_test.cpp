// The crypt32 store layer under the portable scanner, on Wine's real stores.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/ports.h"
#include "inventory/scanner.h"
#include "platform/platform.h"
#include "platform/win32/stores/crypt32_stores.h"
#include "platform/win32/win32_text.h"
#include "tests/platform/win32/added_certificate.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/record_builder.h"
#include "tests/support/test_certificate.h"

namespace kestrune {
namespace {

namespace fixture = testing::test_certificate;
using testing::AddedCertificate;
using testing::Bytes;
using testing::RecordBuilder;
using testing::StoreHandle;

std::vector<CertificateRecord> recordsNamed(const KestruneState& s, const std::string& name) {
    std::vector<CertificateRecord> found;
    for (const CertificateRecord& r : s.mqsCertificates.valid()) {
        if (recordTextUtf8(r.name) == name) {
            found.push_back(r);
        }
    }
    return found;
}

TEST(Crypt32Stores, UnderWineTheLocationsAreThePredefinedOnes) {
    ASSERT_TRUE(win32::runningUnderWine()) << "these tests expect to run under Wine";
    const std::vector<std::pair<std::string, std::uint32_t>> expected = {
        {"CurrentUser", 1},
        {"LocalMachine", 2},
        {"CurrentService", 4},
        {"Services", 5},
        {"Users", 6},
        {"CurrentUserGroupPolicy", 7},
        {"LocalMachineGroupPolicy", 8},
        {"LocalMachineEnterprise", 9},
    };
    std::vector<std::pair<std::string, std::uint32_t>> predefined;
    for (const win32::StoreLocation& l : win32::predefinedStoreLocations()) {
        predefined.emplace_back(l.name, l.id);
    }
    EXPECT_EQ(predefined, expected);

    NullTrace trace;
    auto api = makePorts(defaultPlatformOptions(), trace).stores;
    testing::ListingRecorder listed;
    EXPECT_TRUE(api->listLocations(listed).ok());
    std::vector<std::string> locations;
    std::string firstStore;
    for (const std::string& event : listed.events) {
        if (event.rfind("location ", 0) == 0) {
            locations.push_back(event.substr(9));
        } else if (firstStore.empty() && event.rfind("store ", 0) == 0) {
            firstStore = event.substr(6);
        }
    }
    ASSERT_EQ(locations.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(locations[i], expected[i].first);
    }

    // A visitor that says stop is obeyed at once.
    ASSERT_FALSE(firstStore.empty());
    testing::ListingRecorder stopping;
    stopping.stopAt = firstStore;
    (void)api->listLocations(stopping);
    EXPECT_EQ(stopping.events,
              (std::vector<std::string>{"location CurrentUser", "store " + firstStore}));
}

// The rules of crypt32's walk that Wine never exercises: relocation records and the
// physical-store lines.
TEST(Crypt32Walk, RelocationChecksAndPhysicalStoreLines) {
    int keyA = 0;
    int keyB = 0;
    struct Case {
        const void* hKeyBase;
        int verbose;
        const void* storeKey;
        std::uint32_t flags;
        std::optional<std::string> name;  // what the system-store callback goes on with
        std::string physicalLines;        // what the physical-store callback writes
    };
    const std::uint32_t reloc = win32::kRelocateFlag;
    const std::string notSet = "Failed => RELOCATE_FLAG not set in callback. \n";
    const std::vector<Case> cases = {
        {nullptr, 0, nullptr, 0, "My", "    My\n"},
        {nullptr, 0, nullptr, 1, "My", "    My\n"},  // implicit, but not verbose
        {nullptr, 1, nullptr, 1, "My", "    My (implicitly created)\n"},
        {nullptr, 1, nullptr, 0, "My", "    My\n"},
        {nullptr, 0, &keyA, reloc, "My", "Failed => RELOCATE_FLAG is set in callback    My\n"},
        {&keyA, 0, nullptr, 0, std::nullopt, notSet + "GetSystemName failed."},
        {&keyA, 0, &keyA, reloc, "My", "    My\n"},
        {&keyA, 0, &keyB, reloc, "My", "Wrong hKeyBase passed to callback    My\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "key base " << c.hKeyBase << ", verbose " << c.verbose
                                          << ", flags " << std::hex << c.flags);
        win32::WalkArg arg;
        arg.hKeyBase = c.hKeyBase;
        arg.verbose = c.verbose;
        const win32::StoreRef store{c.storeKey, "My"};
        CaptureTrace trace;
        EXPECT_EQ(win32::walk::checkedName(arg, store, c.flags, trace), c.name);
        // The physical-store callback writes the same checks' lines first.
        EXPECT_EQ(c.physicalLines.rfind(trace.outText(), 0), 0u);
        CaptureTrace physical;
        win32::walk::tracePhysicalStore(arg, store, c.flags, physical);
        EXPECT_EQ(physical.outText(), c.physicalLines);
    }
}

TEST(Crypt32Walk, FlagsWordsAndWhichPhysicalFailuresAreTold) {
    struct FlagsCase {
        std::uint32_t argFlags;
        std::uint32_t callbackFlags;
        std::uint32_t systemStores;  // listing the stores of a location so named
        std::uint32_t physical;      // listing the physical stores of a store so named
    };
    const FlagsCase flagCases[] = {
        {0, 0x10000, 0x10000, 0x10000},
        {0, 0x20000, 0x20000, 0x20000},
        {0, 0x80020007, 0x80020000, 0x80020000},
        {0x00AB1234, 0x00020001, 0x00021234, 0x00021234},
    };
    for (const FlagsCase& c : flagCases) {
        win32::WalkArg arg;
        arg.flags = c.argFlags;
        EXPECT_EQ(win32::walk::systemStoreFlags(arg, c.callbackFlags), c.systemStores)
            << std::hex << c.argFlags << " " << c.callbackFlags;
        EXPECT_EQ(win32::walk::physicalStoreFlags(arg, c.callbackFlags), c.physical)
            << std::hex << c.argFlags << " " << c.callbackFlags;
    }
    EXPECT_FALSE(win32::walk::physicalFailureIsTold(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(win32::walk::physicalFailureIsTold(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(win32::walk::physicalFailureIsTold(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(win32::walk::physicalFailureIsTold(ERROR_PATH_NOT_FOUND));
}

TEST(Crypt32Stores, ScanOfWinesStoresRecordsNamesSerialsAndHashes) {
    KestruneState s;
    CaptureTrace trace;
    auto api = makePorts(defaultPlatformOptions(), trace).stores;
    scan(s, *api, trace);

    // Wine's Root store holds the host's CA bundle.
    ASSERT_GT(s.iCertificateCountTotal, 10);
    EXPECT_GT(s.uniqueCertificateCount, 10);
    EXPECT_LE(s.uniqueCertificateCount, s.iCertificateCountTotal);
    int inRoot = 0;
    std::set<std::pair<std::string, std::string>> fromScan;
    for (const CertificateRecord& r : s.mqsCertificates.valid()) {
        EXPECT_FALSE(recordText(r.name).empty());
        EXPECT_GT(r.serialLength, 0);
        EXPECT_EQ(r.subjectNameHashLength, 16);
        EXPECT_FALSE(recordText(r.storeName).empty());
        EXPECT_FALSE(recordText(r.locationName).empty());
        if (recordTextUtf8(r.storeName) == "Root") {
            ++inRoot;
            fromScan.emplace(serialText(r), subjectHashHex(r));
        }
    }
    // Every certificate of Root, straight from crypt32: its serial and the MD5 of its
    // subject name, as the records must hold them.
    std::set<std::pair<std::string, std::string>> direct;
    int inRootStore = 0;
    {
        StoreHandle root(CertOpenSystemStoreW(0, L"Root"));
        ASSERT_TRUE(root);
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(root.get(), c)) != nullptr) {
            BYTE md5[16];
            DWORD md5Size = sizeof md5;
            ASSERT_TRUE(CryptHashCertificate(0, CALG_MD5, 0, c->pCertInfo->Subject.pbData,
                                             c->pCertInfo->Subject.cbData, md5, &md5Size));
            const CRYPT_INTEGER_BLOB& serial = c->pCertInfo->SerialNumber;
            const CertificateRecord r =
                RecordBuilder()
                    .serialLittleEndian(Bytes(serial.pbData, serial.pbData + serial.cbData))
                    .subjectHash(Bytes(md5, md5 + md5Size));
            direct.emplace(serialText(r), subjectHashHex(r));
            ++inRootStore;
        }
    }
    EXPECT_EQ(fromScan, direct);
    // Each time the scan met a store named Root it collected all of it.
    const std::string err = trace.errText();
    int rootOpens = 0;
    for (std::size_t at = err.find("The Root store has been opened. \n"); at != std::string::npos;
         at = err.find("The Root store has been opened. \n", at + 1)) {
        ++rootOpens;
    }
    EXPECT_GE(rootOpens, 1);
    EXPECT_EQ(inRoot, rootOpens * inRootStore);

    const std::string out = trace.outText();
    EXPECT_NE(out.find("======   LocalMachine   ======\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  Root\n"), std::string::npos);
    EXPECT_NE(out.find("\nFinished enumerating locations. \n"), std::string::npos);
    // Wine has no physical stores: the failure is reported and the scan goes on.
    EXPECT_NE(out.find("    CertEnumPhysicalStore"), std::string::npos);
}

TEST(Crypt32Stores, AddedCertificateGivesExactlyTheFixtureRecords) {
    AddedCertificate added(L"My");
    ASSERT_TRUE(added.ok()) << win32::errorText(GetLastError());

    KestruneState s;
    NullTrace trace;
    auto api = makePorts(defaultPlatformOptions(), trace).stores;
    scan(s, *api, trace);

    const std::vector<CertificateRecord> found = recordsNamed(s, fixture::kRecordName);
    // Pass 1 under its own location (and again under any other location that lists a
    // store named My, since stores open by name in the user's context), pass 2 under
    // the last location pass 1 named.
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(recordTextUtf8(found.front().locationName), "CurrentUser");
    EXPECT_EQ(recordTextUtf8(found.back().locationName), "LocalMachineEnterprise");
    for (const CertificateRecord& r : found) {
        const std::string location = recordTextUtf8(r.locationName);
        const CertificateRecord expected = testing::testCertificateRecord("My", location);
        EXPECT_EQ(std::memcmp(&r, &expected, sizeof expected), 0)
            << recordTextUtf8(r.name) << " / " << serialText(r) << " / " << subjectHashHex(r)
            << " / " << recordTextUtf8(r.storeName) << " / " << location;
    }
}

TEST(Crypt32Stores, StoreWalkYieldsTheAddedCertificateOnceWithTheFixturesFacts) {
    AddedCertificate added(L"My");
    ASSERT_TRUE(added.ok());
    NullTrace trace;
    win32::Crypt32StoreCatalogue api(trace, true);
    OpenedStore store = api.openStore("My");
    ASSERT_TRUE(store) << store.error();
    const auto next = [&] {
        const Result<bool> more = store.reader().next();
        EXPECT_TRUE(more.ok()) << more.error();
        return more.ok() && more.value();
    };
    int count = 0;
    while (next()) {
        const CertificateFacts facts = store.reader().facts();
        ASSERT_TRUE(facts.displayName) << facts.displayName.error();
        EXPECT_EQ(*facts.displayName, fixture::kCommonName);
        ASSERT_TRUE(facts.subjectNameHash) << facts.subjectNameHash.error();
        EXPECT_EQ(*facts.subjectNameHash,
                  std::vector<std::uint8_t>(std::begin(fixture::kSubjectNameMd5),
                                            std::end(fixture::kSubjectNameMd5)));
        EXPECT_EQ(facts.serialLittleEndian,
                  std::vector<std::uint8_t>(std::rbegin(fixture::kSerialMsbFirst),
                                            std::rend(fixture::kSerialMsbFirst)));
        EXPECT_TRUE(facts.sha256.has_value());
        EXPECT_FALSE(facts.der.empty());
        ++count;
    }
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(next()) << "the walk stays at its end";
}

}  // namespace
}  // namespace kestrune
