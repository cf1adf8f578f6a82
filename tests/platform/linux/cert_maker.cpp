#include "tests/platform/linux/cert_maker.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "app/ports.h"
#include "inventory/scanner.h"
#include "inventory/text.h"
#include "platform/platform.h"

namespace kestrune::testing {

namespace fs = std::filesystem;

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* p) const { BN_free(p); }
};
struct NameFree {
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
};
struct IntegerFree {
    void operator()(ASN1_INTEGER* p) const { ASN1_INTEGER_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

EVP_PKEY* sharedKey() {
    static const std::unique_ptr<EVP_PKEY, PkeyFree> key(
        EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) {
        throw std::runtime_error("no EC key");
    }
    return key.get();
}

std::string utf16be(const std::string& utf8) {
    std::string out;
    for (const char16_t unit : utf8ToUtf16(utf8)) {
        out.push_back(static_cast<char>(unit >> 8));
        out.push_back(static_cast<char>(unit & 0xFF));
    }
    return out;
}

std::unique_ptr<X509_NAME, NameFree> makeName(const std::vector<NameEntry>& entries) {
    std::unique_ptr<X509_NAME, NameFree> name(X509_NAME_new());
    for (const NameEntry& e : entries) {
        const std::string bytes = e.type == V_ASN1_BMPSTRING ? utf16be(e.value) : e.value;
        if (X509_NAME_add_entry_by_txt(name.get(), e.field.c_str(), e.type,
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()), -1, 0) != 1) {
            throw std::runtime_error("bad name entry " + e.field);
        }
    }
    return name;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(n));
}

std::string hex(const unsigned char* bytes, std::size_t n, const char* separator) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            s += separator;
        }
        s += formatText("%02x", bytes[i]);
    }
    return s;
}

// Reads one DER TLV header at `p`; returns the content's offset and sets `length`.
std::size_t tlv(const std::string& der, std::size_t p, std::size_t& length) {
    std::size_t q = p + 1;
    const auto first = static_cast<unsigned char>(der.at(q++));
    if (first < 0x80) {
        length = first;
    } else {
        length = 0;
        for (int i = 0; i < (first & 0x7F); ++i) {
            length = (length << 8) | static_cast<unsigned char>(der.at(q++));
        }
    }
    return q;
}

}  // namespace

X509Ptr makeCertificate(const CertFields& fields) {
    X509Ptr cert(X509_new());
    X509_set_version(cert.get(), fields.version1 ? X509_VERSION_1 : X509_VERSION_3);
    std::unique_ptr<BIGNUM, BnFree> bn(
        BN_bin2bn(fields.serial.data(), static_cast<int>(fields.serial.size()), nullptr));
    BN_set_negative(bn.get(), fields.negativeSerial ? 1 : 0);
    std::unique_ptr<ASN1_INTEGER, IntegerFree> serial(BN_to_ASN1_INTEGER(bn.get(), nullptr));
    X509_set_serialNumber(cert.get(), serial.get());
    const auto subject = makeName(fields.subject);
    const auto issuer = makeName(fields.issuer.empty() ? fields.subject : fields.issuer);
    X509_set_subject_name(cert.get(), subject.get());
    X509_set_issuer_name(cert.get(), issuer.get());
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_set_pubkey(cert.get(), sharedKey());

    std::string san;
    for (const auto& e : fields.sanDns) {
        san += (san.empty() ? "" : ",") + std::string("DNS:") + e;
    }
    for (const auto& e : fields.sanEmails) {
        san += (san.empty() ? "" : ",") + std::string("email:") + e;
    }
    if (!san.empty() && !fields.version1) {
        X509_EXTENSION* ext =
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, san.c_str());
        if (ext == nullptr) {
            throw std::runtime_error("bad SAN " + san);
        }
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert.get(), sharedKey(), EVP_sha256()) <= 0) {
        throw std::runtime_error("cannot sign");
    }
    return cert;
}

CertFields simpleFields(const std::string& commonName, std::vector<std::uint8_t> serial) {
    CertFields fields;
    // Stored as a UTF8String as given: OpenSSL's own choice refuses names over 64.
    fields.subject = {{"CN", commonName, V_ASN1_UTF8STRING}, {"O", "Kestrune Tests"}};
    fields.serial = std::move(serial);
    return fields;
}

