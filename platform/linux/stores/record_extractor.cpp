#include "platform/linux/stores/record_extractor.h"

#include <openssl/asn1.h>
#include <openssl/err.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string_view>

namespace kestrune {

namespace {

using Asn1IntegerPtr = CHandle<ASN1_INTEGER, ASN1_INTEGER_free>;
using AlgorPtr = CHandle<X509_ALGOR, X509_ALGOR_free>;
using NamePtr = CHandle<X509_NAME, X509_NAME_free>;
using ValidityPtr = CHandle<X509_VAL, X509_VAL_free>;
using BitStringPtr = CHandle<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;
using CertAuxPtr = CHandle<X509_CERT_AUX, X509_CERT_AUX_free>;

void freeExtensions(STACK_OF(X509_EXTENSION) * extensions) {
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
}
using ExtensionsPtr = CHandle<STACK_OF(X509_EXTENSION), freeExtensions>;

// A cursor over [p, end): every step is one OpenSSL primitive given exactly what is left,
// and the cursor never moves past `end`.
class Cursor {
  public:
    Cursor(const unsigned char* p, const unsigned char* end) : p_(p), end_(end) {}

    const unsigned char* at() const { return p_; }
    const unsigned char* end() const { return end_; }
    bool atEnd() const { return p_ == end_; }
    long left() const { return static_cast<long>(end_ - p_); }

    // A constructed element of definite length with this tag and class: the cursor
    // moves into it and `inner` covers its content.
    bool enter(int wantTag, int wantClass, Cursor& inner) {
        const unsigned char* q = p_;
        long length = 0;
        int tag = 0;
        int cls = 0;
        // 0x20 alone: constructed and definite; 0x80 is an error, 0x01 indefinite.
        if (p_ >= end_ || ASN1_get_object(&q, &length, &tag, &cls, left()) != V_ASN1_CONSTRUCTED ||
            tag != wantTag || cls != wantClass || length < 0 || length > end_ - q) {
            return false;
        }
        inner = Cursor(q, q + length);
        p_ = q + length;
        return true;
    }

    // A primitive element of definite length in the universal class: its tag and content.
    bool primitive(int& tag, const unsigned char*& content, long& length) {
        const unsigned char* q = p_;
        int cls = 0;
        if (p_ >= end_ || ASN1_get_object(&q, &length, &tag, &cls, left()) != 0 ||
            cls != V_ASN1_UNIVERSAL || length < 0 || length > end_ - q) {
            return false;
        }
        content = q;
        p_ = q + length;
        return true;
    }

    // Whether the next element has this context-specific tag (without reading it).
    bool nextIsContext(int wantTag) const {
        if (p_ >= end_) {
            return false;
        }
        const unsigned char* q = p_;
        long length = 0;
        int tag = 0;
        int cls = 0;
        const int ret = ASN1_get_object(&q, &length, &tag, &cls, left());
        if (ret & 0x80) {
            ERR_clear_error();  // not this element; what comes next decides
            return false;
        }
        return cls == V_ASN1_CONTEXT_SPECIFIC && tag == wantTag;
    }

    // One item decoded with its d2i function, which must stay within what is left.
    template <class T, class D2i>
    T* decode(D2i d2i) {
        if (p_ >= end_) {
            return nullptr;
        }
        const unsigned char* q = p_;
        T* item = d2i(nullptr, &q, left());
        if (item == nullptr) {
            return nullptr;
        }
        if (q <= p_ || q > end_) {
            return item;  // cannot happen with OpenSSL's decoders; leaves the cursor put
        }
        p_ = q;
        return item;
    }

