// Keystores made by the JDK's keytool from certificates made here, whole and damaged, read
// both as bytes and as a store under a temp root. Each certificate read back is held to
// OpenSSL's SHA-256 of the certificate keytool was given.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

#include "inventory/text.h"
#include "platform/linux/stores/java_keystore.h"
#include "tests/platform/linux/cert_maker.h"

namespace kestrune::testing {
namespace {

using Kind = KeystoreEntryKind;

std::string readFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

std::string sha256Hex(const std::vector<std::uint8_t>& der) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha256(), nullptr);
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += formatText("%02x", digest[i]);
    }
    return text;
}

// The keystores, made once: keytool starts a JVM each time.
struct Keystores {
    TempDir dir;
    X509Ptr alpha = makeCertificate(simpleFields("Keystore Alpha", {0x80, 0x01}));
    X509Ptr beta = makeCertificate(simpleFields("Keystore Beta", {0x02}));
    X509Ptr pair;  // the certificate keytool made for its own key pair
    std::string failure;

    Keystores() {
        if (std::system("command -v keytool >/dev/null 2>&1") != 0) {
            failure =
                "keytool is not on the PATH: it comes with a Java runtime "
                "(default-jre-headless), and these keystores are made with it";
            return;
        }
        dir.write("/alpha.pem", toPem(*alpha));
        dir.write("/beta.pem", toPem(*beta));
        const std::string gen =
            "-genkeypair -keyalg EC -groupname secp256r1 -validity 30 "
            "-dname CN=Keystore\\ Pair -alias pair -keypass changeit ";
        for (const std::string& args : {
                 add("jks", "JKS", "changeit", "alpha") + add("jks", "JKS", "changeit", "beta"),
                 add("jks-other", "JKS", "other-pass", "alpha"),
                 add("jceks", "JCEKS", "changeit", "beta"),
                 add("p12", "PKCS12", "changeit", "alpha") +
                     add("p12", "PKCS12", "changeit", "beta"),
                 add("p12-other", "PKCS12", "other-pass", "alpha"),
                 // As older JDKs write them, and as the JDK's own cacerts is now.
                 add("p12-old", "PKCS12", "changeit", "beta",
                     "-J-Dkeystore.pkcs12.certProtectionAlgorithm=PBEWithSHA1AndRC2_40 "
                     "-J-Dkeystore.pkcs12.macAlgorithm=HmacPBESHA1 "),
                 add("p12-open", "PKCS12", "changeit", "alpha",
                     "-J-Dkeystore.pkcs12.certProtectionAlgorithm=NONE "
                     "-J-Dkeystore.pkcs12.macAlgorithm=NONE "),
                 tool(gen + at("jks-key", "JKS", "changeit")) +
                     add("jks-key", "JKS", "changeit", "alpha") +
                     tool("-exportcert -rfc -alias pair -file " + path("pair.pem") + " " +
                          at("jks-key", "JKS", "changeit")),
                 tool("-importkeystore -noprompt -srckeystore " + path("jks-key") +
                      " -srcstoretype JKS -srcstorepass changeit -destkeystore " + path("p12-key") +
                      " -deststoretype PKCS12 -deststorepass changeit"),
             }) {
            if (std::system((args + "true").c_str()) != 0) {
                failure = "keytool failed: " + args + "\n" + readFile(path("keytool.log"));
                return;
            }
        }
        std::FILE* pem = std::fopen(path("pair.pem").c_str(), "r");
        pair.reset(pem ? PEM_read_X509(pem, nullptr, nullptr, nullptr) : nullptr);
        if (pem) {
            std::fclose(pem);
        }
        if (!pair) {
            failure = "keytool's exported key pair certificate does not read";
        }
    }

    std::string path(const std::string& name) const { return dir.path() + "/" + name; }
    std::string bytes(const std::string& name) const { return readFile(path(name)); }
    std::string at(const std::string& name, const char* type, const char* pass) const {
        return "-storetype " + std::string(type) + " -keystore " + path(name) + " -storepass " +
               pass;
    }
    std::string tool(const std::string& args) const {
        return "keytool " + args + " >>" + path("keytool.log") + " 2>&1 && ";
    }
    std::string add(const std::string& name, const char* type, const char* pass,
                    const std::string& cert, const std::string& options = "") const {
        return tool(options + "-importcert -noprompt -alias " + cert + " -file " +
                    path(cert + ".pem") + " " + at(name, type, pass));
    }
};

