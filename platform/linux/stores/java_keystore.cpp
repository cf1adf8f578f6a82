// Java keystores. A JKS or JCEKS file is big-endian: magic, version, entry count, the
// entries (a private key with its certificate chain, or a trusted certificate), then a
// SHA-1 over the password, a fixed phrase and everything before it. A PKCS#12 file is
// read with OpenSSL: its MAC checked, its certificate bags unpacked.
#include "platform/linux/stores/java_keystore.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <array>
#include <utility>

#include "inventory/c_handle.h"
#include "inventory/text.h"
#include "platform/linux/stores/record_extractor.h"
#include "platform/linux/stores/x509_fields.h"

namespace kestrune {

namespace {

constexpr std::uint32_t kJksMagic = 0xFEEDFEED;
constexpr std::uint32_t kJceksMagic = 0xCECECECE;
constexpr std::size_t kJksDigestBytes = 20;
// The least an entry takes: tag, an empty alias, date and one length.
constexpr std::size_t kMinJksEntryBytes = 4 + 2 + 8 + 4;

std::uint32_t bigEndian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (const char byte : bytes) {
        value = (value << 8) | static_cast<unsigned char>(byte);
    }
    return value;
}

// Reads a buffer front to back; every read says what it wanted when the bytes run out.
class Cursor {
  public:
    explicit Cursor(std::string_view bytes) : bytes_(bytes) {}
    std::size_t offset() const { return at_; }
    std::size_t left() const { return bytes_.size() - at_; }

    Result<std::string_view> take(std::size_t size, const char* what) {
        if (size > left()) {
            return fail(
                formatText("cut short: the %s at byte %zu needs %zu bytes, only %zu are left", what,
                           at_, size, left()));
        }
        const std::string_view out = bytes_.substr(at_, size);
        at_ += size;
        return out;
    }
    Result<std::uint32_t> u32(const char* what) { return number(4, what); }
    Result<std::uint32_t> u16(const char* what) { return number(2, what); }

  private:
    Result<std::uint32_t> number(std::size_t size, const char* what) {
        Result<std::string_view> bytes = take(size, what);
        if (!bytes) {
            return bytes.failure();
        }
        return bigEndian(*bytes);
    }

