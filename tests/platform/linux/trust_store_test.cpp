// The Linux trust stores on temp roots laid out like Debian and like Fedora.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "app/ports.h"
#include "inventory/scanner.h"
#include "platform/linux/stores/cert_file_reader.h"
#include "platform/linux/stores/root_files.h"
#include "platform/linux/stores/x509_fields.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/support/fake_cert_store.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kDebianBundle[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr char kDebianAnchors[] = "/usr/local/share/ca-certificates";

Row rowOf(const X509& cert, const std::string& store, const std::string& name) {
    return Row{"System", store, expectedSerialText(cert), expectedSubjectMd5Hex(cert), name};
}

std::size_t lineAt(const std::string& text, std::size_t at) {
    return 1 + static_cast<std::size_t>(
                   std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
}

std::size_t lineOf(const std::string& text, const std::string& part) {
    return lineAt(text, text.find(part));
}

std::string pemBlock(const std::string& label, const std::string& body) {
    return "-----BEGIN " + label + "-----\n" + body + "\n-----END " + label + "-----\n";
}

TEST(LinuxTrustStores, DebianLayoutReadsEverythingThatParsesAndSaysWhatItSkipped) {
    TempDir root;
    const X509Ptr alpha = makeCertificate(simpleFields("Alpha CA", {0x0a}));
    const X509Ptr beta = makeCertificate(simpleFields("Beta CA", {0x80, 0x0b}));
    const X509Ptr gamma = makeCertificate(simpleFields("Gamma CA", {0x0c}));
    const std::string badBase64 = pemBlock("CERTIFICATE", "MIIB!!!notbase64");
    const std::string notACert = pemBlock("CERTIFICATE", "AAECAwQFBgc=");  // 00 01 .. 07
    const std::string bundle = "# Comment lines as distro bundles have them\n" + toPem(*alpha) +
                               badBase64 + toPem(*beta) + notACert +
                               pemBlock("PRIVATE KEY", "AAAA") + toTrustedPem(*gamma);
    const std::string bundlePath = root.write(kDebianBundle, bundle);

    const X509Ptr der = makeCertificate(simpleFields("Delta DER", {0x0d}));
    const X509Ptr e1 = makeCertificate(simpleFields("Epsilon One", {0x0e, 0x01}));
    const X509Ptr e2 = makeCertificate(simpleFields("Epsilon Two", {0x0e, 0x02}));
    const X509Ptr nested = makeCertificate(simpleFields("Zeta Nested", {0x0f}));
    const std::string anchors = root.makeFolder(kDebianAnchors);
    root.write(std::string(kDebianAnchors) + "/b-der.crt", toDer(*der));
    root.write(std::string(kDebianAnchors) + "/a-two.pem", toPem(*e1) + toPem(*e2));
    root.write(std::string(kDebianAnchors) + "/README", "Put your CA certificates here.\n");
    root.write(std::string(kDebianAnchors) + "/sub/z.crt", toPem(*nested));
    // A FIFO must neither hang the scan nor stop it.
    ASSERT_EQ(mkfifo((anchors + "/fifo").c_str(), 0600), 0);

    CaptureTrace trace;
    const ScanResult result = scanRoot(root.path(), trace);

    const std::vector<Row> expected = {
        rowOf(*alpha, "ca-certificates", "Alpha CA"),
        rowOf(*beta, "ca-certificates", "Beta CA"),
        rowOf(*gamma, "ca-certificates", "Gamma CA"),
        // Folder content in sorted path order, sub-folders included.
        rowOf(*e1, "local-anchors", "Epsilon One"),
        rowOf(*e2, "local-anchors", "Epsilon Two"),
        rowOf(*der, "local-anchors", "Delta DER"),
        rowOf(*nested, "local-anchors", "Zeta Nested"),
    };
    EXPECT_EQ(result.rows, expected);
    EXPECT_EQ(result.rows[1].serial, "00 80 0b");
    EXPECT_EQ(result.total, 7);
    EXPECT_EQ(result.unique, 7);

    const std::string err = trace.errText();
    EXPECT_NE(
        err.find("Skipped the certificate at line " + std::to_string(lineOf(bundle, badBase64)) +
                 " of " + bundlePath + ": not valid base64\n"),
        std::string::npos)
        << err;
    EXPECT_NE(
        err.find("Skipped the certificate at line " + std::to_string(lineOf(bundle, notACert)) +
                 " of " + bundlePath + ": not a certificate ("),
        std::string::npos)
        << err;
    EXPECT_NE(err.find("Skipped " + anchors + "/README: not a certificate\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("Skipped " + anchors + "/fifo: not a regular file\n"), std::string::npos)
        << err;
}

TEST(LinuxTrustStores, FedoraLayoutFollowsTheBundleLinkInsideTheRoot) {
    TempDir root;
    const X509Ptr a = makeCertificate(simpleFields("Fedora Root A", {0x01}));
    const X509Ptr b = makeCertificate(simpleFields("Fedora Root B", {0x02}));
    const X509Ptr corp = makeCertificate(simpleFields("Corp Anchor", {0x03}));
    const X509Ptr bad = makeCertificate(simpleFields("Distrusted", {0x04}));
    root.write("/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", toPem(*a) + toPem(*b));
    root.makeFolder("/etc/pki/tls/certs");
    // As on Fedora: an absolute link, which must resolve inside the root, not on the host.
    fs::create_symlink("/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
                       root.path() + "/etc/pki/tls/certs/ca-bundle.crt");
    root.write("/etc/pki/ca-trust/source/anchors/corp.pem", toPem(*corp));
    root.write("/etc/pki/ca-trust/source/blocklist/bad.pem", toPem(*bad));

    CaptureTrace trace;
    const ScanResult result = scanRoot(root.path(), trace);
    const std::vector<Row> expected = {
        rowOf(*a, "ca-certificates", "Fedora Root A"),
        rowOf(*b, "ca-certificates", "Fedora Root B"),
        rowOf(*corp, "local-anchors", "Corp Anchor"),
        rowOf(*bad, "blocklist", "Distrusted"),
    };
    EXPECT_EQ(result.rows, expected) << trace.allText();
    // The physical stores name the files actually read.
    EXPECT_NE(
        trace.outText().find(root.path() + "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem"),
        std::string::npos);
}

TEST(LinuxTrustStores, TheFirstBundleOfTheListWins) {
    TempDir root;
    const X509Ptr debian = makeCertificate(simpleFields("Debian Bundle", {0x01}));
    const X509Ptr suse = makeCertificate(simpleFields("SUSE Bundle", {0x02}));
    root.write("/etc/ssl/ca-bundle.pem", toPem(*suse));
    root.write(kDebianBundle, toPem(*debian));
    CaptureTrace trace;
    const ScanResult result = scanRoot(root.path(), trace);
    ASSERT_EQ(result.rows.size(), 1u);
    EXPECT_EQ(result.rows[0].name, "Debian Bundle");
}

TEST(LinuxTrustStores, AMissingBundleIsReportedAndTheOtherStoresAreStillRead) {
    TempDir root;
    const X509Ptr bad = makeCertificate(simpleFields("Blocked", {0x09}));
    root.write("/etc/ca-certificates/trust-source/blocklist/blocked.crt", toPem(*bad));
    CaptureTrace trace;
    const ScanResult result = scanRoot(root.path(), trace);
    EXPECT_EQ(result.rows, std::vector<Row>{rowOf(*bad, "blocklist", "Blocked")});
    EXPECT_NE(trace.errText().find("The ca-certificates store could not be opened: no certificate "
                                   "bundle: none of /etc/ssl/certs/ca-certificates.crt"),
              std::string::npos)
        << trace.errText();

    // A bundle that cannot be read is as good as missing, and says why.
    TempDir folderRoot;
    folderRoot.makeFolder(kDebianBundle);
    CaptureTrace trace2;
    EXPECT_TRUE(scanRoot(folderRoot.path(), trace2).rows.empty());
    EXPECT_NE(trace2.errText().find("The ca-certificates store could not be opened: " +
                                    folderRoot.path() + kDebianBundle + ": a folder"),
              std::string::npos)
        << trace2.errText();
}

TEST(LinuxTrustStores, TheSameCertificateInTwoStoresGivesTwoEqualRecords) {
    TempDir root;
    const X509Ptr cert = makeCertificate(simpleFields("Twice Trusted", {0x42, 0x43}));
    root.write(kDebianBundle, toPem(*cert));
    root.write(std::string(kDebianAnchors) + "/twice.crt", toDer(*cert));
    CaptureTrace trace;
    const ScanResult result = scanRoot(root.path(), trace);
    ASSERT_EQ(result.rows.size(), 2u);
    Row second = result.rows[1];
    EXPECT_EQ(second.store, "local-anchors");
    second.store = result.rows[0].store;
    EXPECT_EQ(second, result.rows[0]);
    EXPECT_EQ(result.unique, 1);
    EXPECT_EQ(result.total, 2);
}

TEST(LinuxTrustStores, LongAndNonAsciiNamesReachTheRecordCut) {
    TempDir root;
    const std::string longName = std::string(62, 'n') + "😀tail";  // the pair would be units 63-64
    root.write(kDebianBundle, toPem(*makeCertificate(simpleFields(longName, {1}))) +
                                  toPem(*makeCertificate(simpleFields("Ünïcødé — 日本", {2}))));
    CaptureTrace trace;
    const ScanResult result = scanRoot(root.path(), trace);
    ASSERT_EQ(result.rows.size(), 2u);
    EXPECT_EQ(result.rows[0].name, std::string(62, 'n'));
    EXPECT_EQ(result.rows[1].name, "Ünïcødé — 日本");
}

TEST(LinuxTrustStores, LinksResolveInsideTheRootAndLoopsAreSkipped) {
    TempDir root;
    const X509Ptr outside = makeCertificate(simpleFields("Linked From Anchors", {0x21}));
    const X509Ptr moved = makeCertificate(simpleFields("Anchors Elsewhere", {0x22}));
    root.write("/ca.pem", toPem(*outside));
    root.write("/srv/anchors/moved.pem", toPem(*moved));
    const std::string anchors = root.makeFolder(kDebianAnchors);
    // ".." cannot climb above the root, as on the machine itself.
    fs::create_symlink("../../../../../../../../ca.pem", anchors + "/climb.pem");
    fs::create_symlink("loop.pem", anchors + "/loop.pem");
    // The whole folder is a link to another place in the root.
    root.makeFolder("/etc/pki/ca-trust/source");
    fs::create_symlink("/srv/anchors", root.path() + "/etc/pki/ca-trust/source/anchors");

    CaptureTrace trace;
    const ScanResult result = scanRoot(root.path(), trace);
    const std::vector<Row> expected = {
        rowOf(*outside, "local-anchors", "Linked From Anchors"),
        rowOf(*moved, "local-anchors", "Anchors Elsewhere"),
    };
    EXPECT_EQ(result.rows, expected) << trace.allText();
    EXPECT_NE(
        trace.errText().find("Skipped " + anchors + "/loop.pem: Too many levels of symbolic links"),
        std::string::npos)
        << trace.errText();
}

// The DER of each certificate, without a trusted certificate's trust settings.
TEST(LinuxTrustStores, FactsCarryEachCertificatesDer) {
    TempDir root;
    const X509Ptr plain = makeCertificate(simpleFields("Plain", {0x01}));
    const X509Ptr trusted = makeCertificate(simpleFields("Trusted", {0x02, 0x80, 0x00}));
    root.write(kDebianBundle, toPem(*plain) + toTrustedPem(*trusted));
    NullTrace trace;
    PlatformOptions options;
    options.root = root.path();
    const auto api = makePorts(options, trace).stores;
    OpenedStore store = api->openStore("ca-certificates");
    ASSERT_TRUE(store) << store.error();
    std::vector<std::string> ders;
    for (Result<bool> more = store.reader().next(); more.ok() && more.value();
         more = store.reader().next()) {
        const std::vector<std::uint8_t> der = store.reader().facts().der;
        ders.emplace_back(der.begin(), der.end());
    }
    EXPECT_EQ(ders, (std::vector<std::string>{toDer(*plain), toDer(*trusted)}));
    // The full parse hands out the same bytes.
    SubjectNameMd5 md5;
    X509Certificate wrapped(md5);
    wrapped.reset(X509Ptr(X509_dup(trusted.get())));
    const std::vector<std::uint8_t> der = wrapped.der();
    EXPECT_EQ(std::string(der.begin(), der.end()), toDer(*trusted));
}

TEST(LinuxTrustStores, ListingShapeAndOpeningByName) {
    TempDir root;
    root.write(kDebianBundle, toPem(*makeCertificate(simpleFields("Only", {1}))));
    const std::string usrLocal = root.makeFolder(kDebianAnchors);
    const std::string arch = root.makeFolder("/etc/ca-certificates/trust-source/anchors");
    CaptureTrace trace;
    PlatformOptions options;
    options.root = root.path();
    const auto api = makePorts(options, trace).stores;

    ListingRecorder listed;
    EXPECT_TRUE(api->listLocations(listed).ok());
    const std::vector<std::string> expected = {
        "location System",     "store ca-certificates", "store local-anchors", "store blocklist",
        "store trust-modules", "location Applications", "location CurrentUser"};
    EXPECT_EQ(listed.events, expected);
    // Each store is followed by the files and folders it is read from.
    EXPECT_EQ(trace.outText(),
              "    " + root.path() + kDebianBundle + "\n    " + usrLocal + "\n    " + arch + "\n");

    ListingRecorder stopping;
    stopping.stopAt = "ca-certificates";
    EXPECT_TRUE(api->listLocations(stopping).ok());
    EXPECT_EQ(stopping.events,
              (std::vector<std::string>{"location System", "store ca-certificates"}));

    ListingRecorder user;
    EXPECT_TRUE(api->listCurrentUserStores(user).ok());
    EXPECT_TRUE(user.events.empty());

    OpenedStore missing = api->openStore("Root");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "no such store");
    EXPECT_FALSE(missing.unreadable());
    OpenedStore store = api->openStore("ca-certificates");
    ASSERT_TRUE(store) << store.error();
    const auto next = [&] {
        const Result<bool> more = store.reader().next();
        return more.ok() && more.value();
    };
    ASSERT_TRUE(next());
    const CertificateFacts facts = store.reader().facts();
    ASSERT_TRUE(facts.displayName);
    EXPECT_EQ(*facts.displayName, "Only");
    EXPECT_FALSE(next());
    EXPECT_FALSE(next());
}

TEST(Base64, DecodesStrictlyButToleratesWhitespace) {
    struct Case {
        std::string text;
        bool ok;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"", true, ""},          {"TWFu", true, "Man"}, {"TW\r\nF u\t", true, "Man"},
        {"TWE=", true, "Ma"},    {"TQ==", true, "M"},   {"TQ=", false, ""},  // padding short
        {"TQ", false, ""},                                                   // no padding at all
        {"T", false, ""},         // a lone sextet is no byte
        {"TQ==TWFu", false, ""},  // data after the padding
        {"TW-u", false, ""},      // foreign character
        {"TWFu:", false, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out;
        EXPECT_EQ(decodeBase64(c.text, out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(std::string(out.begin(), out.end()), c.bytes) << c.text;
        }
    }
}

TEST(CertificateFileReader, RecoversFromBlocksThatNeverEndOrEndWrongly) {
    const X509Ptr a = makeCertificate(simpleFields("A", {1}));
    const X509Ptr b = makeCertificate(simpleFields("B", {2}));
    const X509Ptr c = makeCertificate(simpleFields("C", {3}));
    std::string crlf = toPem(*c);
    for (std::size_t p = crlf.find('\n'); p != std::string::npos; p = crlf.find('\n', p + 2)) {
        crlf.replace(p, 1, "\r\n");
    }
    const std::string pemA = toPem(*a);
    const std::string unended = pemA.substr(0, pemA.find("-----END"));
    const std::string wrongEnd = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END X509 CRL-----\n";
    const std::string data = unended + toPem(*b) + wrongEnd + crlf + unended;

    CertificateFileReader reader(data);
    X509Ptr cert;
    std::string problem;
    std::vector<std::string> seen;
    for (int guard = 0; guard < 20; ++guard) {
        const auto step = reader.next(cert, problem);
        if (step == CertificateFileReader::Step::End) {
            break;
        }
        seen.push_back(step == CertificateFileReader::Step::Certificate
                           ? x509DisplayName(*cert)
                           : std::to_string(reader.problemLine()) + " " + problem);
    }
    const std::vector<std::string> expected = {
        "1 no END line",
        "B",
        std::to_string(lineOf(data, wrongEnd)) + " its END line does not match",
        "C",
        std::to_string(lineAt(data, data.size() - unended.size())) + " no END line",
    };
    EXPECT_EQ(seen, expected);
}

// What a scan of a temp root (home: an empty folder of it) said it could not read.
std::vector<UnreadableStore> unreadableIn(const TempDir& root, std::vector<Row>* found = nullptr) {
    CaptureTrace trace;
    PlatformOptions options;
    options.root = root.path();
    options.home = root.makeFolder("/home/user");
    const auto api = makePorts(options, trace).stores;
    KestruneState state;
    const kestrune::ScanResult result = scan(state, *api, trace);
    if (found != nullptr) {
        *found = rows(state);
    }
    return result.unreadable;
}

TEST(LinuxUnreadableStores, OversizedFilesAndBrokenDatabasesAreUnreadableNotEmpty) {
    const X509Ptr alpha = makeCertificate(simpleFields("Alpha CA", {0x0a}));
    {
        // A rogue CA padded past the size read is never passed over in silence.
        TempDir root;
        root.write(kDebianBundle, toPem(*alpha));
        const std::string padded = root.write(std::string(kDebianAnchors) + "/rogue.crt", "x");
        fs::resize_file(padded, kMaxCertificateFileBytes + 1);  // sparse: no disk used
        std::vector<Row> found;
        const auto unreadable = unreadableIn(root, &found);
        ASSERT_EQ(unreadable.size(), 1u);
        EXPECT_EQ(unreadable[0].location, "System");
        EXPECT_EQ(unreadable[0].store, "local-anchors");
        EXPECT_EQ(unreadable[0].reason, padded + ": larger than 256 MiB");
        EXPECT_EQ(found, (std::vector<Row>{rowOf(*alpha, "ca-certificates", "Alpha CA")}));
    }
    {
        // The system database: corrupt, and of the old format; an empty folder is not one.
        TempDir root;
        root.write(kDebianBundle, toPem(*alpha));
        std::string garbage(8192, '\0');
        for (std::size_t i = 0; i < garbage.size(); ++i) {
            garbage[i] = static_cast<char>((i * 7919) % 251);
        }
        root.write("/etc/pki/nssdb/cert9.db", garbage);
        root.write("/etc/pki/nssdb/key4.db", garbage);
        auto unreadable = unreadableIn(root);
        ASSERT_EQ(unreadable.size(), 1u);
        EXPECT_EQ(unreadable[0].store, "nssdb-system");
        EXPECT_NE(unreadable[0].reason.find("cannot open the database"), std::string::npos)
            << unreadable[0].reason;

        fs::remove(root.path() + "/etc/pki/nssdb/cert9.db");
        root.write("/etc/pki/nssdb/cert8.db", garbage);
        unreadable = unreadableIn(root);
        ASSERT_EQ(unreadable.size(), 1u);
        EXPECT_NE(unreadable[0].reason.find("old-format"), std::string::npos);

        fs::remove(root.path() + "/etc/pki/nssdb/cert8.db");
        EXPECT_TRUE(unreadableIn(root).empty());
    }
}

using BioPtr = CHandle<BIO, BIO_free_all>;

// Standard output of a shell command.
std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return out;
}

// The same PEM block with a longer encoding of its outer length, which the full parse
// reads and the extractor leaves to it.
std::string withLongOuterLength(const std::string& pem) {
    BioPtr in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    char* label = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long size = 0;
    std::string out = "unexpected PEM";
    if (PEM_read_bio(in.get(), &label, &header, &data, &size) == 1 && size > 2 && data[1] == 0x82) {
        std::string der(reinterpret_cast<char*>(data), static_cast<std::size_t>(size));
        der = der.substr(0, 1) + std::string("\x83\x00", 2) + der.substr(2);
        BioPtr written(BIO_new(BIO_s_mem()));
        PEM_write_bio(written.get(), label, header,
                      reinterpret_cast<const unsigned char*>(der.data()),
                      static_cast<long>(der.size()));
        char* text = nullptr;
        out.assign(text, static_cast<std::size_t>(BIO_get_mem_data(written.get(), &text)));
    }
    OPENSSL_free(label);
    OPENSSL_free(header);
    OPENSSL_free(data);
    return out;
}

// The trust a store's facts give `cert`; "not found" when the store does not hold it.
std::string trustIn(StoreCatalogue& stores, const std::string& store, const X509& cert) {
    OpenedStore opened = stores.openStore(store);
    for (Result<bool> more = opened ? opened.reader().next() : Result<bool>(false);
         more.ok() && more.value(); more = opened.reader().next()) {
        const CertificateFacts facts = opened.reader().facts();
        if (facts.sha256 && fingerprintHex(*facts.sha256) == expectedSha256Hex(cert)) {
            return facts.trust;
        }
    }
    return "not found";
}

// What `certutil -L` lists as the trust of the database's certificate "cert1".
std::string certutilTrust(const std::string& folder) {
    std::istringstream lines(commandOutput("certutil -L -d sql:" + folder));
    std::string nickname;
    std::string trust;
    for (std::string line; std::getline(lines, line);) {
        if (std::istringstream(line) >> nickname >> trust && nickname == "cert1") {
            return trust;
        }
    }
    return "not listed";
}

// The trust each store gives: NSS flags as certutil lists them, the uses a TRUSTED
// CERTIFICATE names (read by the extractor and by the full parse), and the blocklist's
// withdrawal, which goes with the blocklist entry.
TEST(LinuxTrustStores, FactsTellTheTrustEachStoreGives) {
    constexpr char kNss[] = "/etc/pki/nssdb";
    constexpr char kAnchor[] = "/etc/pki/ca-trust/source/anchors/a.pem";
    constexpr char kBlocked[] = "/etc/pki/ca-trust/source/blocklist/b.pem";
    struct Case {
        std::string store;
        std::string nssTrust;  // given with certutil -M; else `file` holds the certificate
        std::string file;
        std::string openssl;  // `openssl x509` options making a TRUSTED CERTIFICATE
        std::string trust;
        // In the blocklist too: the trust once it is taken out of it.
        const char* unblocked = nullptr;
        bool longLength = false;
    };
    const std::string both = "-addtrust serverAuth -addtrust emailProtection -addreject clientAuth";
    const std::vector<Case> cases = {
        {"nssdb-system", "CT,C,C", "", "", "CT,C,C"},
        {"nssdb-system", "p,p,p", "", "", "p,p,p"},
        {"nssdb-system", ",,", "", "", ",,"},
        {"nssdb-system", "cT,p,C", "", "", "T,p,C"},
        {"nssdb-system", "P,c,T", "", "", "P,c,c; blocklisted", "P,c,c"},
        {"local-anchors", "", kAnchor, both,
         "trusted for serverAuth, emailProtection; rejected for clientAuth"},
        {"local-anchors", "", kAnchor, both,
         "trusted for serverAuth, emailProtection; rejected for clientAuth", nullptr, true},
        {"local-anchors", "", kAnchor, "-addreject 1.2.3.4", "rejected for 1.2.3.4"},
        {"local-anchors", "", kAnchor, "-setalias Named", ""},
        {"local-anchors", "", kAnchor, "", ""},
        {"ca-certificates", "", kDebianBundle, "", "blocklisted", ""},
        {"ca-certificates", "", kDebianBundle, "-addtrust serverAuth",
         "trusted for serverAuth; blocklisted", "trusted for serverAuth"},
        {"blocklist", "", kBlocked, "", ""},
    };
    for (const Case& c : cases) {
        const std::string what =
            c.store + " " + c.nssTrust + c.openssl + (c.longLength ? " long length" : "");
        TempDir root;
        const X509Ptr cert = makeCertificate(simpleFields("Trust Case", {0x7e}));
        if (!c.nssTrust.empty()) {
            ASSERT_TRUE(makeNssDatabase(root.path() + kNss, {cert.get()}));
            ASSERT_EQ(std::system(("certutil -M -n cert1 -t '" + c.nssTrust +
                                   "' -d sql:" + root.path() + kNss)
                                      .c_str()),
                      0);
            EXPECT_EQ(certutilTrust(root.path() + kNss), c.unblocked ? c.unblocked : c.trust);
        } else {
            const std::string pem = root.write("/c.pem", toPem(*cert));
            std::string text =
                c.openssl.empty()
                    ? toPem(*cert)
                    : commandOutput("openssl x509 -in " + pem + " " + c.openssl + " -trustout");
            root.write(c.file, c.longLength ? withLongOuterLength(text) : text);
        }
        if (c.unblocked) {
            root.write(kBlocked, toPem(*cert));
        }
        NullTrace trace;
        PlatformOptions options;
        options.root = root.path();
        const auto stores = makePorts(options, trace).stores;
        ListingRecorder listed;
        ASSERT_TRUE(stores->listLocations(listed).ok());
        EXPECT_EQ(trustIn(*stores, c.store, *cert), c.trust) << what;
        if (c.unblocked) {
            // The next scan reads the blocklist again.
            fs::remove(root.path() + kBlocked);
            ASSERT_TRUE(stores->listLocations(listed).ok());
            EXPECT_EQ(trustIn(*stores, c.store, *cert), c.unblocked) << what;
        }
    }
}

}  // namespace
}  // namespace kestrune::testing
