// Kestrune's scan of Linux trust stores, each figure beside references measured in the
// same run over the same files:
//  - the floor: PEM decode, a walk to the serial and the subject, MD5 of the subject's
//    DER and nothing else (what reading the fields costs at least);
//  - the full OpenSSL parse loop: PEM_read_bio_X509 and the same three fields;
//  at 10,000 and 100,000 certificates, once as one bundle and once as one file each;
//  - the growth: the per-certificate cost at 1k, 10k, 100k and 1M against 1k (1M is ten
//    bundle-sized files of 100,000, as one bundle may not exceed 256 MiB);
//  - an NSS database of 1,000 certificates against `certutil -L -d` of it;
//  - a home with 5,000 Firefox profiles against five times one with 1,000 (the stores
//    are found once per scan, so the cost grows with the profiles, not with their square);
//  - the host's bundle with a JVM's cacerts and three virtual environments' certifi
//    bundles, against the same certificates as PEM bundles named in stores.d.
// The inputs are generated once into scan-data/ beside this program and reused.
//
//   linux_scan_bench [count ...]     (default: 10000 100000, growth, NSS and profiles)
//   linux_scan_bench profiles        (the profile rows alone)
//   linux_scan_bench applications    (the application store row alone)
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/ports.h"
#include "bench/bench_table.h"
#include "bench/pem_generator.h"
#include "inventory/scanner.h"
#include "platform/linux/stores/cert_file_reader.h"
#include "platform/linux/stores/record_extractor.h"
#include "platform/linux/stores/root_files.h"
#include "platform/platform.h"

namespace fs = std::filesystem;
using kestrune::KestruneState;
using kestrune::bench::Generator;

namespace {

struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};

struct Totals {
    std::size_t certificates = 0;
    std::size_t checksum = 0;  // keeps the work from being optimised away
};

// ---- the full parse loop: PEM_read_bio_X509 and the three fields, nothing else ----

std::string plainName(const X509* cert) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    for (const int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                          NID_pkcs9_emailAddress}) {
        const int i = X509_NAME_get_index_by_NID(subject, nid, -1);
        if (i >= 0) {
            unsigned char* utf8 = nullptr;
            const int n = ASN1_STRING_to_UTF8(
                &utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)));
            std::string name(reinterpret_cast<char*>(utf8),
                             static_cast<std::size_t>(std::max(n, 0)));
            OPENSSL_free(utf8);
            return name;
        }
    }
    return {};
}

void plainFields(const X509* cert, Totals& totals) {
    totals.checksum += plainName(cert).size();
    unsigned char* der = nullptr;
    const int n = i2d_X509_NAME(X509_get_subject_name(cert), &der);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    EVP_Digest(der, static_cast<std::size_t>(n), md, &mdLength, EVP_md5(), nullptr);
    OPENSSL_free(der);
    totals.checksum += md[0];
    unsigned char* serial = nullptr;
    const int serialLength = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert), &serial);
    totals.checksum += static_cast<std::size_t>(serialLength) + serial[serialLength - 1];
    OPENSSL_free(serial);
    ++totals.certificates;
}

Totals plainScan(const std::vector<std::string>& files) {
    Totals totals;
    for (const auto& file : files) {
        std::unique_ptr<BIO, BioFree> bio(BIO_new_file(file.c_str(), "r"));
        if (!bio) {
            continue;
        }
        while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
            plainFields(cert, totals);
            X509_free(cert);
        }
    }
    return totals;
}

// ---- the floor: PEM decode, a walk to serial and subject, MD5 of the subject ----

class Floor {
  public:
    Floor() : md5_(EVP_MD_fetch(nullptr, "MD5", nullptr)), ctx_(EVP_MD_CTX_new()) {}
    ~Floor() {
        EVP_MD_CTX_free(ctx_);
        EVP_MD_free(md5_);
    }

