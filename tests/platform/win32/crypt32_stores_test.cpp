// The crypt32 store layer under the portable scanner, on Wine's real stores.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/ports.h"
#include "inventory/scanner.h"
#include "platform/platform.h"
#include "platform/win32/crypt32_stores.h"
#include "platform/win32/win32_text.h"
#include "tests/platform/win32/added_certificate.h"
#include "tests/support/test_certificate.h"
#include "tests/support/test_certificate_record.h"

namespace kestrune {
namespace {

namespace fixture = testing::test_certificate;
using testing::AddedCertificate;
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
    NullTrace trace;
    auto api = makePorts(defaultPlatformOptions(), trace).stores;
    std::vector<std::pair<std::string, std::uint32_t>> seen;
    EXPECT_TRUE(api->enumerateLocations(kCertSystemStoreCurrentUser,
                                        [&](const std::string& name, std::uint32_t flags) {
                                            seen.emplace_back(name, flags);
                                            return true;
                                        }));
    const std::vector<std::pair<std::string, std::uint32_t>> expected = {
        {"CurrentUser", 0x10000},
        {"LocalMachine", 0x20000},
        {"CurrentService", 0x40000},
        {"Services", 0x50000},
        {"Users", 0x60000},
        {"CurrentUserGroupPolicy", 0x70000},
        {"LocalMachineGroupPolicy", 0x80000},
        {"LocalMachineEnterprise", 0x90000},
    };
    EXPECT_EQ(seen, expected);

    // A callback that says stop is obeyed.
    int calls = 0;
    api->enumerateLocations(kCertSystemStoreCurrentUser, [&](const std::string&, std::uint32_t) {
        ++calls;
        return false;
    });
    EXPECT_EQ(calls, 1);
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
            CertificateRecord r = zeroRecord();
            setSerialFromLittleEndian(r, c->pCertInfo->SerialNumber.pbData,
                                      c->pCertInfo->SerialNumber.cbData);
            setSubjectNameHash(r, md5, md5Size);
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

TEST(Crypt32Stores, StoreWalkYieldsTheAddedCertificateOnceWithTheFixturesFields) {
    AddedCertificate added(L"My");
    ASSERT_TRUE(added.ok());
    win32::Crypt32StoreApi api(true);
    StoreError why;
    auto store = api.openStore("My", why);
    ASSERT_TRUE(store) << why.why;
    int count = 0;
    while (const Certificate* cert = store->next()) {
        std::string name;
        ASSERT_TRUE(cert->simpleDisplayName(name));
        EXPECT_EQ(name, fixture::kCommonName);
        std::vector<std::uint8_t> hash;
        ASSERT_TRUE(cert->subjectNameMd5(hash));
        EXPECT_EQ(hash, std::vector<std::uint8_t>(std::begin(fixture::kSubjectNameMd5),
                                                  std::end(fixture::kSubjectNameMd5)));
        const std::vector<std::uint8_t> serial = cert->serialLittleEndian();
        EXPECT_EQ(serial, std::vector<std::uint8_t>(std::rbegin(fixture::kSerialMsbFirst),
                                                    std::rend(fixture::kSerialMsbFirst)));
        ++count;
    }
    EXPECT_EQ(count, 1);
    EXPECT_EQ(store->next(), nullptr) << "the walk stays at its end";
}

}  // namespace
}  // namespace kestrune
