#include "platform/linux/stores/x509_fields.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <algorithm>
#include <array>
#include <climits>

#include "inventory/text.h"

namespace kestrune {

std::string takeOpensslError() {
    const unsigned long code = ERR_peek_last_error();
    std::string text;
    if (code != 0) {
        std::array<char, 256> buffer{};
        ERR_error_string_n(code, buffer.data(), buffer.size());
        text = buffer.data();
    }
    ERR_clear_error();
    return text.empty() ? "unknown OpenSSL error" : text;
}

namespace {

// Valid UTF-8 (bad sequences become U+FFFD) of at most maxUnits UTF-16 units.
std::string cleanUtf8(std::string_view in, std::size_t maxUnits) {
    if (in.size() <= maxUnits &&
        std::all_of(in.begin(), in.end(), [](char c) { return (c & 0x80) == 0; })) {
        return std::string(in);
    }
    std::u16string units = utf8ToUtf16(in);
    if (units.size() > maxUnits) {
        std::size_t n = maxUnits;
        if (n > 0 && units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF) {
            --n;  // never keep half a surrogate pair
        }
        units.resize(n);
    }
    return utf16ToUtf8(units);
}

bool asciiOnly(const ASN1_STRING& s) {
    const unsigned char* data = ASN1_STRING_get0_data(&s);
    return std::all_of(data, data + ASN1_STRING_length(&s),
                       [](unsigned char c) { return c < 0x80; });
}

std::string asn1Text(const ASN1_STRING* s, std::size_t maxUnits) {
    if (s == nullptr) {
        return {};
    }
    const int type = ASN1_STRING_type(s);
    const auto* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(s));
    const auto length = static_cast<std::size_t>(std::max(ASN1_STRING_length(s), 0));
    // The common types hold UTF-8 or ASCII already; skip OpenSSL's allocating copy.
    if (type == V_ASN1_UTF8STRING || ((type == V_ASN1_PRINTABLESTRING || type == V_ASN1_IA5STRING ||
                                       type == V_ASN1_VISIBLESTRING || type == V_ASN1_T61STRING) &&
                                      asciiOnly(*s))) {
        return cleanUtf8(std::string_view(data, length), maxUnits);
    }
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, s);
    if (n < 0) {
        // Not convertible (a malformed BMPString, say): its bytes, cleaned up.
        ERR_clear_error();
        return cleanUtf8(std::string_view(data, length), maxUnits);
    }
    std::string text = cleanUtf8(
        std::string_view(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n)), maxUnits);
    OPENSSL_free(utf8);
    return text;
}

const ASN1_STRING* firstAttribute(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) {
        return nullptr;
    }
    return X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
}

}  // namespace

std::string x509DisplayName(const X509& cert, std::size_t maxUnits) {
    return nameDisplayName(X509_get_subject_name(&cert), X509_get0_extensions(&cert), maxUnits);
}

std::string nameDisplayName(const X509_NAME* subject, const STACK_OF(X509_EXTENSION) * extensions,
                            std::size_t maxUnits) {
    if (subject == nullptr) {
        return {};
    }
    for (const int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                          NID_pkcs9_emailAddress}) {
        if (const ASN1_STRING* value = firstAttribute(subject, nid)) {
            return asn1Text(value, maxUnits);
        }
    }
    // The lookup a parsed certificate's own would do: a repeated extension counts as none.
    GeneralNamesPtr altNames(static_cast<GENERAL_NAMES*>(
        X509V3_get_d2i(extensions, NID_subject_alt_name, nullptr, nullptr)));
    ERR_clear_error();  // a missing or broken extension just means "no such name"
    if (altNames) {
        for (int i = 0; i < sk_GENERAL_NAME_num(altNames.get()); ++i) {
            const GENERAL_NAME* altName = sk_GENERAL_NAME_value(altNames.get(), i);
            if (altName->type == GEN_EMAIL) {
                return asn1Text(altName->d.rfc822Name, maxUnits);
            }
        }
    }
    if (X509_NAME_entry_count(subject) > 0) {
        return asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, 0)), maxUnits);
    }
    return {};
}

bool x509SerialOctets(const X509& cert, std::vector<std::uint8_t>& octets) {
    return integerOctets(X509_get0_serialNumber(&cert), octets);
}

bool integerOctets(const ASN1_INTEGER* serial, std::vector<std::uint8_t>& octets) {
    octets.clear();
    if (serial == nullptr) {
        return false;
    }
    // OpenSSL accepts only minimal INTEGER encodings, so re-encoding gives back the
    // certificate's own octets; they follow the tag and length.
    std::array<unsigned char, 128> small{};
    std::vector<unsigned char> large;
    const int total = i2d_ASN1_INTEGER(serial, nullptr);
    if (total < 2) {
        ERR_clear_error();
        return false;
    }
    unsigned char* out = small.data();
    if (static_cast<std::size_t>(total) > small.size()) {
        large.resize(static_cast<std::size_t>(total));
        out = large.data();
    }
    unsigned char* const begin = out;
    if (i2d_ASN1_INTEGER(serial, &out) != total) {
        ERR_clear_error();
        return false;
    }
    std::size_t header = 2;
    if (begin[1] & 0x80) {
        header += begin[1] & 0x7F;
    }
    if (header > static_cast<std::size_t>(total)) {
        return false;
    }
    octets.assign(begin + header, begin + total);
    return true;
}

