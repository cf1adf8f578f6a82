// Kestrune's scan of Linux trust stores against a plain OpenSSL loop that reads and
// parses the same files and computes the same three fields, in the same run: 10,000 and
// 100,000 certificates, once as one bundle and once as one file each.
//
//   linux_scan_bench [count ...]     (default: 10000 100000)
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
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/ports.h"
#include "bench/bench_table.h"
#include "bench/pem_generator.h"
#include "inventory/scanner.h"

namespace fs = std::filesystem;
using kestrune::KestruneState;
using kestrune::bench::Generator;

namespace {

struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};

// ---- the plain loop: PEM_read_bio_X509 and the three fields, nothing else ----

struct PlainTotals {
    std::size_t certificates = 0;
    std::size_t checksum = 0;  // keeps the work from being optimised away
};

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

void plainFields(const X509* cert, PlainTotals& totals) {
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

void plainFile(const std::string& path, PlainTotals& totals) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        return;
    }
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        plainFields(cert, totals);
        X509_free(cert);
    }
}

PlainTotals plainScan(const std::vector<std::string>& files) {
    PlainTotals totals;
    for (const auto& file : files) {
        plainFile(file, totals);
    }
    return totals;
}

std::vector<std::string> plainList(const std::string& bundle, const std::string& folder) {
    std::vector<std::string> files;
    if (!bundle.empty()) {
        files.push_back(bundle);
    }
    if (!folder.empty()) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            files.push_back(entry.path().string());
        }
    }
    return files;
}

// ---- Kestrune's scan ----

int kestruneScan(const std::string& root) {
    kestrune::NullTrace trace;
    kestrune::PlatformOptions options;
    options.root = root;
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

void compare(const char* what, unsigned count, const std::string& root, const std::string& bundle,
             const std::string& folder) {
    // Alternating rounds; the best of each side counts.
    const int rounds = count >= 100000 ? 2 : 3;
    double best = 1e30;
    double bestPlain = 1e30;
    int found = 0;
    PlainTotals plain;
    for (int round = 0; round < rounds; ++round) {
        best = std::min(best, seconds([&] { found = kestruneScan(root); }));
        bestPlain =
            std::min(bestPlain, seconds([&] { plain = plainScan(plainList(bundle, folder)); }));
    }
    if (found != static_cast<int>(count) || plain.certificates != count) {
        std::printf("%-8s %7u  MISMATCH: Kestrune %d, plain %zu\n", what, count, found,
                    plain.certificates);
        return;
    }
    std::printf(
        "%-8s %7u  Kestrune %8.3f s (%6.2f us/cert)   plain OpenSSL %8.3f s (%6.2f us/cert)"
        "   ratio %.3f\n",
        what, count, best, best * 1e6 / count, bestPlain, bestPlain * 1e6 / count,
        best / bestPlain);
    kestrune::bench::tableRow(
        std::string("scan, ") +
            (std::strcmp(what, "bundle") == 0 ? "one bundle" : "one file each") + ", " +
            std::to_string(count) + " certificates",
        kestrune::bench::figure(best * 1e6 / count, "us/cert"), "plain OpenSSL loop, same files",
        kestrune::bench::figure(bestPlain * 1e6 / count, "us/cert"), best / bestPlain);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)));
    }
    if (counts.empty()) {
        counts = {10000, 100000};
    }
    std::string base = (fs::temp_directory_path() / "kestrune-bench-XXXXXX").string();
    if (mkdtemp(base.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures show up as they come
    Generator generator;
    std::printf(
        "Kestrune scan (NullTrace) against PEM_read_bio_X509 + the same three fields; "
        "best of 3 rounds (2 from 100,000), target ratio <= 1.3\n");
    for (const unsigned count : counts) {
        const std::string bundleRoot = base + "/bundle-" + std::to_string(count);
        const std::string bundle = bundleRoot + "/etc/ssl/certs/ca-certificates.crt";
        fs::create_directories(fs::path(bundle).parent_path());
        {
            std::ofstream out(bundle, std::ios::binary);
            for (unsigned i = 0; i < count; ++i) {
                out << generator.pem(i);
            }
        }
        compare("bundle", count, bundleRoot, bundle, "");
        fs::remove_all(bundleRoot);

        const std::string filesRoot = base + "/files-" + std::to_string(count);
        const std::string folder = filesRoot + "/usr/local/share/ca-certificates";
        fs::create_directories(folder);
        for (unsigned i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/cert-%06u.crt", i);
            std::ofstream(folder + name, std::ios::binary) << generator.pem(i);
        }
        compare("files", count, filesRoot, "", folder);
        fs::remove_all(filesRoot);
    }
    fs::remove_all(base);
    return 0;
}