    std::string_view bytes_;
    std::size_t at_ = 0;
};

// Java's modified UTF-8 (a length-prefixed string of UTF-16 units, each one to three
// bytes) as UTF-8.
Result<std::string> readJavaString(Cursor& in, const char* what) {
    Result<std::uint32_t> length = in.u16(what);
    if (!length) {
        return length.failure();
    }
    Result<std::string_view> bytes = in.take(*length, what);
    if (!bytes) {
        return bytes.failure();
    }
    std::u16string units;
    const std::string_view s = *bytes;
    auto continuation = [&](std::size_t i) {
        return i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
    };
    for (std::size_t i = 0; i < s.size();) {
        const unsigned b = static_cast<unsigned char>(s[i]);
        const unsigned c1 = continuation(i + 1) ? static_cast<unsigned char>(s[i + 1]) & 0x3F : 0;
        const unsigned c2 = continuation(i + 2) ? static_cast<unsigned char>(s[i + 2]) & 0x3F : 0;
        if (b < 0x80) {
            units.push_back(static_cast<char16_t>(b));
            i += 1;
        } else if ((b & 0xE0) == 0xC0 && continuation(i + 1)) {
            units.push_back(static_cast<char16_t>(((b & 0x1F) << 6) | c1));
            i += 2;
        } else if ((b & 0xF0) == 0xE0 && continuation(i + 1) && continuation(i + 2)) {
            units.push_back(static_cast<char16_t>(((b & 0x0F) << 12) | (c1 << 6) | c2));
            i += 3;
        } else {
            return fail(
                formatText("the %s holds a byte (%02X) that Java's string encoding does "
                           "not allow",
                           what, b));
        }
    }
    return utf16ToUtf8(units);
}

// A certificate's bytes must be one whole certificate, as the JVM loading the keystore
// insists.
Status checkCertificate(const std::vector<std::uint8_t>& der) {
    const unsigned char* at = der.data();
    const X509Ptr cert(d2i_X509(nullptr, &at, static_cast<long>(der.size())));
    if (!cert) {
        return fail("its certificate does not parse: " + takeOpensslError());
    }
    if (at != der.data() + der.size()) {
        return fail(formatText("its certificate is followed by %zu stray bytes",
                               static_cast<std::size_t>(der.data() + der.size() - at)));
    }
    return {};
}

Status readJksCertificate(Cursor& in, std::uint32_t version, const std::string& alias,
                          KeystoreEntryKind kind, std::vector<KeystoreEntry>& entries) {
    if (version == 2) {
        Result<std::string> type = readJavaString(in, "certificate type");
        if (!type) {
            return type.failure();
        }
        if (*type != "X.509") {
            return fail("a certificate of type '" +
                        escapeControls(cutToUtf16Units(*type, 40), true) + "', not X.509");
        }
    }
    Result<std::uint32_t> length = in.u32("certificate length");
    if (!length) {
        return length.failure();
    }
    Result<std::string_view> der = in.take(*length, "certificate");
    if (!der) {
        return der.failure();
    }
    KeystoreEntry entry{alias, std::vector<std::uint8_t>(der->begin(), der->end()), kind};
    if (Status parsed = checkCertificate(entry.der); !parsed) {
        return parsed;
    }
    entries.push_back(std::move(entry));
    return {};
}

// One entry: a private key (its protected bytes skipped) with its chain, or a trusted
// certificate. `alias` is set as soon as it is read, for the error message.
Status readJksEntry(Cursor& in, std::uint32_t version, std::string& alias,
                    std::vector<KeystoreEntry>& entries) {
    Result<std::uint32_t> tag = in.u32("entry tag");
    if (!tag) {
        return tag.failure();
    }
    if (*tag == 3) {
        return fail("a secret-key entry, which holds no certificate and cannot be passed over");
    }
    if (*tag != 1 && *tag != 2) {
        return fail(formatText("an entry of unknown kind %u", *tag));
    }
    Result<std::string> name = readJavaString(in, "alias");
    if (!name) {
        return name.failure();
    }
    alias = *name;
    if (Result<std::string_view> date = in.take(8, "creation date"); !date) {
        return date.failure();
    }
    if (*tag == 2) {
        return readJksCertificate(in, version, alias, KeystoreEntryKind::TrustedCertificate,
                                  entries);
    }
    Result<std::uint32_t> keyLength = in.u32("private key length");
    if (!keyLength) {
        return keyLength.failure();
    }
    if (Result<std::string_view> key = in.take(*keyLength, "private key"); !key) {
        return key.failure();
    }
    Result<std::uint32_t> chain = in.u32("certificate chain length");
    if (!chain) {
        return chain.failure();
    }
    const std::size_t perCertificate = version == 2 ? 2 + 4 : 4;
    if (*chain > in.left() / perCertificate) {
        return fail(
            formatText("cut short: a chain of %u certificates cannot fit in the %zu bytes "
                       "left",
                       *chain, in.left()));
    }
    for (std::uint32_t i = 0; i < *chain; ++i) {
        if (Status read =
                readJksCertificate(in, version, alias, KeystoreEntryKind::PrivateKeyChain, entries);
            !read) {
            return fail(formatText("certificate %u of its chain: ", i + 1) + read.error());
        }
    }
    return {};
}

// SHA-1 over the password as UTF-16BE, the phrase the JDK chose, and the keystore's body.
Result<std::array<unsigned char, kJksDigestBytes>> jksDigest(std::string_view password,
                                                             std::string_view body) {
    std::string prefix;
    for (const char16_t unit : utf8ToUtf16(password)) {
        prefix.push_back(static_cast<char>(unit >> 8));
        prefix.push_back(static_cast<char>(unit & 0xFF));
    }
    prefix += "Mighty Aphrodite";
    const EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    std::array<unsigned char, kJksDigestBytes> digest{};
    unsigned int length = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), prefix.data(), prefix.size()) != 1 ||
        EVP_DigestUpdate(ctx.get(), body.data(), body.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != digest.size()) {
        return fail("its digest cannot be computed: " + takeOpensslError());
    }
    return digest;
}

