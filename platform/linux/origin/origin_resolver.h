// Where the certificates of one scan come from, as dpkg tells it: the package that owns
// the file a certificate is read from and whether the file is still as shipped, a file no
// package owns, or a bundle entry none of the bundle's source files holds. Everything is
// read under the scan's root, at most once per scan, and only when first asked for.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "inventory/fingerprint.h"
#include "inventory/origin.h"
#include "platform/linux/origin/dpkg_database.h"
#include "platform/linux/stores/record_extractor.h"
#include "platform/linux/stores/root_files.h"

namespace kestrune {

class OriginResolver {
  public:
    OriginResolver(const RootDir& root, const FileCalls& calls);

    // A certificate read from a file (a real path under the root).
    CertificateOrigin ofFile(const std::string& realPath);
    // A certificate of the generated bundle at `bundle` (a real path), `text` its PEM
    // text there (empty when not PEM): the origin of the source file it was generated
    // from, or written into the bundle directly.
    CertificateOrigin ofBundleEntry(const Fingerprint& sha256, std::string_view text,
                                    const std::string& bundle);
    // A certificate gone from the bundle: still in a source file, it was taken out of the
    // bundle directly; else the package the bundle is generated from removed it.
    CertificateOrigin ofMissingFromBundle(const Fingerprint& sha256);

    const std::vector<PackageChange>& packageChanges() { return database().changes(); }

  private:
    DpkgDatabase& database();
    CertificateOrigin fileOrigin(const std::string& realPath);
    const CertificateOrigin* asShipped(std::string_view block);
    void indexShipped();
    // False once every source folder is read.
    bool indexNextFolder();
    // The source file that holds the certificate, or null: found by its PEM text where
    // a source holds the same, else by the SHA-256 the scan gives each source's
    // certificates (worked out only then: decoding every source costs more than the
    // rest of the lookup).
    const std::string* sourceOf(const Fingerprint& sha256, std::string_view text);
    // Reads a source file: its MD5 and its blocks' texts, or (`digest`) its
    // certificates' SHA-256s.
    void indexFile(const std::string& realPath, bool digest = false);
    std::optional<std::string> md5Of(const std::string& realPath);
    std::string localDetail(const std::string& realPath);
    std::string userName(uid_t uid);

    RootDir root_;
    const FileCalls& calls_;
    std::optional<DpkgDatabase> database_;
    std::size_t foldersIndexed_ = 0;
    std::set<std::string> indexedFiles_;
    bool digested_ = false;
    struct Shipped {
        std::string realPath;
        CertificateOrigin origin;
    };
    bool shippedIndexed_ = false;
    std::unordered_map<std::string, Shipped> shipped_;     // shipped MD5 -> the source file
    std::unordered_map<std::string, std::string> byText_;  // PEM text key -> source file
    std::map<Fingerprint, std::string> bySha256_;          // SHA-256 -> source file
    std::vector<std::string> sourceFiles_;                 // in the order they were read
    std::unordered_map<std::string, std::string> md5s_;    // "" where the file was not read
    std::unordered_map<std::string, CertificateOrigin> byFile_;
    std::optional<std::unordered_map<uid_t, std::string>> users_;
    // Digest contexts kept for the whole scan: fetching a digest costs more than using it.
    RecordExtractor extractor_;
    SubjectNameMd5 md5_;
};

}  // namespace kestrune
