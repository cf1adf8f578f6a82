// The record extractor against the full parse it stands in for: on generated
// certificates of every kind a record cares about it must take the fast path and give
// the same fields, byte for byte; on bytes OpenSSL rejects it must decline, so the full
// parse rejects them with its reason; and what it declines still reaches the record.
#include <gtest/gtest.h>

#include <functional>

#include "app/ports.h"
#include "inventory/scanner.h"
#include "inventory/text.h"
#include "platform/linux/stores/cert_file_reader.h"
#include "platform/linux/stores/record_extractor.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"

namespace kestrune::testing {
namespace {

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (const auto b : bytes) {
        s += formatText(s.empty() ? "%02x" : " %02x", b);
    }
    return s;
}

// Each certificate of a file, through both paths.
struct Outcome {
    bool extracted = false;
    bool parsed = false;
    ExtractedFields fast;
    ExtractedFields full;
    std::optional<Fingerprint> outer;  // the quick digest of the outer encoding
    std::string problem;
};

std::vector<Outcome> readBoth(const std::string& file) {
    std::vector<Outcome> outcomes;
    CertificateFileReader reader(file);
    RecordExtractor extractor;
    SubjectNameMd5 md5;
    CertificateFileReader::Block block;
    std::string problem;
    while (reader.nextBlock(block, problem) != CertificateFileReader::Step::End) {
        Outcome o;
        if (block.der != nullptr) {
            o.extracted = extractor.extract(block.der, block.size, block.trusted, o.fast);
            o.outer = extractor.outerSha256(block.der, block.size);
            o.parsed = parsedFields(block.der, block.size, block.trusted, md5, o.full, o.problem);
        }
        outcomes.push_back(std::move(o));
    }
    return outcomes;
}

void expectSameFields(const ExtractedFields& a, const ExtractedFields& b, const std::string& what) {
    EXPECT_EQ(a.name, b.name) << what;
    EXPECT_EQ(a.md5, b.md5) << what;
    EXPECT_EQ(a.serial, b.serial) << what;
    EXPECT_EQ(a.sha256, b.sha256) << what;
}

// A well-formed certificate: extracted (not declined), as plain DER, as PEM and as a
// trusted PEM block, each time with the full parse's fields and the certificate's own.
void expectExtracted(X509& cert, const std::string& expectedName, const std::string& what) {
    const std::string pem = toPem(cert);
    const std::string der = toDer(cert);
    for (const std::string& file : {der, pem, toTrustedPem(cert)}) {
        const std::vector<Outcome> outcomes = readBoth(file);
        ASSERT_EQ(outcomes.size(), 1u) << what;
        const Outcome& o = outcomes[0];
        ASSERT_TRUE(o.extracted) << what;
        ASSERT_TRUE(o.parsed) << what << ": " << o.problem;
        expectSameFields(o.fast, o.full, what);
        EXPECT_EQ(o.fast.name, expectedName) << what;
        EXPECT_EQ(hexOf(o.fast.serial), expectedSerialText(cert)) << what;
        EXPECT_EQ(fingerprintHex(o.fast.sha256), expectedSha256Hex(cert)) << what;
        // Trust data after a trusted certificate is not digested by either.
        EXPECT_EQ(o.outer ? fingerprintHex(*o.outer) : "", expectedSha256Hex(cert)) << what;
        std::string md5;
        for (const auto b : o.fast.md5) {
            md5 += formatText("%02x", b);
        }
        EXPECT_EQ(md5, expectedSubjectMd5Hex(cert)) << what;
    }
}

struct Case {
    const char* what;
    CertFields fields;
    std::string expectedName;
};

CertFields withSubject(std::vector<NameEntry> subject, std::vector<std::string> emails = {},
                       std::vector<std::string> dns = {}) {
    CertFields f;
    f.subject = std::move(subject);
    f.issuer = {{"CN", "Issuer"}};
    f.sanEmails = std::move(emails);
    f.sanDns = std::move(dns);
    return f;
}

CertFields withSerial(std::vector<std::uint8_t> magnitude, bool negative = false) {
    CertFields f = simpleFields("Serial", std::move(magnitude));
    f.negativeSerial = negative;
    return f;
}

TEST(RecordExtractor, GivesTheFullParsesFieldsForEveryKindOfCertificate) {
    std::vector<std::uint8_t> twenty(20, 0x5a);
    twenty[0] = 0x7f;
    std::vector<std::uint8_t> twentyHigh = twenty;  // 21 octets once the 00 goes in front
    twentyHigh[0] = 0xc3;
    CertFields v1 = withSubject({{"C", "DE"}, {"O", "Old Org"}});
    v1.version1 = true;
    const std::vector<Case> cases = {
        // Each step of the display-name rule.
        {"common name", withSubject({{"O", "Org"}, {"CN", "First"}, {"CN", "Second"}}), "First"},
        {"unit", withSubject({{"C", "DE"}, {"O", "Org"}, {"OU", "Unit"}}), "Unit"},
        {"organisation", withSubject({{"C", "DE"}, {"O", "Org"}}), "Org"},
        {"e-mail attribute",
         withSubject({{"C", "DE"}, {"emailAddress", "a@example.org"}}, {"b@example.org"}),
         "a@example.org"},
        {"rfc822 alternative name",
         withSubject({{"C", "DE"}, {"L", "Town"}}, {"first@example.org", "second@example.org"},
                     {"host.example.org"}),
         "first@example.org"},
        {"first attribute", withSubject({{"L", "Town"}, {"C", "DE"}}), "Town"},
        {"SAN without rfc822", withSubject({{"L", "Town"}, {"C", "DE"}}, {}, {"host.example.org"}),
         "Town"},
        {"empty subject, SAN", withSubject({}, {"only@example.org"}), "only@example.org"},
        {"nothing at all", withSubject({}), ""},
        // String types of the name.
        {"UTF8String", withSubject({{"CN", "Zürich 日本 😀", V_ASN1_UTF8STRING}}), "Zürich 日本 😀"},
        {"BMPString", withSubject({{"CN", "Ελληνικά Ω", V_ASN1_BMPSTRING}}), "Ελληνικά Ω"},
        {"T61String", withSubject({{"CN", "Caf\xe9", V_ASN1_T61STRING}}), "Café"},
        {"cut to the buffer", simpleFields(std::string(300, 'x'), {1}), std::string(127, 'x')},
        // Serial encodings.
        {"serial 01", withSerial({0x01}), "Serial"},
        {"serial with a leading 00", withSerial({0x80, 0x01}), "Serial"},
        {"negative serial", withSerial({0x81}, true), "Serial"},
        {"20-octet serial", withSerial(twenty), "Serial"},
        {"21-octet serial", withSerial(twentyHigh), "Serial"},
        {"v1 without extensions", v1, "Old Org"},
    };
    for (const Case& c : cases) {
        const X509Ptr cert = makeCertificate(c.fields);
        expectExtracted(*cert, c.expectedName, c.what);
    }
}

// The DER of a generated certificate, changed by `edit`.
std::string edited(const std::function<void(std::string&)>& edit) {
    std::string der = toDer(*makeCertificate(simpleFields("Edited", {0x42})));
    edit(der);
    return der;
}

TEST(RecordExtractor, DeclinesWhatOpensslRejectsAndTheFullParseSaysWhy) {
    const std::string good = toDer(*makeCertificate(simpleFields("Edited", {0x42})));
    const std::size_t serialAt = good.find(std::string("\x02\x01\x42", 3));
    ASSERT_NE(serialAt, std::string::npos);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"truncated", good.substr(0, good.size() - 10)},
        {"only the header", good.substr(0, 4)},
        {"not a SEQUENCE", edited([](std::string& d) { d[0] = 0x31; })},
        {"serial not minimal", edited([&](std::string& d) {
             d.replace(serialAt, 3, std::string("\x02\x02\x00\x42", 4));
         })},
        {"serial not an INTEGER", edited([&](std::string& d) { d[serialAt] = 0x04; })},
        {"a byte too many in the certificate", edited([](std::string& d) {
             d.push_back('\0');
             d[3] = static_cast<char>(static_cast<unsigned char>(d[3]) + 1);
         })},
        {"signature bit string with 8 unused bits", edited([](std::string& d) {
             // The signature BIT STRING is the last element; its first content octet
             // counts the unused bits.
             for (std::size_t p = d.size() - 80; p < d.size(); ++p) {
                 if (d[p] == '\x03' && static_cast<unsigned char>(d[p + 1]) + p + 2 == d.size()) {
                     d[p + 2] = 8;
                     return;
                 }
             }
         })},
    };
    for (const auto& [what, der] : cases) {
        const std::vector<Outcome> outcomes = readBoth(der);
        ASSERT_EQ(outcomes.size(), 1u) << what;
        EXPECT_FALSE(outcomes[0].extracted) << what;
        EXPECT_FALSE(outcomes[0].parsed) << what;
        EXPECT_NE(outcomes[0].problem.find("not a certificate ("), std::string::npos) << what;
    }
}