Status checkJksDigest(std::string_view body, std::string_view stored,
                      const std::optional<std::string>& password, Keystore& keystore) {
    Result<std::array<unsigned char, kJksDigestBytes>> digest =
        jksDigest(password.value_or(kDefaultKeystorePassword), body);
    if (!digest) {
        return digest.failure();
    }
    if (CRYPTO_memcmp(digest->data(), stored.data(), kJksDigestBytes) == 0) {
        keystore.integrityChecked = true;
    } else if (password) {
        return fail(
            "its digest does not match under the password given: the keystore was "
            "altered, or its password is another");
    } else {
        keystore.unchecked = std::string("the keystore's password is not ") +
                             kDefaultKeystorePassword + "; its integrity was not checked";
    }
    return {};
}

// Bytes after the digest are not read, as the JVM does not read them.
Result<Keystore> readJks(std::string_view bytes, KeystoreFormat format,
                         const std::optional<std::string>& password) {
    Cursor in(bytes);
    if (Result<std::string_view> magic = in.take(4, "magic number"); !magic) {
        return magic.failure();
    }
    Result<std::uint32_t> version = in.u32("version");
    if (!version) {
        return version.failure();
    }
    if (*version != 1 && *version != 2) {
        return fail(
            formatText("a keystore of version %u; only versions 1 and 2 are known", *version));
    }
    Result<std::uint32_t> count = in.u32("entry count");
    if (!count) {
        return count.failure();
    }
    if (*count > in.left() / kMinJksEntryBytes) {
        return fail(formatText("cut short: %u entries cannot fit in the %zu bytes left", *count,
                               in.left()));
    }
    Keystore keystore;
    keystore.format = format;
    for (std::uint32_t i = 0; i < *count; ++i) {
        std::string alias;
        if (Status read = readJksEntry(in, *version, alias, keystore.entries); !read) {
            const std::string which =
                alias.empty() ? ""
                              : " ('" + escapeControls(cutToUtf16Units(alias, 64), true) + "')";
            return fail(formatText("entry %u of %u", i + 1, *count) + which + ": " + read.error());
        }
    }
    const std::string_view body = bytes.substr(0, in.offset());
    Result<std::string_view> stored = in.take(kJksDigestBytes, "digest");
    if (!stored) {
        return stored.failure();
    }
    if (Status checked = checkJksDigest(body, *stored, password, keystore); !checked) {
        return checked.failure();
    }
    return keystore;
}

using Pkcs12Ptr = CHandle<PKCS12, PKCS12_free>;
using AsnObjectPtr = CHandle<ASN1_OBJECT, ASN1_OBJECT_free>;
void freeAuthsafes(STACK_OF(PKCS7) * safes) {
    sk_PKCS7_pop_free(safes, PKCS7_free);
}
void freeSafeBags(STACK_OF(PKCS12_SAFEBAG) * bags) {
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
}
using AuthsafesPtr = CHandle<STACK_OF(PKCS7), freeAuthsafes>;
using SafeBagsPtr = CHandle<STACK_OF(PKCS12_SAFEBAG), freeSafeBags>;

// The JDK's attribute on a trusted certificate's bag.
constexpr char kJdkTrustedKeyUsage[] = "2.16.840.1.113894.746875.1.1";
// Safe contents inside safe contents go no deeper than this.
constexpr int kMaxBagNesting = 4;