std::string cut(std::string bytes, std::size_t drop) {
    return bytes.substr(0, bytes.size() - drop);
}
std::string withByte(std::string bytes, std::size_t at, char value) {
    bytes.at(at) = value;
    return bytes;
}
std::string withU32(std::string bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(at + i) = static_cast<char>(value >> (24 - 8 * i));
    }
    return bytes;
}

struct Expected {
    std::string alias;
    Kind kind;
    const X509* cert;
    std::string name;
};

enum Outcome { Checked, Unchecked, Refused };

struct Case {
    const char* what;
    std::optional<std::string> bytes;  // none: no file at all
    std::optional<std::string> password;
    Outcome outcome;
    std::string told;  // in the error, or in why the integrity was not checked
    std::vector<Expected> entries;
};

// A certificate as the reader and the store give it, and as its maker says it must be.
using Seen = std::tuple<std::string, Kind, std::string>;  // alias, kind, SHA-256
using Fields = std::tuple<std::string, std::string, std::string, std::string>;

Fields fieldsOf(const Certificate& cert) {
    std::string name;
    std::vector<std::uint8_t> md5;
    Fingerprint sha{};
    EXPECT_TRUE(cert.simpleDisplayName(name) && cert.subjectNameMd5(md5) && cert.sha256(sha));
    std::vector<std::uint8_t> serial = cert.serialLittleEndian();
    std::reverse(serial.begin(), serial.end());
    std::string serialText;
    for (const std::uint8_t b : serial) {
        serialText += formatText(serialText.empty() ? "%02x" : " %02x", b);
    }
    std::string md5Text;
    for (const std::uint8_t b : md5) {
        md5Text += formatText("%02x", b);
    }
    EXPECT_EQ(sha256Hex(cert.der()), fingerprintHex(sha));
    return {fingerprintHex(sha), name, md5Text, serialText};
}

void checkStore(const Case& c, const std::vector<Fields>& expected) {
    TempDir root;
    if (c.bytes) {
        root.write("/etc/ssl/certs/java/cacerts", *c.bytes);
    }
    const RootDir rootDir(root.path());
    CaptureTrace trace;
    const KeystoreStore store("java-cacerts", "/etc/ssl/certs/java/cacerts", rootDir, trace,
                              c.password);
    EXPECT_EQ(store.location(), LinuxLocation::System);
    EXPECT_EQ(store.sources().size(), c.bytes ? 1u : 0u);
    auto open = store.open();
    ASSERT_EQ(open.ok(), c.outcome != Refused) << (open.ok() ? "" : open.error());
    if (c.outcome == Refused) {
        EXPECT_EQ(open.failure().unreadable, c.bytes.has_value());
        EXPECT_NE(open.failure().message.find(c.told), std::string::npos) << open.error();
        return;
    }
    std::vector<Fields> seen;
    while (const Certificate* cert = (*open)->next()) {
        seen.push_back(fieldsOf(*cert));
    }
    EXPECT_EQ((*open)->walkFailure(), "");
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
    // A keystore read unchecked is said, and nothing else.
    const std::string told = trace.errText();
    EXPECT_EQ(told.empty(), c.outcome == Checked) << told;
    EXPECT_EQ(told.find(": " + c.told + ";") == std::string::npos, c.outcome == Checked) << told;
}

