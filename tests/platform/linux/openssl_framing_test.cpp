// The framings a certificate file may have, each read by OpenSSL and by the trust-store
// scan: whatever OpenSSL loads as a trust anchor (a CA file, a hashed folder, a DER
// file) must be in the scan with the trust settings stored beside it, and a file the
// scan cannot read while it holds certificate markers or DER leaves its store unreadable.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <map>

#include "app/ports.h"
#include "platform/linux/stores/trust_store.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"

namespace kestrune::testing {
namespace {

constexpr char kAnchors[] = "/usr/local/share/ca-certificates";

using Bytes = std::vector<std::uint8_t>;
using Seen = std::map<std::string, Bytes>;  // SHA-256 hex -> trust settings

std::string hexOf(const Fingerprint& f) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t b : f) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

// The trust settings OpenSSL holds for a certificate: its auxiliary encoding past the
// certificate itself.
Bytes opensslTrust(X509* cert) {
    unsigned char* aux = nullptr;
    const int all = i2d_X509_AUX(cert, &aux);
    const int plain = i2d_X509(cert, nullptr);
    Bytes trust(aux + std::min(plain, all), aux + std::max(all, 0));
    OPENSSL_free(aux);
    return trust;
}

void collect(X509_STORE* store, Seen& seen) {
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
        if (X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i))) {
            auto& trust = seen[expectedSha256Hex(*cert)];
            const Bytes found = opensslTrust(cert);
            if (!found.empty()) {
                trust = found;
            }
        }
    }
}

// What OpenSSL loads from the file: as a CA file (SSL_CTX_load_verify_locations), as a
// file of a hashed folder (PEM certificates one by one, trust settings kept) and as DER.
Seen opensslLoads(const std::string& file) {
    Seen seen;
    for (const int how : {0, X509_FILETYPE_PEM, X509_FILETYPE_ASN1}) {
        X509_STORE* store = X509_STORE_new();
        if (how == 0) {
            X509_STORE_load_file(store, file.c_str());
        } else {
            X509_load_cert_file(X509_STORE_add_lookup(store, X509_LOOKUP_file()), file.c_str(),
                                how);
        }
        collect(store, seen);
        X509_STORE_free(store);
    }
    ERR_clear_error();
    return seen;
}

struct ScanSeen {
    Seen seen;
    std::size_t records = 0;
    std::string unreadable;  // why the store could not be read whole
};

ScanSeen scanLoads(const TempDir& root) {
    CaptureTrace trace;
    PlatformOptions options;
    options.root = root.path();
    const auto api = makeTrustStoreCatalogue(options, trace);
    ScanSeen out;
    OpenedStore store = api->openStore("local-anchors");
    if (!store) {
        out.unreadable = store.error();
        return out;
    }
    Result<bool> more = store.reader().next();
    for (; more.ok() && more.value(); more = store.reader().next()) {
        const CertificateFacts facts = store.reader().facts();
        out.seen[hexOf(facts.sha256.value_or(Fingerprint{}))] = facts.trustSettings;
        ++out.records;
    }
    out.unreadable = more.ok() ? std::string() : more.error();
    return out;
}

std::string label(std::string pem, const std::string& from, const std::string& to) {
    for (std::size_t at = pem.find(from); at != std::string::npos; at = pem.find(from, at)) {
        pem.replace(at, from.size(), to);
        at += to.size();
    }
    return pem;
}

// Every line of `text` (without its newline) as `edit` makes it.
template <typename Edit>
std::string perLine(const std::string& text, Edit edit) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        out += edit(std::string_view(text).substr(start, end - start));
        out += end < text.size() ? "\n" : "";
        start = end + 1;
    }
    return out;
}

// The base64 lines of a PEM block.
std::string body(const std::string& pem) {
    const std::size_t from = pem.find('\n') + 1;
    return pem.substr(from, pem.find("-----END") - from);
}

std::string pemOf(const std::string& name, const std::string& der) {
    std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()),
                                  reinterpret_cast<const unsigned char*>(der.data()),
                                  static_cast<int>(der.size()));
    b64.resize(static_cast<std::size_t>(n));
    return "-----BEGIN " + name + "-----\n" + b64 + "\n-----END " + name + "-----\n";
}