// Keystores written by older JDKs encrypt their certificates with 40-bit RC2, which
// OpenSSL 3 keeps in its legacy provider; a context of its own loads it without changing
// what the rest of the process gets.
OSSL_LIB_CTX* pbeContext() {
    static OSSL_LIB_CTX* const context = [] {
        OSSL_LIB_CTX* made = OSSL_LIB_CTX_new();
        if (made != nullptr) {
            OSSL_PROVIDER_load(made, "default");
            OSSL_PROVIDER_load(made, "legacy");  // may be missing: those keystores then fail
            ERR_clear_error();
        }
        return made;
    }();
    return context;
}

struct Pkcs12Bags {
    struct Cert {
        std::string alias;
        std::vector<std::uint8_t> der;
        bool keyId = false;    // the certificate of a private key
        bool trusted = false;  // a trusted certificate entry
    };
    std::vector<Cert> certs;
    bool keys = false;
    AsnObjectPtr trustedUsage{OBJ_txt2obj(kJdkTrustedKeyUsage, 1)};
};

Status readCertBag(const PKCS12_SAFEBAG* bag, Pkcs12Bags& found) {
    const X509Ptr cert(PKCS12_SAFEBAG_get1_cert(bag));
    if (!cert) {
        return fail("a certificate in it does not parse: " + takeOpensslError());
    }
    Pkcs12Bags::Cert entry;
    // The re-encoding of a parsed certificate is its original DER.
    const int length = i2d_X509(cert.get(), nullptr);
    if (length <= 0) {
        return fail("a certificate in it cannot be encoded: " + takeOpensslError());
    }
    entry.der.resize(static_cast<std::size_t>(length));
    unsigned char* at = entry.der.data();
    i2d_X509(cert.get(), &at);
    if (char* name = PKCS12_get_friendlyname(const_cast<PKCS12_SAFEBAG*>(bag))) {
        entry.alias = name;
        OPENSSL_free(name);
    }
    entry.keyId = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID) != nullptr;
    entry.trusted = found.trustedUsage && X509at_get_attr_by_OBJ(PKCS12_SAFEBAG_get0_attrs(bag),
                                                                 found.trustedUsage.get(), -1) >= 0;
    found.certs.push_back(std::move(entry));
    ERR_clear_error();
    return {};
}

Status readSafeBags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth, Pkcs12Bags& found) {
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
            case NID_certBag:
                if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate) {
                    if (Status read = readCertBag(bag, found); !read) {
                        return read;
                    }
                }
                break;
            case NID_keyBag:
            case NID_pkcs8ShroudedKeyBag:
                found.keys = true;
                break;
            case NID_safeContentsBag:
                if (depth >= kMaxBagNesting) {
                    return fail("its bags are nested too deep");
                }
                if (Status read = readSafeBags(PKCS12_SAFEBAG_get0_safes(bag), depth + 1, found);
                    !read) {
                    return read;
                }
                break;
            default:  // revocation lists, secrets: no certificate
                break;
        }
    }
    return {};
}

// One part of the keystore's contents: its bags, in the clear or decrypted.
Result<SafeBagsPtr> unpackPart(PKCS7* part, const std::string& password) {
    const int type = OBJ_obj2nid(part->type);
    SafeBagsPtr bags;
    if (type == NID_pkcs7_data && part->d.data != nullptr) {
        bags.reset(PKCS12_unpack_p7data(part));
    } else if (type == NID_pkcs7_encrypted && part->d.encrypted != nullptr &&
               part->d.encrypted->enc_data != nullptr &&
               part->d.encrypted->enc_data->enc_data != nullptr) {
        const PKCS7_ENC_CONTENT* content = part->d.encrypted->enc_data;
        bags.reset(static_cast<STACK_OF(PKCS12_SAFEBAG)*>(PKCS12_item_decrypt_d2i_ex(
            content->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), password.c_str(),
            static_cast<int>(password.size()), content->enc_data, 1, pbeContext(), nullptr)));
        if (!bags) {
            return fail(
                "its certificates cannot be decrypted (an algorithm this system "
                "lacks, or another password): " +
                takeOpensslError());
        }
    } else if (type == NID_pkcs7_enveloped) {
        return fail("a part encrypted to a recipient's key, which cannot be read");
    } else {
        return fail("a part of its contents is empty or of an unknown kind");
    }
    if (!bags) {
        return fail("a part of its contents does not parse: " + takeOpensslError());
    }
    return bags;
}

