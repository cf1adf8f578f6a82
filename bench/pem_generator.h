// Certificates for the Linux benchmarks: one RSA-2048 certificate like a real CA's, and
// any number of distinct ones made from it as PEM.
#pragma once

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace kestrune::bench {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};

constexpr char kSubjectCn[] = "Bench Certificate 000000";
constexpr unsigned char kSerial[16] = {0x4b, 0x65, 0x73, 0x74, 0x72, 0x75, 0x6e, 0x65,
                                       0x42, 0x65, 0x6e, 0x63, 0x68, 0x00, 0x00, 0x00};

// One RSA-2048 certificate like a real CA's; every other certificate is this DER with
// its serial and subject common name rewritten in place (signatures are not checked).
inline std::string templateDer() {
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

}  // namespace kestrune::bench