std::string toPem(const X509& cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), &cert);
    return bioText(bio.get());
}

std::string toTrustedPem(X509& cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    X509_add1_trust_object(&cert, OBJ_nid2obj(NID_server_auth));
    PEM_write_bio_X509_AUX(bio.get(), &cert);
    return bioText(bio.get());
}

std::string toDer(const X509& cert) {
    unsigned char* der = nullptr;
    const int n = i2d_X509(&cert, &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    return out;
}

std::string expectedSubjectMd5Hex(const X509& cert) {
    unsigned char* der = nullptr;
    const int n = i2d_X509_NAME(X509_get_subject_name(&cert), &der);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(der, static_cast<std::size_t>(n), digest, &length, EVP_md5(), nullptr);
    OPENSSL_free(der);
    return hex(digest, length, "");
}

std::string expectedSha256Hex(const X509& cert) {
    const std::string der = toDer(cert);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha256(), nullptr);
    return hex(digest, length, "");
}

std::string expectedSerialText(const X509& cert) {
    // Certificate SEQUENCE > TBSCertificate SEQUENCE > [0] version > INTEGER serial.
    const std::string der = toDer(cert);
    std::size_t length = 0;
    std::size_t p = tlv(der, 0, length);
    p = tlv(der, p, length);
    if (static_cast<unsigned char>(der.at(p)) == 0xA0) {
        p = tlv(der, p, length) + length;
    }
    if (der.at(p) != 0x02) {
        throw std::runtime_error("no serial INTEGER");
    }
    p = tlv(der, p, length);
    return hex(reinterpret_cast<const unsigned char*>(der.data()) + p, length, " ");
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kestrune-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& machinePath, const std::string& content) const {
    const fs::path file = fs::path(path_) / fs::path(machinePath).relative_path();
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
}

std::string TempDir::makeFolder(const std::string& machinePath) const {
    const fs::path folder = fs::path(path_) / fs::path(machinePath).relative_path();
    fs::create_directories(folder);
    return folder.string();
}

std::vector<Row> rows(const KestruneState& state) {
    std::vector<Row> out;
    for (const CertificateRecord& r : state.mqsCertificates.valid()) {
        out.push_back(Row{recordTextUtf8(r.locationName), recordTextUtf8(r.storeName),
                          serialTextCompact(r), subjectHashHex(r), recordTextUtf8(r.name)});
    }
    return out;
}

ScanResult scanRoot(const std::string& root, CaptureTrace& trace) {
    PlatformOptions options;
    options.root = root;
    const auto api = makePorts(options, trace).stores;
    KestruneState state;
    scan(state, *api, trace);
    return ScanResult{rows(state), state.uniqueCertificateCount, state.iCertificateCountTotal};
}

ProgramRun runCheck(const std::string& arguments, const std::string& environment) {
    TempDir scratch;
    const std::string errFile = scratch.path() + "/stderr";
    const std::string home = scratch.path() + "/home";
    fs::create_directories(home);
    const std::string command = "env -u KESTRUNE_ROOT HOME='" + home + "' " + environment + " '" +
                                KESTRUNE_CHECK_EXE + "' " + arguments + " 2>'" + errFile + "'";
    ProgramRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ostringstream err;
    err << std::ifstream(errFile).rdbuf();
    run.err = err.str();
    return run;
}

bool makeNssDatabase(const std::string& folder, const std::vector<const X509*>& certs) {
    auto run = [](const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    };
    fs::create_directories(folder);
    if (!run("certutil -N -d 'sql:" + folder + "' --empty-password")) {
        return false;
    }
    int n = 0;
    for (const X509* cert : certs) {
        const std::string pem = folder + "/import.pem";
        std::ofstream(pem) << toPem(*cert);
        const bool added = run("certutil -A -d 'sql:" + folder + "' -n cert" + std::to_string(++n) +
                               " -t C,, -i '" + pem + "'");
        fs::remove(pem);
        if (!added) {
            return false;
        }
    }
    return true;
}

}  // namespace kestrune::testing