    Totals scan(const std::vector<std::string>& files) {
        Totals totals;
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary | std::ios::ate);
            data_.resize(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
            in.seekg(0);
            in.read(data_.data(), static_cast<std::streamsize>(data_.size()));
            static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
            static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
            const std::string_view text(data_);
            std::size_t pos = 0;
            for (;;) {
                const std::size_t begin = text.find(kBegin, pos);
                const std::size_t end =
                    begin == std::string_view::npos ? begin : text.find(kEnd, begin);
                if (end == std::string_view::npos) {
                    break;
                }
                pos = end + kEnd.size();
                const std::size_t body = begin + kBegin.size();
                if (kestrune::decodeBase64(text.substr(body, end - body), der_)) {
                    walk(totals);
                }
            }
        }
        return totals;
    }

  private:
    // Certificate > TBS > [0] version > serial, signature, issuer, validity > subject.
    void walk(Totals& totals) {
        const unsigned char* p = der_.data();
        const unsigned char* const end = p + der_.size();
        long length = 0;
        int tag = 0;
        int cls = 0;
        auto header = [&] {
            return (ASN1_get_object(&p, &length, &tag, &cls, end - p) & 0x80) == 0;
        };
        if (!header() || !header()) {  // into the certificate, into the TBS
            return;
        }
        if (*p == 0xA0) {
            if (!header()) {
                return;
            }
            p += length;
        }
        if (!header()) {
            return;
        }
        totals.checksum += static_cast<std::size_t>(length) + p[length - 1];  // the serial
        p += length;
        for (int skip = 0; skip < 3; ++skip) {  // signature, issuer, validity
            if (!header()) {
                return;
            }
            p += length;
        }
        const unsigned char* subject = p;
        if (!header()) {
            return;
        }
        p += length;
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int mdLength = 0;
        EVP_DigestInit_ex(ctx_, md5_, nullptr);
        EVP_DigestUpdate(ctx_, subject, static_cast<std::size_t>(p - subject));
        EVP_DigestFinal_ex(ctx_, md, &mdLength);
        totals.checksum += md[0];
        ++totals.certificates;
    }

    EVP_MD* md5_;
    EVP_MD_CTX* ctx_;
    std::string data_;
    std::vector<std::uint8_t> der_;
};

// ---- the record extractor alone: Kestrune's reader and extractor, no scanner ----

Totals extractorScan(const std::vector<std::string>& files) {
    Totals totals;
    kestrune::RecordExtractor extractor;
    kestrune::ExtractedFields fields;
    for (const auto& file : files) {
        kestrune::UniqueFd fd;
        const kestrune::Result<std::size_t> size = kestrune::openRegularFile(file, fd);
        if (!size) {
            continue;
        }
        kestrune::CertificateFileReader reader(fd.get(), *size, kestrune::kMaxCertificateFileBytes);
        kestrune::CertificateFileReader::Block block;
        std::string problem;
        while (reader.nextBlock(block, problem) != kestrune::CertificateFileReader::Step::End) {
            if (block.der != nullptr && extractor.extract(block.der, block.size, false, fields)) {
                totals.checksum += fields.md5[0] + fields.serial.size();
                ++totals.certificates;
            }
        }
    }
    return totals;
}

// ---- Kestrune's scan ----

int kestruneScan(const std::string& root, const std::string& home = "") {
    kestrune::NullTrace trace;
    kestrune::PlatformOptions options;
    options.root = root;
    options.home = home;
    const auto api = kestrune::makePorts(options, trace).stores;
    const auto state = std::make_unique<KestruneState>();
    kestrune::scan(*state, *api, trace);
    return state->iCertificateCountTotal;
}

template <typename F>
double seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename F>
double best(int rounds, F&& f) {
    double b = 1e30;
    for (int round = 0; round < rounds; ++round) {
        b = std::min(b, seconds(f));
    }
    return b;
}

