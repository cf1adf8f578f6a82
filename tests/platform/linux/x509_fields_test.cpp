// The record fields from real certificates: display name, subject-name MD5, serial.
#include <gtest/gtest.h>

#include "inventory/text.h"
#include "platform/linux/stores/x509_fields.h"
#include "tests/platform/linux/cert_maker.h"

namespace kestrune::testing {
namespace {

struct NameCase {
    const char* what;
    std::vector<NameEntry> subject;
    std::vector<std::string> sanEmails;
    std::vector<std::string> sanDns;
    std::string expected;
};

TEST(X509DisplayName, FollowsEachStepOfTheRule) {
    const std::vector<NameCase> cases = {
        {"first common name, wherever it stands",
         {{"O", "Org"}, {"OU", "Unit"}, {"CN", "First"}, {"CN", "Second"}},
         {"mail@example.org"},
         {},
         "First"},
        {"organisational unit without a common name",
         {{"C", "DE"}, {"O", "Org"}, {"OU", "Unit"}},
         {},
         {},
         "Unit"},
        {"organisation", {{"C", "DE"}, {"L", "Town"}, {"O", "Org"}}, {}, {}, "Org"},
        {"e-mail address attribute before the alternative names",
         {{"C", "DE"}, {"emailAddress", "ca@example.org"}},
         {"other@example.org"},
         {},
         "ca@example.org"},
        {"first rfc822 alternative name",
         {{"C", "DE"}, {"L", "Town"}},
         {"first@example.org", "second@example.org"},
         {"host.example.org"},
         "first@example.org"},
        {"first attribute's value", {{"L", "Town"}, {"C", "DE"}}, {}, {"host.example.org"}, "Town"},
        {"alternative name with an empty subject",
         {},
         {"only@example.org"},
         {},
         "only@example.org"},
        {"nothing at all", {}, {}, {}, ""},
        {"non-ASCII UTF8String",
         {{"CN", "Zürich Straße — 日本 😀"}},
         {},
         {},
         "Zürich Straße — 日本 😀"},
        {"non-ASCII BMPString", {{"CN", "Ελληνικά Ω", V_ASN1_BMPSTRING}}, {}, {}, "Ελληνικά Ω"},
    };
    for (const NameCase& c : cases) {
        CertFields fields;
        fields.subject = c.subject;
        fields.issuer = {{"CN", "Issuer"}};
        fields.sanEmails = c.sanEmails;
        fields.sanDns = c.sanDns;
        const X509Ptr cert = makeCertificate(fields);
        EXPECT_EQ(x509DisplayName(*cert), c.expected) << c.what;
    }
}

TEST(X509DisplayName, IsCutToTheNameBufferWithoutSplittingACharacter) {
    const std::string a126(126, 'a');
    // 126 units and a surrogate pair: the pair does not fit in 127 and goes whole.
    EXPECT_EQ(x509DisplayName(*makeCertificate(simpleFields(a126 + "😀", {1}))), a126);
    EXPECT_EQ(x509DisplayName(*makeCertificate(simpleFields(a126 + "é😀", {1}))), a126 + "é");
    const std::string name =
        x509DisplayName(*makeCertificate(simpleFields(std::string(300, 'x'), {1})));
    EXPECT_EQ(utf8ToUtf16(name).size(), kNameBufferUnits - 1);
}

struct SerialCase {
    std::vector<std::uint8_t> magnitude;
    bool negative;
    std::string expected;
};

TEST(X509SerialOctets, AreTheEncodedOctetsMostSignificantFirst) {
    const std::vector<std::uint8_t> twenty = {0x7f, 1,  2,  3,  4,  5,  6,  7,  8,  9,
                                              10,   11, 12, 13, 14, 15, 16, 17, 18, 19};
    std::vector<std::uint8_t> twentyHigh = twenty;
    twentyHigh[0] = 0xc3;
    const std::vector<SerialCase> cases = {
        {{0x01}, false, "01"},
        {{0x80, 0x01}, false, "00 80 01"},  // high bit set: the leading 00 stays
        {twenty, false, "7f 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13"},
        {twentyHigh, false, "00 c3 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13"},
        {{0x81}, true, "ff 7f"},  // -129 in two's complement
    };
    SubjectNameMd5 md5;
    for (const SerialCase& c : cases) {
        CertFields fields = simpleFields("Serial", c.magnitude);
        fields.negativeSerial = c.negative;
        const X509Ptr cert = makeCertificate(fields);
        ASSERT_EQ(expectedSerialText(*cert), c.expected);  // the DER really holds these

        X509Certificate wrapped(md5);
        wrapped.reset(X509Ptr(X509_dup(cert.get())));
        std::vector<std::uint8_t> le = wrapped.serialLittleEndian();
        std::string text;
        for (auto it = le.rbegin(); it != le.rend(); ++it) {
            text += formatText(text.empty() ? "%02x" : " %02x", *it);
        }
        EXPECT_EQ(text, c.expected);
    }
}

TEST(SubjectNameMd5, HashesTheSubjectNotTheIssuer) {
    CertFields fields = simpleFields("Leaf", {7});
    fields.issuer = {{"CN", "Some Issuer"}};
    const X509Ptr cert = makeCertificate(fields);
    SubjectNameMd5 md5;
    std::vector<std::uint8_t> hash;
    ASSERT_TRUE(md5.compute(*cert, hash));
    ASSERT_EQ(hash.size(), 16u);
    std::string hex;
    for (const auto b : hash) {
        hex += formatText("%02x", b);
    }
    EXPECT_EQ(hex, expectedSubjectMd5Hex(*cert));

    CertFields issuerFields;
    issuerFields.subject = fields.issuer;
    const X509Ptr issuerSelfSigned = makeCertificate(issuerFields);
    std::vector<std::uint8_t> issuerHash;
    ASSERT_TRUE(md5.compute(*issuerSelfSigned, issuerHash));
    EXPECT_NE(hash, issuerHash);
}

}  // namespace
}  // namespace kestrune::testing
