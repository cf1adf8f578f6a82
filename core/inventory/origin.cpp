#include "inventory/origin.h"

#include <iterator>

namespace kestrune {

namespace {

// " (path; detail)", or less where a part is empty.
std::string whereText(const CertificateOrigin& origin) {
    std::string inside = origin.path;
    if (!origin.detail.empty()) {
        inside += (inside.empty() ? "" : "; ") + origin.detail;
    }
    return inside.empty() ? std::string() : " (" + inside + ")";
}

}  // namespace

const char* originKindName(CertificateOrigin::Kind kind) {
    switch (kind) {
        case CertificateOrigin::Kind::Package:
            return "package";
        case CertificateOrigin::Kind::Modified:
            return "modified";
        case CertificateOrigin::Kind::Local:
            return "local";
        case CertificateOrigin::Kind::Direct:
            return "direct";
        case CertificateOrigin::Kind::Unknown:
            break;
    }
    return "unknown";
}

std::string originText(const CertificateOrigin& origin) {
    const std::string packageName =
        origin.package + (origin.version.empty() ? "" : " " + origin.version);
    switch (origin.kind) {
        case CertificateOrigin::Kind::Package:
            return "package " + packageName + whereText(origin);
        case CertificateOrigin::Kind::Modified:
            return "modified file of package " + packageName + whereText(origin);
        case CertificateOrigin::Kind::Local:
            return "local file" + whereText(origin);
        case CertificateOrigin::Kind::Direct:
            return "written into the bundle directly" + whereText(origin);
        case CertificateOrigin::Kind::Unknown:
            break;
    }
    return "unknown";
}

bool isLocalRoot(const CertificateOrigin& origin) {
    return origin.kind == CertificateOrigin::Kind::Modified ||
           origin.kind == CertificateOrigin::Kind::Local ||
           origin.kind == CertificateOrigin::Kind::Direct;
}

std::string packageChangeText(const PackageChange& change) {
    return change.package + (change.from.empty() ? "" : " " + change.from) + " \u2192 " + change.to;
}

std::optional<PackageChange> explainedBy(const CertificateOrigin& origin,
                                         const std::vector<PackageChange>& changes,
                                         std::optional<std::int64_t> since) {
    if (origin.kind != CertificateOrigin::Kind::Package || !since) {
        return std::nullopt;
    }
    // The latest change of the package after the baseline, to the version installed now.
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        if (it->package == origin.package && it->when >= *since) {
            if (it->to != origin.version) {
                return std::nullopt;
            }
            // Several upgrades since the baseline read as one, from the first one's version.
            PackageChange whole = *it;
            for (auto earlier = std::next(it); earlier != changes.rend(); ++earlier) {
                if (earlier->package == origin.package && earlier->when >= *since) {
                    whole.from = earlier->from;
                }
            }
            return whole;
        }
    }
    return std::nullopt;
}

}  // namespace kestrune