std::vector<std::string> filesBelow(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// ---- the inputs, generated once ----

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class Inputs {
  public:
    explicit Inputs(fs::path base) : base_(std::move(base)) {}

    // A root whose bundle holds `count` certificates.
    std::string bundleRoot(unsigned count) {
        const fs::path root = base_ / ("bundle-" + std::to_string(count));
        writeBundles(root / "etc/ssl/certs", "ca-certificates.crt", count, count);
        return root.string();
    }
    // A root whose anchors folder holds `count` certificates in files of `perFile`.
    std::string filesRoot(unsigned count, unsigned perFile) {
        const fs::path root =
            base_ / ("files-" + std::to_string(count) + "-" + std::to_string(perFile));
        writeBundles(root / kAnchors, "", count, perFile);
        return root.string();
    }
    // A home whose ~/.pki/nssdb holds `count` certificates.
    std::string nssHome(unsigned count) {
        const fs::path home = base_ / ("nss-" + std::to_string(count));
        const fs::path db = home / ".pki/nssdb";
        const fs::path done = home / "complete";
        if (fs::exists(done)) {
            return home.string();
        }
        fs::remove_all(home);
        fs::create_directories(db);
        const std::string files = filesRoot(count, 1);
        const fs::path batch = home / "batch";
        {
            std::ofstream out(batch);
            unsigned i = 0;
            for (const std::string& file : filesBelow(files + "/" + kAnchors)) {
                out << "-A -n bench" << i++ << " -t C,, -i " << file << "\n";
            }
        }
        const std::string d = " -d sql:" + db.string();
        if (std::system(("certutil -N --empty-password" + d).c_str()) != 0 ||
            std::system(("certutil -B" + d + " -i " + batch.string()).c_str()) != 0) {
            throw std::runtime_error("certutil could not make the NSS database");
        }
        std::ofstream(done) << count;
        return home.string();
    }
    // Two roots holding the same certificates beside the host's bundle: one as a JVM's
    // cacerts (made with keytool from the host bundle) and three virtual environments'
    // certifi bundles (copies of it), the other as four PEM bundles stores.d names.
    std::pair<std::string, std::string> applicationRoots() {
        const fs::path apps = base_ / "applications";
        const fs::path pems = base_ / "applications-pem";
        if (!fs::exists(apps / "complete")) {
            fs::remove_all(apps);
            fs::remove_all(pems);
            const std::string bundle = slurp("/etc/ssl/certs/ca-certificates.crt");
            const fs::path blocks = apps / "blocks";
            fs::create_directories(blocks);
            std::string script = "set -e\n";
            const std::string end = "-----END CERTIFICATE-----\n";
            std::size_t at = 0;
            for (std::size_t i = 0; bundle.find(end, at) != std::string::npos; ++i) {
                const std::size_t stop = bundle.find(end, at) + end.size();
                const fs::path block = blocks / (std::to_string(i) + ".pem");
                std::ofstream(block) << bundle.substr(at, stop - at);
                at = stop;
                script += "keytool -importcert -noprompt -alias c" + std::to_string(i) + " -file " +
                          block.string() + " -storetype JKS -keystore " +
                          (apps / "etc/ssl/certs/java/cacerts").string() +
                          " -storepass changeit >/dev/null 2>&1\n";
            }
            for (const fs::path& root : {apps, pems}) {
                put(root / "etc/ssl/certs/ca-certificates.crt", bundle);
            }
            fs::create_directories(apps / "etc/ssl/certs/java");
            std::ofstream(apps / "script") << script;
            if (std::system(("sh " + (apps / "script").string()).c_str()) != 0) {
                throw std::runtime_error("keytool could not make the keystore");
            }
            std::string pemConfig = "bundle /opt/java.pem\n";
            put(pems / "opt/java.pem", bundle.substr(0, at));
            for (int v = 1; v <= 3; ++v) {
                const fs::path venv = apps / ("srv/venvs/v" + std::to_string(v));
                put(venv / "pyvenv.cfg", "home = /usr/bin\n");
                put(venv / "lib/python3.11/site-packages/certifi/cacert.pem", bundle);
                const std::string copy = "/opt/certifi-" + std::to_string(v) + ".pem";
                put(pems / copy.substr(1), bundle);
                pemConfig += "bundle " + copy + "\n";
            }
            put(apps / "etc/kestrune/stores.d/venvs.conf", "venvs /srv/venvs\n");
            put(pems / "etc/kestrune/stores.d/pem.conf", pemConfig);
            std::ofstream(apps / "complete") << "done";
        }
        return {apps.string(), pems.string()};
    }
    // A home whose profiles.ini lists `count` Firefox profiles, each folder there and
    // without a database (an absent store: what is measured is finding the stores).
    std::string profilesHome(unsigned count) {
        const fs::path home = base_ / ("profiles-" + std::to_string(count));
        const fs::path firefox = home / ".mozilla/firefox";
        const fs::path done = home / "complete";
        if (fs::exists(done)) {
            return home.string();
        }
        fs::remove_all(home);
        fs::create_directories(firefox);
        std::ofstream ini(firefox / "profiles.ini");
        ini << "[General]\nStartWithLastProfile=1\n\n";
        for (unsigned i = 0; i < count; ++i) {
            const std::string folder = "p" + std::to_string(i) + ".default";
            fs::create_directories(firefox / folder);
            ini << "[Profile" << i << "]\nName=profile-" << i << "\nIsRelative=1\nPath=" << folder
                << "\n\n";
        }
        ini.close();
        std::ofstream(done) << count;
        return home.string();
    }
    static constexpr const char* kAnchors = "usr/local/share/ca-certificates";

  private:
    void writeBundles(const fs::path& folder, const std::string& single, unsigned count,
                      unsigned perFile) {
        const fs::path done = folder.string() + ".complete";  // beside it, not in it
        if (fs::exists(done)) {
            return;
        }
        std::printf("generating %u certificates in %s\n", count, folder.c_str());
        fs::remove_all(folder);
        fs::create_directories(folder);
        std::ofstream out;
        for (unsigned i = 0; i < count; ++i) {
            if (i % perFile == 0) {
                char name[32];
                std::snprintf(name, sizeof name, "cert-%07u.crt", i);
                out.close();
                out.open(folder / (single.empty() ? std::string(name) : single), std::ios::binary);
            }
            out << generator_.pem(i);
        }
        out.close();
        std::ofstream(done) << count;
    }

    fs::path base_;
    Generator generator_;
};

std::vector<std::string> storeFiles(const std::string& root, bool bundle) {
    if (bundle) {
        return {root + "/etc/ssl/certs/ca-certificates.crt"};
    }
    return filesBelow(root + "/" + Inputs::kAnchors);
}

// Kestrune's per-certificate cost, kept for the growth rows.
struct Measured {
    unsigned count;
    double usPerCert;
};

Measured compare(const char* what, unsigned count, const std::string& root, bool bundle) {
    const std::vector<std::string> files = storeFiles(root, bundle);
    const int rounds = count >= 100000 ? 2 : 3;
    int found = 0;
    Totals floorTotals;
    Totals plain;
    Floor floor;
    const double scan = best(rounds, [&] { found = kestruneScan(root); });
    const double floorTime = best(rounds, [&] { floorTotals = floor.scan(files); });
    const double plainTime = best(count >= 100000 ? 1 : 2, [&] { plain = plainScan(files); });
    Totals extracted;
    const double extractTime = best(rounds, [&] { extracted = extractorScan(files); });
    if (found != static_cast<int>(count) || floorTotals.certificates != count ||
        plain.certificates != count || extracted.certificates != count) {
        std::printf("%-8s %7u  MISMATCH: Kestrune %d, floor %zu, full parse %zu, extractor %zu\n",
                    what, count, found, floorTotals.certificates, plain.certificates,
                    extracted.certificates);
        return {count, 0};
    }
    const double us = scan * 1e6 / count;
    const double floorUs = floorTime * 1e6 / count;
    const double plainUs = plainTime * 1e6 / count;
    std::printf(
        "%-8s %7u  Kestrune %7.2f us/cert   floor %7.2f us/cert   full parse %7.2f "
        "us/cert   %.2fx the floor, %.1fx faster than the full parse\n",
        what, count, us, floorUs, plainUs, us / floorUs, plainUs / us);
    const std::string measured =
        std::string("scan, ") + what + ", " + std::to_string(count) + " certificates";
    kestrune::bench::tableRow(measured, kestrune::bench::figure(us, "us/cert"),
                              "floor: PEM+walk+MD5, same input (<= 2x)",
                              kestrune::bench::figure(floorUs, "us/cert"), us / floorUs);
    kestrune::bench::tableRow(measured, kestrune::bench::figure(us, "us/cert"),
                              "full OpenSSL parse loop (<= 0.05)",
                              kestrune::bench::figure(plainUs, "us/cert"), us / plainUs);
    const double extractUs = extractTime * 1e6 / count;
    std::printf(
        "%-8s %7u  reader and extractor alone %7.2f us/cert (the scan's records: the rest)\n", what,
        count, extractUs);
    kestrune::bench::tableRow(
        "read+extract alone, " + std::string(what) + ", " + std::to_string(count),
        kestrune::bench::figure(extractUs, "us/cert"), "floor: PEM+walk+MD5, same input (<= 2x)",
        kestrune::bench::figure(floorUs, "us/cert"), extractUs / floorUs);
    return {count, us};
}

// A scan of a home with 5,000 Firefox profiles against five of one with 1,000.
void profileRows(Inputs& inputs) {
    constexpr unsigned kSmall = 1000;
    constexpr unsigned kLarge = 5000;
    const std::string small = inputs.profilesHome(kSmall);
    const std::string large = inputs.profilesHome(kLarge);
    const std::string emptyRoot = (fs::path(small) / "root").string();
    fs::create_directories(emptyRoot);
    const double smallTime = best(3, [&] { kestruneScan(emptyRoot, small); });
    const double largeTime = best(2, [&] { kestruneScan(emptyRoot, large); });
    std::printf("profiles %u: %.3f s, %u: %.3f s\n", kSmall, smallTime, kLarge, largeTime);
    kestrune::bench::tableRow(
        "scan, " + std::to_string(kLarge) + " Firefox profiles",
        kestrune::bench::figure(largeTime, "s", 3), "5 x scan, 1000 profiles (linear: <= 1.2)",
        kestrune::bench::figure(5 * smallTime, "s", 3), largeTime / (5 * smallTime));
}

// A scan with a JVM's cacerts and three virtual environments' certifi bundles against
// one with the same certificates as PEM bundles.
void applicationRows(Inputs& inputs) {
    const auto [apps, pems] = inputs.applicationRoots();
    int appsFound = 0;
    int pemsFound = 0;
    const double appsTime = best(5, [&] { appsFound = kestruneScan(apps); });
    const double pemsTime = best(5, [&] { pemsFound = kestruneScan(pems); });
    if (appsFound != pemsFound || appsFound == 0) {
        std::printf("apps     MISMATCH: %d certificates against %d\n", appsFound, pemsFound);
        return;
    }
    std::printf("apps     %d certificates: keystore and venvs %.2f ms, PEM bundles %.2f ms\n",
                appsFound, appsTime * 1e3, pemsTime * 1e3);
    kestrune::bench::tableRow("scan, bundle + JVM cacerts + 3 certifi venvs, " +
                                  std::to_string(appsFound) + " certificates",
                              kestrune::bench::figure(appsTime * 1e3, "ms"),
                              "the same certificates as PEM bundles in stores.d (<= 1.5)",
                              kestrune::bench::figure(pemsTime * 1e3, "ms"), appsTime / pemsTime);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures show up as they come
    if (argc == 2 && std::string(argv[1]) == "profiles") {
        Inputs inputs(fs::absolute(fs::path(argv[0])).parent_path() / "scan-data");
        profileRows(inputs);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "applications") {
        Inputs inputs(fs::absolute(fs::path(argv[0])).parent_path() / "scan-data");
        applicationRows(inputs);
        return 0;
    }
    std::vector<unsigned> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)));
    }
    const bool everything = counts.empty();
    if (everything) {
        counts = {10000, 100000};
    }
    Inputs inputs(fs::absolute(fs::path(argv[0])).parent_path() / "scan-data");
    std::printf(
        "Kestrune scan (NullTrace) against the floor and the full parse loop; best of 3 "
        "rounds (2 from 100,000; the full parse 2 and 1)\n");
    std::vector<Measured> bundles;
    for (const unsigned count : counts) {
        bundles.push_back(compare("one bundle", count, inputs.bundleRoot(count), true));
        compare("one file each", count, inputs.filesRoot(count, 1), false);
    }
    if (!everything) {
        return 0;
    }

    // Growth: per-certificate cost from 1k to 1M, one bundle up to 100k.
    const std::string root1k = inputs.bundleRoot(1000);
    const double base = best(5, [&] { kestruneScan(root1k); }) * 1e6 / 1000;
    std::vector<Measured> growth = bundles;
    const std::string root1m = inputs.filesRoot(1000000, 100000);
    int found = 0;
    const double million = best(1, [&] { found = kestruneScan(root1m); });
    growth.push_back({1000000, found == 1000000 ? million * 1e6 / 1000000 : 0});
    std::printf("growth   1k %.2f us/cert", base);
    for (const Measured& m : growth) {
        std::printf(", %uk %.2f", m.count / 1000, m.usPerCert);
    }
    std::printf("\n");
    for (const Measured& m : growth) {
        kestrune::bench::tableRow("scan growth, " + std::to_string(m.count) + " certificates" +
                                      (m.count > 100000 ? " (10 files)" : ""),
                                  kestrune::bench::figure(m.usPerCert, "us/cert"),
                                  "scan, 1000 certificates (<= 1.2)",
                                  kestrune::bench::figure(base, "us/cert"), m.usPerCert / base);
    }

    // An NSS database against certutil listing it. 1,000 certificates: certutil takes
    // about 0.13 s to add each one (22 minutes for 10,000 here), and slows down again
    // when it lists a database of that size.
    constexpr int kNss = 1000;
    const std::string home = inputs.nssHome(kNss);
    const std::string emptyRoot = (fs::path(home) / "root").string();
    fs::create_directories(emptyRoot);
    const double nss = best(3, [&] { found = kestruneScan(emptyRoot, home); });
    const std::string list = "certutil -L -d sql:" + home + "/.pki/nssdb >/dev/null";
    int status = 0;
    const double certutil = best(3, [&] { status = std::system(list.c_str()); });
    // Twice every certificate: a scan collects the current user's stores in both of its
    // passes.
    if (found != 2 * kNss || status != 0) {
        std::printf("nss      MISMATCH: Kestrune %d certificates, certutil status %d\n", found,
                    status);
        return 0;
    }
    std::printf("nss      %d  Kestrune %.3f s   certutil -L %.3f s\n", kNss, nss, certutil);
    kestrune::bench::tableRow("NSS store, " + std::to_string(kNss) + " certificates",
                              kestrune::bench::figure(nss * 1e3, "ms"),
                              "certutil -L -d, same database (< 1)",
                              kestrune::bench::figure(certutil * 1e3, "ms"), nss / certutil);
    profileRows(inputs);
    applicationRows(inputs);
    return 0;
}
