// Where the trust-store scan says each certificate comes from, over a fake dpkg database
// in a temp root: the catalogue is asked as the scanner asks it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "platform/linux/stores/trust_store.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"

namespace kestrune::testing {
namespace {

using Kind = CertificateOrigin::Kind;

constexpr char kBundle[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr char kMozilla[] = "/usr/share/ca-certificates/mozilla/";
constexpr char kLocalAnchor[] = "/usr/local/share/ca-certificates/corp.crt";
constexpr char kInfo[] = "/var/lib/dpkg/info/";

std::string md5Of(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += "0123456789abcdef"[digest[i] >> 4];
        hex += "0123456789abcdef"[digest[i] & 15];
    }
    return hex;
}

Fingerprint fingerprintOf(const X509& cert) {
    const std::string hex = expectedSha256Hex(cert);
    Fingerprint out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return out;
}

// The time zone the dpkg log is read in, for one test: five hours behind UTC, no DST.
class LocalZone {
  public:
    explicit LocalZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~LocalZone() {
        old_.empty() ? ::unsetenv("TZ") : ::setenv("TZ", old_.c_str(), 1);
        ::tzset();
    }

  private:
    std::string old_;
};

struct Certs {
    X509Ptr packaged = makeCertificate(simpleFields("Packaged Root", {0x11}));
    X509Ptr edited = makeCertificate(simpleFields("Edited Root", {0x12}));
    X509Ptr local = makeCertificate(simpleFields("Corp Root", {0x13}));
    X509Ptr appended = makeCertificate(simpleFields("Appended Root", {0x14}));
    X509Ptr unbundled = makeCertificate(simpleFields("Unbundled Root", {0x15}));
    X509Ptr removed = makeCertificate(simpleFields("Removed Root", {0x16}));
    X509Ptr rewrapped = makeCertificate(simpleFields("Rewrapped Root", {0x17}));
    X509Ptr binary = makeCertificate(simpleFields("Binary Root", {0x18}));
};

// The same PEM with 76-character lines ended by CRLF, as some tools write it.
std::string rewrapped(const std::string& pem) {
    const std::size_t body = pem.find('\n') + 1;
    const std::size_t footer = pem.find("-----END");
    std::string base64;
    for (std::size_t i = body; i < footer; ++i) {
        if (pem[i] != '\n') {
            base64 += pem[i];
        }
    }
    std::string out = pem.substr(0, body - 1) + "\r\n";
    for (std::size_t i = 0; i < base64.size(); i += 76) {
        out += base64.substr(i, 76) + "  \r\n";
    }
    return out + pem.substr(footer, pem.find('\n', footer) - footer) + "\r\n";
}

// The trust files of a Debian machine; with `dpkg`, the package database and log too.
void layOut(const TempDir& root, const Certs& c, bool dpkg) {
    const std::string packaged = toPem(*c.packaged);
    const std::string edited = toPem(*c.edited);
    const std::string unbundled = toPem(*c.unbundled);
    root.write(std::string(kMozilla) + "Packaged.crt", packaged);
    root.write(std::string(kMozilla) + "Edited.crt", "# trusted here too\n" + edited);
    root.write(std::string(kMozilla) + "Unbundled.crt", unbundled);
    const std::string anchor = root.write(kLocalAnchor, toPem(*c.local));
    ::chmod(anchor.c_str(), 0640);
    const timespec times[2] = {{1706933106, 0}, {1706933106, 0}};  // 2024-02-03 04:05:06 UTC
    ::utimensat(AT_FDCWD, anchor.c_str(), times, 0);
    // Sources written otherwise than the bundle writes them are still its sources.
    const std::string wrapped = rewrapped(toPem(*c.rewrapped));
    const std::string der = toDer(*c.binary);
    root.write(std::string(kMozilla) + "Rewrapped.crt", wrapped);
    root.write(std::string(kMozilla) + "Binary.crt", der);
    root.write(kBundle, packaged + edited + toPem(*c.local) + toPem(*c.appended) +
                            toPem(*c.rewrapped) + toPem(*c.binary));
    const std::string uid = std::to_string(::getuid());
    const std::string other = std::to_string(::getuid() + 1);
    root.write("/etc/passwd",
               "someone:x:" + other + ":0::/:/bin/sh\ntester:x:" + uid + ":100::/home/t:/bin/sh\n");
    root.write("/var/log/dpkg.log",
               "2024-02-03 10:20:30 upgrade ca-certificates:all 20230311 "
               "20240203\n");
    if (!dpkg) {
        return;
    }
    // Only an installed paragraph of the package counts, wherever it stands; the status is
    // read in parts of 128 KiB, and a long first paragraph puts the end of the first part
    // inside the installed one's name line.
    const std::string first = "Package: base-files\nStatus: install ok installed\nVersion: 12\n";
    const std::string leftOver =
        "Package: ca-certificates\nStatus: deinstall ok config-files\nArchitecture: i386\n"
        "Version: 1\n\n";
    const std::size_t fill = (128 << 10) - 10 - first.size() - 15 - leftOver.size();
    root.write("/var/lib/dpkg/status",
               first + "Description: " + std::string(fill, 'x') + "\n\n" + leftOver +
                   "Package: ca-certificates\nStatus: install ok installed\nArchitecture: all\n"
                   "Version: 20240203\nDescription: CA\n multi-line text\n\n"
                   "Package: libfoo\nStatus: install ok installed\nVersion: 1.2-3\n\n"
                   "Package: oldcorp\nStatus: deinstall ok config-files\nVersion: 1\n");
    root.write(std::string(kInfo) + "ca-certificates.list",
               "/.\n/usr/share/ca-certificates\n/usr/share/ca-certificates/mozilla\n"
               "/usr/share/ca-certificates/mozilla/Packaged.crt\n"
               "/usr/share/ca-certificates/mozilla/Edited.crt\n"
               "/usr/share/ca-certificates/mozilla/Unbundled.crt\n"
               "/usr/share/ca-certificates/mozilla/Rewrapped.crt\n"
               "/usr/share/ca-certificates/mozilla/Binary.crt\n");
    root.write(std::string(kInfo) + "ca-certificates.md5sums",
               md5Of(packaged) + "  usr/share/ca-certificates/mozilla/Packaged.crt\n" +
                   md5Of(edited) + "  usr/share/ca-certificates/mozilla/Edited.crt\n" +
                   md5Of(unbundled) + "  usr/share/ca-certificates/mozilla/Unbundled.crt\n" +
                   md5Of(wrapped) + "  usr/share/ca-certificates/mozilla/Rewrapped.crt\n" +
                   md5Of(der) + "  usr/share/ca-certificates/mozilla/Binary.crt\n");
    root.write(std::string(kInfo) + "libfoo:amd64.list", "/usr/lib/libfoo.so.1\n/etc/ssl\n");
    // A removed package's list still naming the anchor owns nothing any more.
    root.write(std::string(kInfo) + "oldcorp.list", std::string(kLocalAnchor) + "\n");
    root.write("/var/log/dpkg.log.1",
               "2024-01-10 08:00:00 install ca-certificates:all <none> 20230311\n"
               "2024-01-10 08:00:01 status installed ca-certificates:all 20230311\n");
    root.write("/var/log/dpkg.log",
               "2024-02-03 10:20:30 upgrade ca-certificates:all 20230311 20240203\n"
               "garbage\n2024-13-40 10:00:00 upgrade libfoo:amd64 1 2\n"
               "2024-02-03 10:20:31 upgrade libfoo:amd64\n"
               "2024-02-04 09:00:00 upgrade libfoo:amd64 1.2-2 1.2-3");
}

// Every certificate of a store by SHA-256 hex, with the origin the scan gives it.
std::map<std::string, CertificateOrigin> scanStore(StoreCatalogue& catalogue,
                                                   const std::string& name) {
    std::map<std::string, CertificateOrigin> seen;
    OpenedStore store = catalogue.openStore(name);
    EXPECT_TRUE(store.ok()) << name << ": " << (store.ok() ? "" : store.error());
    while (store.ok()) {
        const Result<bool> more = store.reader().next();
        if (!more.ok() || !*more) {
            break;
        }
        const CertificateFacts facts = store.reader().facts();
        seen[fingerprintHex(facts.sha256.value_or(Fingerprint{}))] = facts.origin;
    }
    return seen;
}

CertificateOrigin origin(Kind kind, std::string path, std::string package = "",
                         std::string version = "", std::string detail = "") {
    return {kind, std::move(path), std::move(package), std::move(version), std::move(detail)};
}

TEST(CertificateOrigin, ScanAndMissingOriginsAndPackageLog) {
    const LocalZone zone("EST5");
    const Certs certs;
    TempDir withDpkg;
    TempDir bare;
    layOut(withDpkg, certs, true);
    layOut(bare, certs, false);
    const std::string mozilla = kMozilla;
    const std::string localDetail = "owner tester, mode 0640, modified 2024-02-03 04:05:06 UTC";

    struct Case {
        const char* name;
        bool dpkg;
        bool missing;  // asked of originOfMissing, not found by the scan
        const char* store;
        const X509* cert;
        CertificateOrigin expected;
    };
    const Case cases[] = {
        {"clean packaged source", true, false, "ca-certificates", certs.packaged.get(),
         origin(Kind::Package, mozilla + "Packaged.crt", "ca-certificates", "20240203")},
        {"source edited after install", true, false, "ca-certificates", certs.edited.get(),
         origin(Kind::Modified, mozilla + "Edited.crt", "ca-certificates", "20240203")},
        {"source with other line ends", true, false, "ca-certificates", certs.rewrapped.get(),
         origin(Kind::Package, mozilla + "Rewrapped.crt", "ca-certificates", "20240203")},
        {"DER source", true, false, "ca-certificates", certs.binary.get(),
         origin(Kind::Package, mozilla + "Binary.crt", "ca-certificates", "20240203")},
        {"local anchor in the bundle", true, false, "ca-certificates", certs.local.get(),
         origin(Kind::Local, kLocalAnchor, "", "", localDetail)},
        {"local anchor itself", true, false, "local-anchors", certs.local.get(),
         origin(Kind::Local, kLocalAnchor, "", "", localDetail)},
        {"appended to the bundle", true, false, "ca-certificates", certs.appended.get(),
         origin(Kind::Direct, kBundle)},
        {"no dpkg database", false, false, "ca-certificates", certs.packaged.get(), {}},
        {"no dpkg database, local", false, false, "local-anchors", certs.local.get(), {}},
        {"taken out of the bundle", true, true, "ca-certificates", certs.unbundled.get(),
         origin(Kind::Direct, mozilla + "Unbundled.crt")},
        {"removed by the package", true, true, "ca-certificates", certs.removed.get(),
         origin(Kind::Package, "", "ca-certificates", "20240203")},
        {"gone from another store", true, true, "local-anchors", certs.unbundled.get(), {}},
        {"gone, no dpkg database", false, true, "ca-certificates", certs.removed.get(), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureTrace trace;
        PlatformOptions options;
        options.root = c.dpkg ? withDpkg.path() : bare.path();
        const auto catalogue = makeTrustStoreCatalogue(options, trace);
        CertificateOrigin got;
        if (c.missing) {
            got = catalogue->originOfMissing(c.store, fingerprintOf(*c.cert));
        } else {
            const auto seen = scanStore(*catalogue, c.store);
            const auto it = seen.find(expectedSha256Hex(*c.cert));
            ASSERT_NE(it, seen.end());
            got = it->second;
        }
        EXPECT_EQ(got, c.expected) << originText(got);
        EXPECT_EQ(trace.errText(), "");
    }

    CaptureTrace trace;
    PlatformOptions options;
    options.root = withDpkg.path();
    const std::vector<PackageChange> expected = {
        {"ca-certificates", "", "20230311", 1704891600},          // 13:00:00 UTC
        {"ca-certificates", "20230311", "20240203", 1706973630},  // 15:20:30 UTC
        {"libfoo", "1.2-2", "1.2-3", 1707055200},                 // 14:00:00 UTC
    };
    EXPECT_EQ(makeTrustStoreCatalogue(options, trace)->packageChanges(), expected);
    options.root = bare.path();
    EXPECT_TRUE(makeTrustStoreCatalogue(options, trace)->packageChanges().empty());
    EXPECT_EQ(trace.errText(), "");
}

}  // namespace
}  // namespace kestrune::testing
