// A certificate's record fields read straight from its DER, without building the whole
// certificate: OpenSSL's ASN.1 primitives walk the structure and decode each part the way
// the full parse would, except the public key, which a record never uses and whose
// decoding is most of a full parse's cost.
//
// The extractor never rejects. It answers only when it is sure the full parse accepts
// the same bytes and gives the same fields; anything it is unsure of (indefinite
// lengths, unique identifiers, an unusual version, a re-encoding that would differ) it
// declines, and the caller's full parse decides and says what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/stores/store_source.h"
#include "platform/linux/stores/x509_fields.h"

namespace kestrune {

using EvpMdCtxHandle = CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;

struct ExtractedFields {
    std::string name;                  // the simple display name
    std::vector<std::uint8_t> md5;     // of the subject name's DER
    std::vector<std::uint8_t> serial;  // the INTEGER's content octets, most significant first
    Fingerprint sha256{};              // of the certificate's DER
};

// One per thread of use: it keeps digest contexts and a scratch buffer.
class RecordExtractor {
  public:
    RecordExtractor();

    // `trusted`: the bytes are a "TRUSTED CERTIFICATE" (the certificate, then optional
    // trust data). True with `fields` set when the full parse would accept the bytes and
    // give exactly these fields; false when the full parse has to decide.
    bool extract(const unsigned char* der, std::size_t size, bool trusted, ExtractedFields& fields);
    // The SHA-256 of the DER SEQUENCE at the start of `der` (a certificate's whole
    // encoding), without reading inside it; none when no definite-length SEQUENCE fits. It
    // equals extract()'s for every certificate extract() takes, for a fraction of the work.
    std::optional<Fingerprint> outerSha256(const unsigned char* der, std::size_t size);

  private:
    // extract() once its input is known sane; it may leave OpenSSL errors queued.
    bool walk(const unsigned char* der, std::size_t size, bool trusted, ExtractedFields& fields);

    SubjectNameMd5 md5_;
    EvpMdPtr sha256_;
    EvpMdCtxHandle ctx_;
    std::vector<unsigned char> scratch_;
};

// The same fields through the full parse (d2i_X509, or d2i_X509_AUX for a trusted
// certificate): the reference the extractor is held to, and what it falls back on. False
// when the parse rejects the bytes (`problem` says why) or the subject cannot be hashed.
bool parsedFields(const unsigned char* der, std::size_t size, bool trusted, SubjectNameMd5& md5,
                  ExtractedFields& fields, std::string& problem);

// Extracted fields as the scanner asks for them.
class ExtractedCertificate final : public Certificate {
  public:
    ExtractedFields& fields() { return fields_; }

    bool simpleDisplayName(std::string& name) const override;
    bool subjectNameMd5(std::vector<std::uint8_t>& hash) const override;
    std::vector<std::uint8_t> serialLittleEndian() const override;
    bool sha256(Fingerprint& digest) const override;
    std::vector<std::uint8_t> trustSettings() const override { return trust_; }
    std::vector<std::uint8_t> der() const override { return der_; }
    std::string trust() const override { return trustUsesText(der_, trust_); }
    void setTrust(const std::uint8_t* bytes, std::size_t size) {
        trust_.assign(bytes, bytes + size);
    }
    // The bytes the fields were extracted from; a trusted certificate's trust settings
    // after the certificate are left out.
    void setDer(const std::uint8_t* bytes, std::size_t size);

  private:
    ExtractedFields fields_;
    std::vector<std::uint8_t> trust_;
    std::vector<std::uint8_t> der_;
};

}  // namespace kestrune