Status checkPkcs12Mac(PKCS12* p12, const std::optional<std::string>& password, Keystore& keystore) {
    if (!PKCS12_mac_present(p12)) {
        keystore.unchecked = "the keystore has no MAC; its integrity was not checked";
        return {};
    }
    const std::string tried = password.value_or(kDefaultKeystorePassword);
    ERR_clear_error();
    if (PKCS12_verify_mac(p12, tried.c_str(), static_cast<int>(tried.size())) != 1) {
        // A MAC that merely differs queues no error; one that cannot be computed does.
        const std::string why =
            ERR_peek_error() != 0 ? " (it cannot be computed: " + takeOpensslError() + ")" : "";
        if (password) {
            return fail(
                "its MAC does not verify under the password given: its password is "
                "another, or it was altered" +
                why);
        }
        return fail(std::string("its MAC does not verify under the password ") +
                    kDefaultKeystorePassword +
                    ": it cannot be read without its own password (or it was altered)" + why);
    }
    keystore.integrityChecked = true;
    return {};
}

Result<Keystore> readPkcs12(std::string_view bytes, const std::optional<std::string>& password) {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
    const Pkcs12Ptr p12(d2i_PKCS12(nullptr, &at, static_cast<long>(bytes.size())));
    if (!p12) {
        return fail("it does not parse as a PKCS#12 keystore (cut short, or not one): " +
                    takeOpensslError());
    }
    Keystore keystore;
    keystore.format = KeystoreFormat::Pkcs12;
    if (Status mac = checkPkcs12Mac(p12.get(), password, keystore); !mac) {
        return mac.failure();
    }
    const AuthsafesPtr parts(PKCS12_unpack_authsafes(p12.get()));
    if (!parts) {
        return fail("its contents do not parse: " + takeOpensslError());
    }
    const std::string tried = password.value_or(kDefaultKeystorePassword);
    Pkcs12Bags found;
    for (int i = 0; i < sk_PKCS7_num(parts.get()); ++i) {
        Result<SafeBagsPtr> bags = unpackPart(sk_PKCS7_value(parts.get(), i), tried);
        if (!bags) {
            return bags.failure();
        }
        if (Status read = readSafeBags(bags->get(), 0, found); !read) {
            return read.failure();
        }
    }
    // The JDK marks a trusted certificate, and a key's own certificate by the key's id;
    // the rest of a chain is unmarked, as is every certificate other tools write.
    for (Pkcs12Bags::Cert& cert : found.certs) {
        const bool chain = cert.keyId || (!cert.trusted && found.keys);
        keystore.entries.push_back(
            {std::move(cert.alias), std::move(cert.der),
             chain ? KeystoreEntryKind::PrivateKeyChain : KeystoreEntryKind::TrustedCertificate});
    }
    return keystore;
}

// A keystore's certificates one at a time, as a store's walk hands them out.
class KeystoreWalk final : public OpenCertStore {
  public:
    explicit KeystoreWalk(std::vector<KeystoreEntry> entries)
        : entries_(std::move(entries)), current_(md5_) {}

