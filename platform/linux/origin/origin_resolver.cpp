#include "platform/linux/origin/origin_resolver.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <set>
#include <string_view>

#include "inventory/text.h"
#include "platform/linux/stores/cert_file_reader.h"
#include "platform/linux/stores/record_extractor.h"

namespace kestrune {

namespace {

// What the bundle is generated from; the first holds what the distribution's package
// ships, so the bundle's package is found there first.
constexpr const char* kBundleSources[] = {
    "/usr/share/ca-certificates",
    "/usr/local/share/ca-certificates",
    "/usr/share/ca-certificates/trust-source",
    "/etc/ca-certificates/trust-source",
    "/usr/share/pki/ca-trust-source",
    "/etc/pki/ca-trust/source",
};

constexpr std::size_t kMaxPasswdBytes = std::size_t{16} << 20;

// The blocklist folders inside the source trees keep certificates out of the bundle.
bool inBlocklist(std::string_view machinePath) {
    return machinePath.find("/blocklist/") != std::string_view::npos ||
           machinePath.find("/blacklist/") != std::string_view::npos;
}

std::string md5Hex(std::string_view bytes, SubjectNameMd5& md5) {
    std::vector<std::uint8_t> hash;
    if (!md5.compute(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), hash)) {
        return {};
    }
    return hexBytes(hash.data(), hash.size());
}

// The SHA-256 the scan gives the certificate in `block`, as the store walk works it out.
std::optional<Fingerprint> blockSha256(const CertificateFileReader::Block& block,
                                       RecordExtractor& extractor, SubjectNameMd5& md5) {
    ExtractedFields fields;
    std::string problem;
    if (!extractor.extract(block.der, block.size, block.trusted, fields) &&
        !parsedFields(block.der, block.size, block.trusted, md5, fields, problem)) {
        return std::nullopt;
    }
    return isKnown(fields.sha256) ? std::optional<Fingerprint>(fields.sha256) : std::nullopt;
}

}  // namespace

OriginResolver::OriginResolver(const RootDir& root, const FileCalls& calls)
    : root_(root), calls_(calls) {}

DpkgDatabase& OriginResolver::database() {
    if (!database_) {
        database_.emplace(root_, calls_);
    }
    return *database_;
}

CertificateOrigin OriginResolver::ofFile(const std::string& realPath) {
    if (const auto it = byFile_.find(realPath); it != byFile_.end()) {
        return it->second;
    }
    CertificateOrigin origin = fileOrigin(realPath);
    byFile_.emplace(realPath, origin);
    return origin;
}

CertificateOrigin OriginResolver::fileOrigin(const std::string& realPath) {
    DpkgDatabase& dpkg = database();
    if (!dpkg.present() || realPath.empty()) {
        return {};
    }
    CertificateOrigin origin;
    origin.path = root_.machinePath(realPath);
    if (const DpkgDatabase::Owner* owner = dpkg.owner(origin.path)) {
        origin.package = owner->package;
        origin.version = owner->version;
        const std::optional<std::string> shipped = dpkg.shippedMd5(*owner, origin.path);
        const std::optional<std::string> now = md5Of(realPath);
        origin.kind = shipped && now && *shipped == *now ? CertificateOrigin::Kind::Package
                                                         : CertificateOrigin::Kind::Modified;
        return origin;
    }
    origin.kind = CertificateOrigin::Kind::Local;
    origin.detail = localDetail(realPath);
    return origin;
}

CertificateOrigin OriginResolver::ofBundleEntry(const Fingerprint& sha256, std::string_view text,
                                                const std::string& bundle) {
    if (!database().present()) {
        return {};
    }
    if (const CertificateOrigin* shipped = asShipped(text)) {
        return *shipped;
    }
    if (const std::string* source = sourceOf(sha256, text)) {
        return ofFile(*source);
    }
    CertificateOrigin origin;
    origin.kind = CertificateOrigin::Kind::Direct;
    origin.path = root_.machinePath(bundle);
    return origin;
}