TEST(OpensslFraming, EveryCertificateOpensslLoadsIsScannedAndWhatCannotBeReadIsSaidSo) {
    const X509Ptr a = makeCertificate(simpleFields("Framing A", {0x0a}));
    const X509Ptr b = makeCertificate(simpleFields("Framing B", {0x0b}));
    X509Ptr t = makeCertificate(simpleFields("Framing Trusted", {0x0c}));
    X509_add1_reject_object(t.get(), OBJ_nid2obj(NID_client_auth));
    const std::string trusted = toTrustedPem(*t);  // trusted for servers, rejected for clients
    CertFields tricky = simpleFields("x\n-----BEGIN CERTIFICATE-----\nAAAA", {0x0d});
    const X509Ptr der = makeCertificate(tricky);
    const std::string pa = toPem(*a);
    const std::string pb = toPem(*b);
    const std::string bom = "\xEF\xBB\xBF";
    const std::string begin = "-----BEGIN CERTIFICATE-----\n";
    const std::string end = "-----END CERTIFICATE-----\n";

    struct Case {
        const char* what;
        std::string file;
        std::size_t opensslCount;  // distinct certificates OpenSSL loads
        std::size_t scanCount;     // records the scan makes
        bool unreadable;
    };
    const Case cases[] = {
        {"plain PEM", pa, 1, 1, false},
        {"three labels in one bundle", pa + label(pb, "CERTIFICATE", "X509 CERTIFICATE") + trusted,
         3, 3, false},
        {"UTF-8 byte-order mark", bom + pa, 1, 1, false},
        {"files with marks concatenated", bom + pa + bom + pb, 2, 2, false},
        {"CRLF", perLine(pa + pb, [](std::string_view l) { return std::string(l) + "\r"; }), 2, 2,
         false},
        {"blanks after the markers",
         perLine(pa,
                 [](std::string_view l) {
                     return std::string(l) + (l.substr(0, 5) == "-----" ? " \t" : "");
                 }),
         1, 1, false},
        {"text before, between and after", "# bundle\n" + pa + "junk\n" + pb + "tail", 2, 2, false},
        {"no newline at the end", pa.substr(0, pa.size() - 1), 1, 1, false},
        {"a blank line after BEGIN", begin + "\n" + body(pa) + end, 1, 1, false},
        {"base64 on one line", pemOf("CERTIFICATE", toDer(*a)), 1, 1, false},
        {"other blocks around", "-----BEGIN FOO-----\nAAAA\n-----END FOO-----\n" + pa, 1, 1, false},
        {"trust settings under the plain label",
         label(trusted, "TRUSTED CERTIFICATE", "CERTIFICATE"), 1, 1, false},
        {"DER", toDer(*a), 1, 1, false},
        {"DER with a BEGIN line in its subject", toDer(*der), 1, 1, false},
        {"README", "Put your CA certificates here.\n", 0, 0, false},
        {"a PEM header", begin + "Comment: corp\n\n" + body(pa) + end, 0, 0, true},
        {"a broken block between good ones", pa + begin + "MIIB!!\n" + end + pb, 1, 2, true},
        {"trust settings that do not parse",
         pa + pemOf("TRUSTED CERTIFICATE", toDer(*b) + std::string("\x05\x00junk", 6)), 1, 1, true},
        {"an END line of another label", begin + body(pa) + "-----END X509 CERTIFICATE-----\n", 0,
         0, true},
        {"an indented BEGIN line", " " + pa, 0, 0, true},
        {"DER cut short", toDer(*a).substr(0, 200), 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        const std::string file = root.write(std::string(kAnchors) + "/anchor.crt", c.file);
        const Seen openssl = opensslLoads(file);
        const ScanSeen scanned = scanLoads(root);
        EXPECT_EQ(openssl.size(), c.opensslCount);
        EXPECT_EQ(scanned.records, c.scanCount);
        EXPECT_EQ(!scanned.unreadable.empty(), c.unreadable) << scanned.unreadable;
        for (const auto& [sha, trust] : openssl) {
            const auto it = scanned.seen.find(sha);
            if (it == scanned.seen.end()) {
                ADD_FAILURE() << "OpenSSL loads " << sha << ", the scan does not";
            } else {
                EXPECT_EQ(it->second, trust) << "the trust settings of " << sha;
            }
        }
    }
}

}  // namespace
}  // namespace kestrune::testing
