// The test certificate through the Linux layer: the same record fields the Windows layer
// computes for it under Wine (tests/platform/win32), both checked against the fixture.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/ports.h"
#include "inventory/scanner.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/support/record_builder.h"
#include "tests/support/test_certificate.h"

namespace kestrune::testing {
namespace {

TEST(TestCertificateFields, LinuxLayerMakesTheFixtureRecord) {
    TempDir root;
    const std::string der(reinterpret_cast<const char*>(test_certificate::kDer),
                          sizeof test_certificate::kDer);
    root.write("/usr/local/share/ca-certificates/kestrune-test.crt", der);

    PlatformOptions options;
    options.root = root.path();
    CaptureTrace trace;
    const auto api = makePorts(options, trace).stores;
    KestruneState state;
    scan(state, *api, trace);

    int found = 0;
    const CertificateRecord expected = testCertificateRecord("local-anchors", "System");
    for (const CertificateRecord& r : state.mqsCertificates.valid()) {
        if (recordTextUtf8(r.name) != test_certificate::kRecordName) {
            continue;
        }
        ++found;
        EXPECT_EQ(std::memcmp(&r, &expected, sizeof expected), 0)
            << serialText(r) << " / " << subjectHashHex(r) << " / " << recordTextUtf8(r.storeName)
            << " / " << recordTextUtf8(r.locationName);
    }
    EXPECT_EQ(found, 1) << trace.allText();
}

}  // namespace
}  // namespace kestrune::testing
