// What the scanner takes from a certificate, computed with OpenSSL the way the
// platform's certificate API gives them: the simple display name, the MD5 of the
// subject name's DER (property 29), the serial number's encoded octets and the SHA-256
// of the certificate's DER.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inventory/c_handle.h"
#include "platform/linux/stores/store_source.h"

namespace kestrune {

using X509Ptr = CHandle<X509, X509_free>;
using EvpMdPtr = CHandle<EVP_MD, EVP_MD_free>;
using EvpMdCtxPtr = CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;
using GeneralNamesPtr = CHandle<GENERAL_NAMES, GENERAL_NAMES_free>;

// The text of OpenSSL's most recent error, and an empty error queue afterwards.
std::string takeOpensslError();

// The first common name of the subject; else organisational unit; else organisation;
// else e-mail address; else the first rfc822 name of the subject alternative names;
// else the value of the subject's first attribute; else empty. Valid UTF-8 of at most
// `maxUnits` UTF-16 units, never split inside a character.
std::string x509DisplayName(const X509& cert, std::size_t maxUnits = kNameBufferUnits - 1);
// The same rule over a subject name and the certificate's extensions (may be null).
std::string nameDisplayName(const X509_NAME* subject, const STACK_OF(X509_EXTENSION) * extensions,
                            std::size_t maxUnits = kNameBufferUnits - 1);

// The content octets of the serial INTEGER exactly as DER encodes them (a leading 00
// kept, negative numbers in two's complement), most significant first.
bool x509SerialOctets(const X509& cert, std::vector<std::uint8_t>& octets);
bool integerOctets(const ASN1_INTEGER* serial, std::vector<std::uint8_t>& octets);

// The uses a trusted certificate's trust settings name, as "trusted for serverAuth,
// emailProtection; rejected for clientAuth" (OpenSSL's short names, dotted numbers for
// the others); empty when it lists none.
std::string trustUsesText(X509& cert);
// The same for a certificate's DER and the trust settings stored after it; empty when
// there are none or they do not parse.
std::string trustUsesText(const std::vector<std::uint8_t>& der,
                          const std::vector<std::uint8_t>& trust);

// MD5 of the subject name's DER; one per thread of use, it keeps a digest context.
class SubjectNameMd5 {
  public:
    SubjectNameMd5();
    bool compute(const X509& cert, std::vector<std::uint8_t>& hash);
    bool compute(const X509_NAME* subject, std::vector<std::uint8_t>& hash);
    bool compute(const unsigned char* der, std::size_t length, std::vector<std::uint8_t>& hash);

  private:
    EvpMdPtr md5_;
    EvpMdCtxPtr ctx_;
};

// One parsed certificate as the scanner sees it. Reused for every certificate of a
// store, so walking a store allocates no wrapper per certificate.
class X509Certificate final : public Certificate {
  public:
    explicit X509Certificate(SubjectNameMd5& md5) : md5_(md5) {}
    void reset(X509Ptr cert) { cert_ = std::move(cert); }
    const X509* get() const { return cert_.get(); }

    bool simpleDisplayName(std::string& name) const override;
    bool subjectNameMd5(std::vector<std::uint8_t>& hash) const override;
    std::vector<std::uint8_t> serialLittleEndian() const override;
    bool sha256(Fingerprint& digest) const override;
    std::vector<std::uint8_t> trustSettings() const override { return trust_; }
    std::vector<std::uint8_t> der() const override;
    std::string trust() const override;
    void setTrust(const std::uint8_t* bytes, std::size_t size) {
        trust_.assign(bytes, bytes + size);
    }

  private:
    X509Ptr cert_;
    SubjectNameMd5& md5_;
    std::vector<std::uint8_t> trust_;
};

}  // namespace kestrune