std::vector<Case> cases(const Keystores& k) {
    const std::string jks = k.bytes("jks");
    const std::string p12 = k.bytes("p12");
    const Expected alpha{"alpha", Kind::TrustedCertificate, k.alpha.get(), "Keystore Alpha"};
    const Expected beta{"beta", Kind::TrustedCertificate, k.beta.get(), "Keystore Beta"};
    const Expected pair{"pair", Kind::PrivateKeyChain, k.pair.get(), "Keystore Pair"};
    const std::string other = "other-pass";
    const std::string notChangeit = "the keystore's password is not changeit";
    const std::string altered = withByte(jks, jks.size() - 1, '\x5a');
    // Header 12 bytes; the first entry (alpha or beta, in the JDK's hash order): tag 4,
    // alias 2+5 or 2+4, date 8, type "X.509" 2+5; then its certificate's length.
    const std::size_t firstLength = jks.at(17) == 5 ? 38 : 37;
    // clang-format off
    return {
        {"JKS under changeit", jks, {}, Checked, "", {alpha, beta}},
        {"JKS under another password, none given", k.bytes("jks-other"), {}, Unchecked,
         notChangeit, {alpha}},
        {"JKS under another password, given", k.bytes("jks-other"), other, Checked, "", {alpha}},
        {"JCEKS under changeit", k.bytes("jceks"), {}, Checked, "", {beta}},
        {"JKS with a key pair", k.bytes("jks-key"), {}, Checked, "", {alpha, pair}},
        {"PKCS12 under changeit", p12, {}, Checked, "", {alpha, beta}},
        {"PKCS12 with a key pair", k.bytes("p12-key"), {}, Checked, "", {alpha, pair}},
        {"PKCS12 with RC2-encrypted certificates", k.bytes("p12-old"), {}, Checked, "", {beta}},
        {"PKCS12 with no MAC", k.bytes("p12-open"), {}, Unchecked,
         "the keystore has no MAC", {alpha}},
        {"PKCS12 under another password, given", k.bytes("p12-other"), other, Checked, "", {alpha}},
        {"PKCS12 under another password, none given", k.bytes("p12-other"), {}, Refused,
         "MAC does not verify under the password changeit", {}},
        {"PKCS12 under a wrong password given", p12, "wrong", Refused,
         "MAC does not verify under the password given", {}},
        {"PKCS12 cut short", cut(p12, p12.size() / 2), {}, Refused,
         "does not parse as a PKCS#12", {}},
        {"JKS cut in an entry", cut(jks, jks.size() / 2), {}, Refused, "cut short", {}},
        {"JKS cut in its digest", cut(jks, 5), {}, Refused, "cut short: the digest", {}},
        {"JKS with its digest altered, changeit given", altered, "changeit", Refused,
         "altered", {}},
        {"JKS with its digest altered, none given", altered, {}, Unchecked,
         notChangeit, {alpha, beta}},
        {"JKS counting more entries than it holds", withU32(jks, 8, 0x7fffffff), {}, Refused,
         "entries cannot fit", {}},
        {"JKS with a certificate length past its end", withU32(jks, firstLength, 0xfffffff0), {},
         Refused, "needs 4294967280 bytes", {}},
        {"JKS of an unknown version", withU32(jks, 4, 3), {}, Refused, "version 3", {}},
        {"bad magic", withByte(jks, 0, '\x00'), {}, Refused, "not a Java keystore", {}},
        {"empty file", std::string(), {}, Refused, "empty", {}},
        {"no file", std::nullopt, {}, Refused, "no keystore there", {}},
    };
    // clang-format on
}

void checkReader(const Case& c, std::vector<Seen> expected) {
    const Result<Keystore> read = readJavaKeystore(*c.bytes, c.password);
    ASSERT_EQ(read.ok(), c.outcome != Refused) << (read.ok() ? "" : read.error());
    if (!read) {
        EXPECT_NE(read.error().find(c.told), std::string::npos) << read.error();
        return;
    }
    EXPECT_EQ(read->integrityChecked, c.outcome == Checked);
    EXPECT_EQ(read->unchecked.substr(0, c.told.size()), c.told) << read->unchecked;
    std::vector<Seen> seen;
    for (const KeystoreEntry& entry : read->entries) {
        seen.emplace_back(entry.alias, entry.kind, sha256Hex(entry.der));
    }
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
}

TEST(JavaKeystore, KeystoresReadRefusedAndSaidAsTheyAre) {
    static const Keystores k;
    ASSERT_EQ(k.failure, "");
    for (const Case& c : cases(k)) {
        SCOPED_TRACE(c.what);
        std::vector<Seen> expected;
        std::vector<Fields> fields;
        for (const Expected& e : c.entries) {
            expected.emplace_back(e.alias, e.kind, expectedSha256Hex(*e.cert));
            fields.emplace_back(expectedSha256Hex(*e.cert), e.name, expectedSubjectMd5Hex(*e.cert),
                                expectedSerialText(*e.cert));
        }
        std::sort(fields.begin(), fields.end());
        checkStore(c, fields);
        if (c.bytes) {
            checkReader(c, expected);
        }
    }
}

}  // namespace
}  // namespace kestrune::testing