CertificateOrigin OriginResolver::ofMissingFromBundle(const Fingerprint& sha256) {
    if (!database().present()) {
        return {};
    }
    CertificateOrigin origin;
    if (const std::string* source = sourceOf(sha256, {})) {
        origin.kind = CertificateOrigin::Kind::Direct;
        origin.path = root_.machinePath(*source);
        return origin;
    }
    // Gone from every source too: the package the bundle is generated from dropped it.
    for (const std::string& source : sourceFiles_) {
        const CertificateOrigin from = ofFile(source);
        if (from.kind == CertificateOrigin::Kind::Package ||
            from.kind == CertificateOrigin::Kind::Modified) {
            origin.kind = CertificateOrigin::Kind::Package;
            origin.package = from.package;
            origin.version = from.version;
            return origin;
        }
    }
    return origin;
}

// The bundle is the source files written one after another, so an entry whose bytes are
// those a package shipped one of them with comes from that file: known from the
// package's checksums without reading the sources. The file must still be that size; one
// changed since is looked at as any other source is.
const CertificateOrigin* OriginResolver::asShipped(std::string_view block) {
    if (!shippedIndexed_) {
        shippedIndexed_ = true;
        indexShipped();
    }
    if (block.empty() || shipped_.empty()) {
        return nullptr;
    }
    const auto it = shipped_.find(md5Hex(block, md5_));
    if (it == shipped_.end()) {
        return nullptr;
    }
    struct stat st {};
    if (::lstat(it->second.realPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) != block.size()) {
        return nullptr;
    }
    return &it->second.origin;
}

void OriginResolver::indexShipped() {
    // The distribution's bundle sources live in a folder named after their package.
    const std::string_view first = kBundleSources[0];
    const std::string package(first.substr(first.rfind('/') + 1));
    const std::optional<DpkgDatabase::Shipped> shipped = database().shippedFiles(package);
    const Result<std::string> realFirst = root_.real(first);
    if (!shipped || !realFirst) {
        return;
    }
    for (const auto& [path, md5] : *shipped->md5) {
        if (!path.starts_with(std::string(first) + "/") || inBlocklist(path)) {
            continue;
        }
        CertificateOrigin origin;
        origin.kind = CertificateOrigin::Kind::Package;
        origin.path = path;
        origin.package = package;
        origin.version = shipped->version;
        shipped_.emplace(md5, Shipped{*realFirst + path.substr(first.size()), std::move(origin)});
    }
}

// Reads the sources one folder at a time, the distribution's own last: its files are
// mostly found by their checksums already, and a local anchor is looked for among the
// few files beside them first.
bool OriginResolver::indexNextFolder() {
    constexpr std::size_t kFolders = std::size(kBundleSources);
    while (foldersIndexed_ < kFolders) {
        const char* folder = kBundleSources[(foldersIndexed_ + 1) % kFolders];
        ++foldersIndexed_;
        if (!root_.exists(folder)) {
            continue;
        }
        const Result<std::string> real = root_.real(folder);
        if (!real) {
            continue;
        }
        std::vector<std::string> files;
        // What cannot be listed holds no source the bundle could have been made of.
        listFilesBelow(
            root_, *real, files, [](const std::string&, const std::string&, bool) {}, calls_);
        for (const std::string& file : files) {
            // The trust-source folders lie inside the first.
            if (indexedFiles_.insert(file).second && !inBlocklist(root_.machinePath(file))) {
                indexFile(file);
            }
        }
        return true;
    }
    return false;
}

const std::string* OriginResolver::sourceOf(const Fingerprint& sha256, std::string_view text) {
    const std::string key = text.empty() ? std::string() : pemTextKey(text);
    for (;;) {
        if (!key.empty()) {
            if (const auto it = byText_.find(key); it != byText_.end()) {
                return &it->second;
            }
        }
        if (!indexNextFolder()) {
            break;
        }
    }
    if (!digested_) {
        // Not found by its text: a source the scan reads otherwise (DER, or the same
        // certificate written differently) is looked for as the scan sees it before the
        // certificate is said to be in no source.
        digested_ = true;
        for (std::size_t i = 0, n = sourceFiles_.size(); i < n; ++i) {
            indexFile(sourceFiles_[i], true);
        }
    }
    const auto it = bySha256_.find(sha256);
    return it == bySha256_.end() ? nullptr : &it->second;
}

