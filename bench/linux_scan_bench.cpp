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

#include "app/platform_factory.h"
#include "inventory/scanner.h"

namespace fs = std::filesystem;
using kestrune::KestruneState;

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};

constexpr char kSubjectCn[] = "Bench Certificate 000000";
constexpr unsigned char kSerial[16] = {0x4b, 0x65, 0x73, 0x74, 0x72, 0x75, 0x6e, 0x65,
                                       0x42, 0x65, 0x6e, 0x63, 0x68, 0x00, 0x00, 0x00};

// One RSA-2048 certificate like a real CA's; every other certificate is this DER with
// its serial and subject common name rewritten in place (signatures are not checked).
std::string templateDer() {
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", 2048));
    std::unique_ptr<X509, X509Free> cert(X509_new());
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    ASN1_STRING_set(serial, kSerial, sizeof kSerial);
    X509_set_serialNumber(cert.get(), serial);
    ASN1_INTEGER_free(serial);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "C", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("DE"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Kestrune Bench"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(kSubjectCn), -1, -1, 0);
    X509_NAME* issuer = X509_get_issuer_name(cert.get());
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Kestrune Bench Issuer"), -1,
                               -1, 0);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 3650);
    X509_set_pubkey(cert.get(), key.get());
    X509_EXTENSION* ext =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(cert.get(), key.get(), EVP_sha256());
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert.get(), &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    return out;
}

class Generator {
  public:
    Generator() : der_(templateDer()) {
        serialAt_ = der_.find(std::string(reinterpret_cast<const char*>(kSerial), sizeof kSerial));
        cnAt_ = der_.find(kSubjectCn);
        if (serialAt_ == std::string::npos || cnAt_ == std::string::npos) {
            throw std::runtime_error("template fields not found");
        }
    }

    std::string pem(unsigned index) {
        std::string der = der_;
        for (int b = 0; b < 3; ++b) {
            der[serialAt_ + 15 - b] = static_cast<char>((index >> (8 * b)) & 0xFF);
        }
        char digits[8];
        std::snprintf(digits, sizeof digits, "%06u", index % 1000000);
        std::memcpy(&der[cnAt_ + std::strlen(kSubjectCn) - 6], digits, 6);

        std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
        const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()),
                                      reinterpret_cast<const unsigned char*>(der.data()),
                                      static_cast<int>(der.size()));
        b64.resize(static_cast<std::size_t>(n));
        std::string out = "-----BEGIN CERTIFICATE-----\n";
        for (std::size_t i = 0; i < b64.size(); i += 64) {
            out += b64.substr(i, 64);
            out += '\n';
        }
        out += "-----END CERTIFICATE-----\n";
        return out;
    }

  private:
    std::string der_;
    std::size_t serialAt_;
    std::size_t cnAt_;
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
    const auto api = kestrune::makeCertStoreApi(options, trace);
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