    const Certificate* next() override {
        if (next_ >= entries_.size() || !failure_.empty()) {
            current_.reset(nullptr);
            return nullptr;
        }
        const KeystoreEntry& entry = entries_[next_++];
        if (extractor_.extract(entry.der.data(), entry.der.size(), false, extracted_.fields())) {
            extracted_.setDer(entry.der.data(), entry.der.size());
            return &extracted_;
        }
        const unsigned char* at = entry.der.data();
        X509Ptr cert(d2i_X509(nullptr, &at, static_cast<long>(entry.der.size())));
        if (!cert) {  // parsed when the keystore was read: out of memory
            failure_ = "the certificate of '" + escapeControls(entry.alias, true) +
                       "' does not parse: " + takeOpensslError();
            return nullptr;
        }
        current_.reset(std::move(cert));
        return &current_;
    }
    std::string walkFailure() const override { return failure_; }

  private:
    std::vector<KeystoreEntry> entries_;
    std::size_t next_ = 0;
    SubjectNameMd5 md5_;
    X509Certificate current_;
    RecordExtractor extractor_;
    ExtractedCertificate extracted_;
    std::string failure_;
};

std::string hexPrefix(std::string_view bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < 4; ++i) {
        text += formatText(i == 0 ? "%02X" : " %02X", static_cast<unsigned char>(bytes[i]));
    }
    return text;
}

}  // namespace

Result<Keystore> readJavaKeystore(std::string_view bytes,
                                  const std::optional<std::string>& password) {
    if (bytes.empty()) {
        return fail("an empty file, not a keystore");
    }
    const std::uint32_t magic = bigEndian(bytes.substr(0, 4));
    if (bytes.size() >= 4 && magic == kJksMagic) {
        return readJks(bytes, KeystoreFormat::Jks, password);
    }
    if (bytes.size() >= 4 && magic == kJceksMagic) {
        return readJks(bytes, KeystoreFormat::Jceks, password);
    }
    if (static_cast<unsigned char>(bytes[0]) == 0x30) {
        return readPkcs12(bytes, password);
    }
    return fail("not a Java keystore: it starts with " + hexPrefix(bytes) +
                ", where a JKS keystore starts with FE ED FE ED, a JCEKS one with CE CE CE CE "
                "and a PKCS#12 one with 30");
}

KeystoreStore::KeystoreStore(std::string name, std::string machinePath, const RootDir& root,
                             Trace& trace, std::optional<std::string> password,
                             const FileCalls& calls)
    : name_(std::move(name)),
      machinePath_(std::move(machinePath)),
      root_(root),
      trace_(trace),
      password_(std::move(password)),
      calls_(calls) {}

std::vector<std::string> KeystoreStore::sources() const {
    if (root_.exists(machinePath_)) {
        if (Result<std::string> path = root_.real(machinePath_)) {
            return {std::move(*path)};
        }
    }
    return {};
}

Result<std::unique_ptr<OpenCertStore>, StoreError> KeystoreStore::open() const {
    if (!root_.exists(machinePath_)) {
        return StoreError{false, machinePath_ + ": no keystore there under " + root_.root()};
    }
    Result<std::string> path = root_.real(machinePath_);
    if (!path) {
        return StoreError{true, machinePath_ + ": " + path.error()};
    }
    ReadFailure failure = ReadFailure::None;
    Result<std::string> bytes = readRegularFile(*path, kMaxKeystoreBytes, &failure, calls_);
    if (!bytes) {
        // Something else than a file there is there, and unread.
        return StoreError{failure != ReadFailure::Gone, *path + ": " + bytes.error()};
    }
    Result<Keystore> keystore = readJavaKeystore(*bytes, password_);
    if (!keystore) {
        return StoreError{true, *path + ": " + keystore.error()};
    }
    if (!keystore->integrityChecked) {
        trace_.errf("Read %s: %s\n", path->c_str(), keystore->unchecked.c_str());
    }
    return std::unique_ptr<OpenCertStore>(
        std::make_unique<KeystoreWalk>(std::move(keystore->entries)));
}

}  // namespace kestrune