  private:
    const unsigned char* p_;
    const unsigned char* end_;
};

// What a plain name (see below) holds for the display name: the first value of each
// attribute the rule looks for, and the first value of all.
struct PlainName {
    std::string_view commonName, unit, organisation, email, first;
    bool any = false;
};

bool sameOid(const unsigned char* content, long length, std::string_view oid) {
    return static_cast<std::size_t>(length) == oid.size() &&
           std::memcmp(content, oid.data(), oid.size()) == 0;
}

// A name the full parse certainly reads, walked without building it: only SETs of
// (OBJECT IDENTIFIER, PrintableString / UTF8String / IA5String) of printable ASCII, every
// identifier well formed. Anything else (other string types, non-ASCII, indefinite
// lengths) is left to d2i_X509_NAME, which also decides whether it is a name at all.
bool plainName(Cursor& in, PlainName* found) {
    // OpenSSL reads names of up to 1 MiB; a long one is left to it.
    constexpr long kPlainNameBytes = 64 * 1024;
    const unsigned char* start = in.at();
    Cursor sequence(nullptr, nullptr);
    if (!in.enter(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, sequence) ||
        in.at() - start > kPlainNameBytes) {
        return false;
    }
    while (!sequence.atEnd()) {
        Cursor set(nullptr, nullptr);
        if (!sequence.enter(V_ASN1_SET, V_ASN1_UNIVERSAL, set) || set.atEnd()) {
            return false;
        }
        while (!set.atEnd()) {
            Cursor entry(nullptr, nullptr);
            int tag = 0;
            const unsigned char* oid = nullptr;
            long oidLength = 0;
            const unsigned char* value = nullptr;
            long valueLength = 0;
            if (!set.enter(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, entry) ||
                !entry.primitive(tag, oid, oidLength) || tag != V_ASN1_OBJECT || oidLength < 1 ||
                (oid[oidLength - 1] & 0x80) != 0 || !entry.primitive(tag, value, valueLength) ||
                (tag != V_ASN1_PRINTABLESTRING && tag != V_ASN1_UTF8STRING &&
                 tag != V_ASN1_IA5STRING) ||
                valueLength < 1 || !entry.atEnd()) {
                return false;
            }
            // A sub-identifier never starts with 0x80.
            for (long i = 0; i < oidLength; ++i) {
                if (oid[i] == 0x80 && (i == 0 || (oid[i - 1] & 0x80) == 0)) {
                    return false;
                }
            }
            if (!std::all_of(value, value + valueLength,
                             [](unsigned char c) { return c >= 0x20 && c < 0x7F; })) {
                return false;
            }
            if (found == nullptr) {
                continue;
            }
            const std::string_view text(reinterpret_cast<const char*>(value),
                                        static_cast<std::size_t>(valueLength));
            if (!found->any) {
                found->first = text;
                found->any = true;
            }
            const auto take = [&](std::string_view& slot, std::string_view id) {
                if (slot.empty() && sameOid(oid, oidLength, id)) {
                    slot = text;
                }
            };
            take(found->commonName, "\x55\x04\x03");
            take(found->unit, "\x55\x04\x0b");
            take(found->organisation, "\x55\x04\x0a");
            take(found->email, "\x2a\x86\x48\x86\xf7\x0d\x01\x09\x01");
        }
    }
    return true;
}

// A primitive BIT STRING OpenSSL certainly reads (at least its unused-bits octet, which
// is at most 7). With `canonical`, also one it writes back the same: a minimal header,
// some content, and the unused bits zero. Anything else is left to d2i_ASN1_BIT_STRING.
bool plainBitString(Cursor& in, bool canonical) {
    const unsigned char* start = in.at();
    int tag = 0;
    const unsigned char* content = nullptr;
    long length = 0;
    if (!in.primitive(tag, content, length) || tag != V_ASN1_BIT_STRING || length < 1 ||
        content[0] > 7) {
        return false;
    }
    if (!canonical) {
        return true;
    }
    const unsigned unusedMask = (1u << content[0]) - 1;
    return length >= 2 && (content[length - 1] & unusedMask) == 0 &&
           ASN1_object_size(0, length, V_ASN1_BIT_STRING) == in.at() - start;
}

// Whether re-encoding an item gives back exactly `der`'s bytes; the full parse hashes
// the re-encoded outer parts of a certificate, the extractor the bytes it was given.
template <class T, class I2d>
bool reencodes(const T* item, I2d i2d, const unsigned char* der, const unsigned char* derEnd,
               std::vector<unsigned char>& scratch) {
    const int length = i2d(item, nullptr);
    if (length <= 0 || length != derEnd - der) {
        return false;
    }
    scratch.resize(static_cast<std::size_t>(length));
    unsigned char* out = scratch.data();
    return i2d(item, &out) == length && std::memcmp(scratch.data(), der, scratch.size()) == 0;
}

// What walking a certificate keeps for its record's fields.
struct Walked {
    Asn1IntegerPtr serial;
    const unsigned char* subjectAt = nullptr;  // the subject name's DER
    const unsigned char* subjectEnd = nullptr;
    PlainName plainSubject;
    NamePtr subject;  // decoded only when the subject is not plain
    ExtensionsPtr extensions;
};

// The outer SEQUENCE; `cert` covers its content.
bool enterCertificate(Cursor& input, const unsigned char* der, Cursor& cert) {
    if (!input.enter(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, cert)) {
        return false;
    }
    // The full parse writes the outer header anew; only a minimal one hashes the same.
    const long certLength = cert.end() - cert.at();
    return ASN1_object_size(1, certLength, V_ASN1_SEQUENCE) == input.at() - der;
}

// version [0] EXPLICIT INTEGER: absent (v1), or v2/v3 as written by every issuer.
bool readVersion(Cursor& tbs, bool& v3) {
    v3 = false;
    if (!tbs.nextIsContext(0)) {
        return true;
    }
    Cursor explicitVersion(nullptr, nullptr);
    if (!tbs.enter(0, V_ASN1_CONTEXT_SPECIFIC, explicitVersion)) {
        return false;
    }
    const Asn1IntegerPtr version(explicitVersion.decode<ASN1_INTEGER>(d2i_ASN1_INTEGER));
    if (!version || !explicitVersion.atEnd()) {
        return false;
    }
    const long v = ASN1_INTEGER_get(version.get());
    if (v != 1 && v != 2) {
        return false;
    }
    v3 = v == 2;
    return true;
}

// A name, walked when it is plain (what it holds into `plain`, when given), decoded into
// `decoded` otherwise.
bool readName(Cursor& tbs, PlainName* plain, NamePtr& decoded) {
    Cursor probe = tbs;
    if (plainName(probe, plain)) {
        tbs = probe;
        return true;
    }
    ERR_clear_error();
    decoded.reset(tbs.decode<X509_NAME>(d2i_X509_NAME));
    return static_cast<bool>(decoded);
}

// SubjectPublicKeyInfo: its structure is all the full parse insists on (a key it cannot
// decode is kept undecoded), so the key itself is left alone.
bool readKeyInfo(Cursor& tbs) {
    Cursor keyInfo(nullptr, nullptr);
    if (!tbs.enter(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, keyInfo)) {
        return false;
    }
    const AlgorPtr keyAlgorithm(keyInfo.decode<X509_ALGOR>(d2i_X509_ALGOR));
    if (!keyAlgorithm) {
        return false;
    }
    Cursor probe = keyInfo;
    if (plainBitString(probe, false)) {
        keyInfo = probe;
    } else if (ERR_clear_error(),
               !BitStringPtr(keyInfo.decode<ASN1_BIT_STRING>(d2i_ASN1_BIT_STRING))) {
        return false;
    }
    return keyInfo.atEnd();
}

// extensions [3] EXPLICIT, only in a v3 certificate. Unique identifiers ([1], [2]) are
// left to the full parse.
bool readExtensions(Cursor& tbs, bool v3, ExtensionsPtr& extensions) {
    if (!tbs.nextIsContext(3)) {
        return true;
    }
    Cursor explicitExtensions(nullptr, nullptr);
    if (!v3 || !tbs.enter(3, V_ASN1_CONTEXT_SPECIFIC, explicitExtensions)) {
        return false;
    }
    extensions.reset(explicitExtensions.decode<STACK_OF(X509_EXTENSION)>(d2i_X509_EXTENSIONS));
    return extensions && explicitExtensions.atEnd();
}

// The TBSCertificate, whole: what the record needs into `walked`.
bool readTbs(Cursor& cert, Walked& walked) {
    Cursor tbs(nullptr, nullptr);
    bool v3 = false;
    if (!cert.enter(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, tbs) || !readVersion(tbs, v3)) {
        return false;
    }
    walked.serial.reset(tbs.decode<ASN1_INTEGER>(d2i_ASN1_INTEGER));
    const AlgorPtr tbsSignature(tbs.decode<X509_ALGOR>(d2i_X509_ALGOR));
    if (!walked.serial || !tbsSignature) {
        return false;
    }
    NamePtr issuer;
    if (!readName(tbs, nullptr, issuer)) {
        return false;
    }
    issuer.reset();
    const ValidityPtr validity(tbs.decode<X509_VAL>(d2i_X509_VAL));
    if (!validity) {
        return false;
    }
    walked.subjectAt = tbs.at();
    if (!readName(tbs, &walked.plainSubject, walked.subject)) {
        return false;
    }
    walked.subjectEnd = tbs.at();
    return readKeyInfo(tbs) && readExtensions(tbs, v3, walked.extensions) && tbs.atEnd();
}

// The signature algorithm and value, each as the full parse would write it back (it
// hashes the re-encoded parts), then nothing more inside the certificate.
bool readSignature(Cursor& cert, std::vector<unsigned char>& scratch) {
    const unsigned char* algorithmAt = cert.at();
    const AlgorPtr signatureAlgorithm(cert.decode<X509_ALGOR>(d2i_X509_ALGOR));
    const unsigned char* signatureAt = cert.at();
    if (!signatureAlgorithm ||
        !reencodes(signatureAlgorithm.get(), i2d_X509_ALGOR, algorithmAt, signatureAt, scratch)) {
        return false;
    }
    Cursor probe = cert;
    if (plainBitString(probe, true)) {
        cert = probe;
    } else {
        ERR_clear_error();
        const BitStringPtr signature(cert.decode<ASN1_BIT_STRING>(d2i_ASN1_BIT_STRING));
        if (!signature ||
            !reencodes(signature.get(), i2d_ASN1_BIT_STRING, signatureAt, cert.at(), scratch)) {
            return false;
        }
    }
    return cert.atEnd();
}

// Trust data after a trusted certificate must parse; anything after a plain one is not
// looked at, as in the full parse.
bool trustDataParses(Cursor& input, bool trusted) {
    if (!trusted || input.atEnd()) {
        return true;
    }
    const CertAuxPtr aux(input.decode<X509_CERT_AUX>(d2i_X509_CERT_AUX));
    return static_cast<bool>(aux);
}

// The display name: a plain subject's values are ASCII, so the rule's pick is cut to the
// buffer; the alternative names or an empty name take the full rule over the decoded name.
bool displayName(Walked& walked, std::string& name) {
    const PlainName& plain = walked.plainSubject;
    for (const std::string_view value :
         {plain.commonName, plain.unit, plain.organisation, plain.email}) {
        if (!walked.subject && !value.empty()) {
            name.assign(value.substr(0, kNameBufferUnits - 1));
            return true;
        }
    }
    if (!walked.subject && !walked.extensions && plain.any) {
        name.assign(plain.first.substr(0, kNameBufferUnits - 1));
        return true;
    }
    if (!walked.subject) {
        const unsigned char* p = walked.subjectAt;
        walked.subject.reset(d2i_X509_NAME(nullptr, &p, walked.subjectEnd - walked.subjectAt));
        if (!walked.subject || p != walked.subjectEnd) {
            return false;
        }
    }
    name = nameDisplayName(walked.subject.get(), walked.extensions.get());
    return true;
}

}  // namespace

RecordExtractor::RecordExtractor()
    : sha256_(EVP_MD_fetch(nullptr, "SHA256", nullptr)), ctx_(EVP_MD_CTX_new()) {
    ERR_clear_error();
}

bool RecordExtractor::extract(const unsigned char* der, std::size_t size, bool trusted,
                              ExtractedFields& fields) {
    if (der == nullptr || size == 0 || size > static_cast<std::size_t>(LONG_MAX) || !sha256_ ||
        !ctx_) {
        return false;
    }
    const bool done = walk(der, size, trusted, fields);
    if (!done) {
        ERR_clear_error();
    }
    return done;
}

std::optional<Fingerprint> RecordExtractor::outerSha256(const unsigned char* der,
                                                        std::size_t size) {
    if (der == nullptr || size < 2 || der[0] != 0x30 || !sha256_ || !ctx_) {
        return std::nullopt;
    }
    std::size_t length = der[1];
    std::size_t header = 2;
    if (length & 0x80) {
        const std::size_t octets = length & 0x7F;
        if (octets == 0 || octets > 3 || size < 2 + octets) {
            return std::nullopt;  // indefinite, or longer than any certificate file
        }
        length = 0;
        for (std::size_t i = 0; i < octets; ++i) {
            length = (length << 8) | der[2 + i];
        }
        header += octets;
    }
    if (length > size - header) {
        return std::nullopt;
    }
    Fingerprint digest{};
    unsigned int digestLength = 0;
    if (EVP_DigestInit_ex(ctx_.get(), sha256_.get(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx_.get(), der, header + length) != 1 ||
        EVP_DigestFinal_ex(ctx_.get(), digest.data(), &digestLength) != 1 ||
        digestLength != digest.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    return digest;
}

bool RecordExtractor::walk(const unsigned char* der, std::size_t size, bool trusted,
                           ExtractedFields& fields) {
    Cursor input(der, der + size);
    Cursor cert(nullptr, nullptr);
    Walked walked;
    if (!enterCertificate(input, der, cert) || !readTbs(cert, walked) ||
        !readSignature(cert, scratch_) || !trustDataParses(input, trusted)) {
        return false;
    }
    const std::size_t certSize = static_cast<std::size_t>(cert.end() - der);
    unsigned int digestLength = 0;
    if (!integerOctets(walked.serial.get(), fields.serial) ||
        !md5_.compute(walked.subjectAt,
                      static_cast<std::size_t>(walked.subjectEnd - walked.subjectAt), fields.md5) ||
        EVP_DigestInit_ex(ctx_.get(), sha256_.get(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx_.get(), der, certSize) != 1 ||
        EVP_DigestFinal_ex(ctx_.get(), fields.sha256.data(), &digestLength) != 1 ||
        digestLength != fields.sha256.size()) {
        return false;
    }
    return displayName(walked, fields.name);
}

bool parsedFields(const unsigned char* der, std::size_t size, bool trusted, SubjectNameMd5& md5,
                  ExtractedFields& fields, std::string& problem) {
    problem.clear();
    const unsigned char* p = der;
    const long length = static_cast<long>(std::min<std::size_t>(size, LONG_MAX));
    X509Ptr cert(der == nullptr || length <= 0 ? nullptr
                 : trusted                     ? d2i_X509_AUX(nullptr, &p, length)
                                               : d2i_X509(nullptr, &p, length));
    if (!cert) {
        problem = "not a certificate (" + takeOpensslError() + ")";
        return false;
    }
    X509Certificate parsed(md5);
    parsed.reset(std::move(cert));
    if (!parsed.get() || !parsed.subjectNameMd5(fields.md5)) {
        problem = "the subject name cannot be hashed";
        return false;
    }
    parsed.simpleDisplayName(fields.name);
    fields.serial = parsed.serialLittleEndian();
    std::reverse(fields.serial.begin(), fields.serial.end());
    if (!parsed.sha256(fields.sha256)) {
        fields.sha256 = {};
    }
    return true;
}

bool ExtractedCertificate::simpleDisplayName(std::string& name) const {
    name = fields_.name;
    return true;
}

bool ExtractedCertificate::subjectNameMd5(std::vector<std::uint8_t>& hash) const {
    hash = fields_.md5;
    return true;
}

std::vector<std::uint8_t> ExtractedCertificate::serialLittleEndian() const {
    return {fields_.serial.rbegin(), fields_.serial.rend()};
}

// The length of the outer SEQUENCE, header included; `size` when it cannot be read.
static std::size_t certificateLength(const std::uint8_t* der, std::size_t size) {
    if (size < 2 || der[0] != 0x30) {
        return size;
    }
    std::size_t header = 2;
    std::size_t contents = der[1];
    if (contents & 0x80) {
        const std::size_t count = contents & 0x7f;
        if (count == 0 || count > sizeof(std::size_t) || size < 2 + count) {
            return size;
        }
        contents = 0;
        for (std::size_t i = 0; i < count; ++i) {
            contents = (contents << 8) | der[2 + i];
        }
        header += count;
    }
    return contents <= size - header ? header + contents : size;
}

void ExtractedCertificate::setDer(const std::uint8_t* bytes, std::size_t size) {
    der_.assign(bytes, bytes + certificateLength(bytes, size));
}

bool ExtractedCertificate::sha256(Fingerprint& digest) const {
    digest = fields_.sha256;
    return true;
}

}  // namespace kestrune