void OriginResolver::indexFile(const std::string& realPath, bool digest) {
    const Result<std::string> bytes =
        readRegularFile(realPath, kMaxCertificateFileBytes, nullptr, calls_);
    if (!bytes) {
        return;
    }
    if (!digest) {
        sourceFiles_.push_back(realPath);
        // Read now, so never read again for its MD5.
        md5s_.emplace(realPath, md5Hex(*bytes, md5_));
    }
    CertificateFileReader reader(*bytes);
    if (!digest) {
        reader.frameOnly();
    }
    CertificateFileReader::Block block;
    std::string problem;
    for (;;) {
        const CertificateFileReader::Step step = reader.nextBlock(block, problem);
        if (step == CertificateFileReader::Step::End) {
            return;
        }
        if (step != CertificateFileReader::Step::Certificate) {
            continue;
        }
        if (!digest) {
            if (!block.text.empty()) {
                byText_.emplace(pemTextKey(block.text), realPath);
            }
        } else if (const std::optional<Fingerprint> sha256 = blockSha256(block, extractor_, md5_)) {
            bySha256_.emplace(*sha256, realPath);
        }
    }
}

std::optional<std::string> OriginResolver::md5Of(const std::string& realPath) {
    auto it = md5s_.find(realPath);
    if (it == md5s_.end()) {
        const Result<std::string> bytes =
            readRegularFile(realPath, kMaxCertificateFileBytes, nullptr, calls_);
        it = md5s_.emplace(realPath, bytes ? md5Hex(*bytes, md5_) : std::string()).first;
    }
    return it->second.empty() ? std::nullopt : std::optional<std::string>(it->second);
}

std::string OriginResolver::localDetail(const std::string& realPath) {
    struct stat st {};
    if (::stat(realPath.c_str(), &st) != 0) {
        return {};
    }
    std::tm utc{};
    const std::time_t mtime = st.st_mtime;
    char when[32] = "";
    if (gmtime_r(&mtime, &utc) == nullptr ||
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &utc) == 0) {
        when[0] = '\0';
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "owner " + userName(st.st_uid) + ", mode " + mode + ", modified " + when + " UTC";
}

// The name the root's own password file gives the user, else the number: a root that
// holds another system's tree names its users its own way.
std::string OriginResolver::userName(uid_t uid) {
    if (!users_) {
        users_.emplace();
        const Result<std::string> path = root_.real("/etc/passwd");
        const Result<std::string> text =
            path ? readRegularFile(*path, kMaxPasswdBytes, nullptr, calls_)
                 : Result<std::string>(fail(path.error()));
        std::string_view rest = text ? std::string_view(*text) : std::string_view();
        while (!rest.empty()) {
            const std::string_view line = rest.substr(0, rest.find('\n'));
            rest.remove_prefix(std::min(line.size() + 1, rest.size()));
            // name:password:uid:...
            const std::size_t first = line.find(':');
            const std::size_t second = line.find(':', first + 1);
            const std::size_t third = line.find(':', second + 1);
            if (first == 0 || third == std::string_view::npos) {
                continue;
            }
            const std::string_view number = line.substr(second + 1, third - second - 1);
            uid_t value = 0;
            bool digits = !number.empty() && number.size() < 10;
            for (const char c : number) {
                digits = digits && c >= '0' && c <= '9';
                value = value * 10 + static_cast<uid_t>(c - '0');
            }
            if (digits) {
                users_->emplace(value, std::string(line.substr(0, first)));
            }
        }
    }
    const auto it = users_->find(uid);
    return it != users_->end() ? it->second : std::to_string(uid);
}

}  // namespace kestrune