namespace {

// A use's short name, or its dotted number when OpenSSL has no name for it.
std::string useName(const ASN1_OBJECT* use) {
    const int nid = OBJ_obj2nid(use);
    if (const char* name = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr) {
        return name;
    }
    const int length = OBJ_obj2txt(nullptr, 0, use, 1);
    if (length <= 0) {
        ERR_clear_error();
        return "?";
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    OBJ_obj2txt(text.data(), length + 1, use, 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// "<verb> a, b", or nothing for an absent or empty list.
void appendUses(std::string& text, const char* verb, const STACK_OF(ASN1_OBJECT) * uses) {
    const int count = uses != nullptr ? sk_ASN1_OBJECT_num(uses) : 0;
    if (count <= 0) {
        return;
    }
    text += text.empty() ? "" : "; ";
    text += verb;
    for (int i = 0; i < count; ++i) {
        text += i == 0 ? " " : ", ";
        text += useName(sk_ASN1_OBJECT_value(uses, i));
    }
}

}  // namespace

std::string trustUsesText(X509& cert) {
    std::string text;
    appendUses(text, "trusted for", X509_get0_trust_objects(&cert));
    appendUses(text, "rejected for", X509_get0_reject_objects(&cert));
    return text;
}

std::string trustUsesText(const std::vector<std::uint8_t>& der,
                          const std::vector<std::uint8_t>& trust) {
    if (der.empty() || trust.empty()) {
        return {};
    }
    std::vector<std::uint8_t> whole(der);
    whole.insert(whole.end(), trust.begin(), trust.end());
    if (whole.size() > static_cast<std::size_t>(LONG_MAX)) {
        return {};
    }
    const unsigned char* p = whole.data();
    const X509Ptr cert(d2i_X509_AUX(nullptr, &p, static_cast<long>(whole.size())));
    if (!cert) {
        ERR_clear_error();
        return {};
    }
    return trustUsesText(*cert);
}

SubjectNameMd5::SubjectNameMd5()
    : md5_(EVP_MD_fetch(nullptr, "MD5", nullptr)), ctx_(EVP_MD_CTX_new()) {
    if (!md5_) {
        // A FIPS default property query hides MD5; the subject hash is no security use.
        ERR_clear_error();
        md5_.reset(EVP_MD_fetch(nullptr, "MD5", "-fips"));
    }
    ERR_clear_error();
}

bool SubjectNameMd5::compute(const X509& cert, std::vector<std::uint8_t>& hash) {
    return compute(X509_get_subject_name(&cert), hash);
}

bool SubjectNameMd5::compute(const X509_NAME* subject, std::vector<std::uint8_t>& hash) {
    const unsigned char* der = nullptr;
    std::size_t derLength = 0;
    if (subject == nullptr || X509_NAME_get0_der(subject, &der, &derLength) != 1) {
        ERR_clear_error();
        return false;
    }
    return compute(der, derLength, hash);
}

bool SubjectNameMd5::compute(const unsigned char* der, std::size_t derLength,
                             std::vector<std::uint8_t>& hash) {
    if (!md5_ || !ctx_ || der == nullptr) {
        return false;
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (EVP_DigestInit_ex(ctx_.get(), md5_.get(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx_.get(), der, derLength) != 1 ||
        EVP_DigestFinal_ex(ctx_.get(), digest.data(), &digestLength) != 1) {
        ERR_clear_error();
        return false;
    }
    hash.assign(digest.begin(), digest.begin() + digestLength);
    return true;
}

bool X509Certificate::simpleDisplayName(std::string& name) const {
    if (!cert_) {
        return false;
    }
    name = x509DisplayName(*cert_);
    return true;
}

bool X509Certificate::subjectNameMd5(std::vector<std::uint8_t>& hash) const {
    return cert_ && md5_.compute(*cert_, hash);
}

std::vector<std::uint8_t> X509Certificate::serialLittleEndian() const {
    std::vector<std::uint8_t> octets;
    if (cert_ && x509SerialOctets(*cert_, octets)) {
        std::reverse(octets.begin(), octets.end());
    }
    return octets;
}

std::vector<std::uint8_t> X509Certificate::der() const {
    const int length = cert_ ? i2d_X509(cert_.get(), nullptr) : 0;
    if (length <= 0) {
        ERR_clear_error();
        return {};
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
    unsigned char* at = out.data();
    if (i2d_X509(cert_.get(), &at) != length) {
        ERR_clear_error();
        return {};
    }
    return out;
}

std::string X509Certificate::trust() const {
    return trust_.empty() ? std::string() : trustUsesText(der(), trust_);
}

bool X509Certificate::sha256(Fingerprint& digest) const {
    unsigned int length = 0;
    if (!cert_ || X509_digest(cert_.get(), EVP_sha256(), digest.data(), &length) != 1 ||
        length != digest.size()) {
        ERR_clear_error();
        return false;
    }
    return true;
}

}  // namespace kestrune
