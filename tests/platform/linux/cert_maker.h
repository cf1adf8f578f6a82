// Certificates made at test time with OpenSSL, and temp roots laid out like a Linux
// machine, for the trust-store tests.
#pragma once

#include <openssl/asn1.h>

#include <cstdint>
#include <string>
#include <vector>

#include "inventory/state.h"
#include "inventory/trace.h"
#include "platform/linux/stores/x509_fields.h"

namespace kestrune::testing {

struct NameEntry {
    std::string field;  // "CN", "OU", "O", "emailAddress", "C", "L", ...
    std::string value;  // UTF-8
    // MBSTRING_UTF8 lets OpenSSL pick the type; V_ASN1_BMPSTRING stores UTF-16BE; other
    // V_ASN1_* types store the bytes as they are.
    int type = MBSTRING_UTF8;
};

struct CertFields {
    std::vector<NameEntry> subject;
    std::vector<NameEntry> issuer;  // empty: the subject (self-signed)
    // The serial's magnitude, most significant byte first.
    std::vector<std::uint8_t> serial = {0x01};
    bool negativeSerial = false;
    std::vector<std::string> sanEmails;
    std::vector<std::string> sanDns;
    bool version1 = false;  // a v1 certificate: no extensions, SAN ignored
};

// A certificate signed with one P-256 key shared by the whole test run (NSS takes no
// Ed25519 certificates).
X509Ptr makeCertificate(const CertFields& fields);
CertFields simpleFields(const std::string& commonName, std::vector<std::uint8_t> serial);

std::string toPem(const X509& cert);
std::string toTrustedPem(X509& cert);  // "TRUSTED CERTIFICATE", with aux data
std::string toDer(const X509& cert);

// What a record must hold for a certificate, worked out from the certificate itself.
std::string expectedSubjectMd5Hex(const X509& cert);
// SHA-256 of the certificate's DER, lower-case hex.
std::string expectedSha256Hex(const X509& cert);
// The serial INTEGER's content octets taken from the certificate's DER, as hex bytes
// separated by spaces.
std::string expectedSerialText(const X509& cert);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes a file at a machine path below this directory, making its folders.
    std::string write(const std::string& machinePath, const std::string& content) const;
    std::string makeFolder(const std::string& machinePath) const;

  private:
    std::string path_;
};

// One record as plain text fields.
struct Row {
    std::string location;
    std::string store;
    std::string serial;  // "00 80 01"
    std::string md5;
    std::string name;
    bool operator==(const Row&) const = default;
};
std::vector<Row> rows(const KestruneState& state);

struct ScanResult {
    std::vector<Row> rows;
    int unique = 0;
    int total = 0;
};
// A scan of a temp root with the Linux store API; the trace is kept for the test.
ScanResult scanRoot(const std::string& root, CaptureTrace& trace);

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built kestrune-check. `arguments` and `environment` ("NAME=value ...") go
// through the shell; the temp paths used in tests need no quoting. KESTRUNE_ROOT is
// cleared and HOME is an empty folder unless `environment` says otherwise.
ProgramRun runCheck(const std::string& arguments, const std::string& environment = "");

// A new NSS database in `folder` (made with certutil) holding `certs`.
bool makeNssDatabase(const std::string& folder, const std::vector<const X509*>& certs);

}  // namespace kestrune::testing