// A non-minimal length on the outer SEQUENCE: OpenSSL reads it, and its fingerprint is
// of the certificate as it re-encodes it; the extractor leaves it to the full parse, and
// the scan still records it with that fingerprint.
TEST(RecordExtractor, LeavesWhatItIsUnsureOfToTheFullParseAndTheScanStillRecordsIt) {
    const X509Ptr cert = makeCertificate(simpleFields("Long Length", {0x33}));
    const std::string der = toDer(*cert);
    ASSERT_EQ(static_cast<unsigned char>(der[1]), 0x82);
    const std::string longer = der.substr(0, 1) + std::string("\x83\x00", 2) + der.substr(2);
    const std::vector<Outcome> outcomes = readBoth(longer);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].extracted);
    ASSERT_TRUE(outcomes[0].parsed) << outcomes[0].problem;
    EXPECT_EQ(fingerprintHex(outcomes[0].full.sha256), expectedSha256Hex(*cert));

    TempDir root;
    root.write("/usr/local/share/ca-certificates/long.crt", longer);
    root.write("/usr/local/share/ca-certificates/plain.crt", toPem(*cert));
    PlatformOptions options;
    options.root = root.path();
    CaptureTrace trace;
    const auto api = makePorts(options, trace).stores;
    KestruneState state;
    scan(state, *api, trace);
    const std::vector<Row> found = rows(state);
    ASSERT_EQ(found.size(), 2u) << trace.allText();
    EXPECT_EQ(found[0], found[1]);
    EXPECT_EQ(found[0].name, "Long Length");
    EXPECT_EQ(found[0].serial, "33");
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(fingerprintHex(state.currentFingerprints.at(i)), expectedSha256Hex(*cert)) << i;
    }
}

}  // namespace
}  // namespace kestrune::testing
