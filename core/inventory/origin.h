// Where a certificate comes from: the package that shipped the file it is read from (and
// whether the file is still as shipped), a file no package owns, or a bundle entry no
// source file holds. A person tells a routine upgrade from someone writing into a trust
// store by this. Platforms that keep no package database leave it unknown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

struct CertificateOrigin {
    enum class Kind {
        Unknown,   // no package database to ask, or nothing to ask it about
        Package,   // a file an installed package owns, unmodified since it was installed
        Modified,  // a file an installed package owns, changed since
        Local,     // a file no package owns
        Direct,    // in a generated bundle, but in none of the files it is generated from
    };
    Kind kind = Kind::Unknown;
    // The file the certificate comes from; for a generated bundle, the source file it was
    // generated from (Direct: the bundle itself).
    std::string path;
    std::string package;  // Package, Modified: the owning package
    std::string version;  // its installed version
    // Local: "owner <user>, mode <octal>, modified <UTC time>".
    std::string detail;
    bool operator==(const CertificateOrigin&) const = default;
};

// One package's version change as the package manager's log tells it.
struct PackageChange {
    std::string package;
    std::string from;  // empty: newly installed (or the earlier version is not known)
    std::string to;
    std::int64_t when = 0;  // seconds since the epoch
    bool operator==(const PackageChange&) const = default;
};

// "unknown", "package ca-certificates 20240203", "modified file of package …", "local
// file", "written into the bundle directly"; with the path and detail after it.
std::string originText(const CertificateOrigin& origin);
// The one-word kind, for machine output: unknown, package, modified, local, direct.
const char* originKindName(CertificateOrigin::Kind kind);
// No package ships it as it is: a root someone put there (unknown is not counted).
bool isLocalRoot(const CertificateOrigin& origin);

// "ca-certificates 20230311 → 20240203" (or "ca-certificates → 20240203" for a new install).
std::string packageChangeText(const PackageChange& change);

// The change that explains a certificate of this origin: its package's, to the version
// the file comes from, after `since` (when the baseline was saved). None when the origin
// is not an unmodified package file, the package did not change, or `since` is unknown.
std::optional<PackageChange> explainedBy(const CertificateOrigin& origin,
                                         const std::vector<PackageChange>& changes,
                                         std::optional<std::int64_t> since);

}  // namespace kestrune
