// Application stores: found by walking path patterns under the root (each wildcard
// component matched with fnmatch against the folder's entries), so a root that holds
// another system's tree is searched there, links resolved inside it.
#include "platform/linux/stores/extra_stores.h"

#include <fnmatch.h>
#include <openssl/evp.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "inventory/certificate_record.h"
#include "inventory/text.h"
#include "platform/linux/stores/java_keystore.h"
#include "platform/linux/stores/stores_config.h"
#include "platform/linux/stores/trust_store.h"

namespace kestrune {

namespace {

const std::vector<std::string> kJavaKeystores = {
    "/etc/ssl/certs/java/cacerts",  // Debian's, shared by its JVMs
    "/usr/lib/jvm/*/lib/security/cacerts",
};
// Debian's own python3 uses "python3/dist-packages", which "python3*" matches.
const std::vector<std::string> kCertifiBundles = {
    "/usr/lib/python3*/site-packages/certifi/cacert.pem",
    "/usr/lib/python3*/dist-packages/certifi/cacert.pem",
    "/usr/local/lib/python3*/site-packages/certifi/cacert.pem",
    "/usr/local/lib/python3*/dist-packages/certifi/cacert.pem",
};
constexpr char kVenvCertifi[] = "/lib/python3*/site-packages/certifi/cacert.pem";
constexpr std::size_t kMaxConfigBytes = std::size_t{1} << 20;

// The user's stores are on this machine, whatever root the system's are read under.
const RootDir& ownRoot() {
    static const RootDir root("/");
    return root;
}

bool hasWildcard(std::string_view component) {
    return component.find_first_of("*?[") != std::string_view::npos;
}

std::vector<std::string> componentsOf(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) {
            parts.emplace_back(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
    return parts;
}

// The names in a folder (a machine path) that match `pattern`, a leading dot matched
// only by a dot, sorted. A folder that is not there, or not listable, has none.
std::vector<std::string> matching(const RootDir& root, const std::string& folder,
                                  const std::string& pattern, const FileCalls& calls) {
    std::vector<std::string> names;
    const Result<std::string> real = root.real(folder);
    DIR* dir = real ? calls.opendir(real->c_str()) : nullptr;
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = calls.readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." &&
            ::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0) {
            names.push_back(name);
        }
    }
    calls.closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// A keystore as an application store.
class ApplicationKeystore final : public StoreSource {
  public:
    explicit ApplicationKeystore(std::unique_ptr<KeystoreStore> keystore)
        : keystore_(std::move(keystore)) {}
    const std::string& name() const override { return keystore_->name(); }
    LinuxLocation location() const override { return LinuxLocation::Applications; }
    std::vector<std::string> sources() const override { return keystore_->sources(); }
    Result<std::unique_ptr<OpenCertStore>, StoreError> open() const override {
        return keystore_->open();
    }

  private:
    std::unique_ptr<KeystoreStore> keystore_;
};

// A PEM bundle, or a folder of certificate files, read as the system's are.
class ApplicationFiles final : public StoreSource {
  public:
    ApplicationFiles(std::string name, std::string machinePath, bool folder, const RootDir& root,
                     Trace& trace, const FileCalls& calls)
        : name_(std::move(name)),
          machinePath_(std::move(machinePath)),
          folder_(folder),
          root_(root),
          trace_(trace),
          calls_(calls) {}
    const std::string& name() const override { return name_; }
    LinuxLocation location() const override { return LinuxLocation::Applications; }
    std::vector<std::string> sources() const override {
        if (root_.exists(machinePath_)) {
            if (Result<std::string> path = root_.real(machinePath_)) {
                return {std::move(*path)};
            }
        }
        return {};
    }

    Result<std::unique_ptr<OpenCertStore>, StoreError> open() const override {
        if (!root_.exists(machinePath_)) {
            return StoreError{false, machinePath_ + ": nothing there under " + root_.root()};
        }
        Result<std::string> path = root_.real(machinePath_);
        if (!path) {
            return StoreError{true, machinePath_ + ": " + path.error()};
        }
        if (!folder_) {
            return openCertificateFiles({std::move(*path)}, true, trace_, calls_);
        }
        return openCertificateFolders({std::move(*path)}, root_, trace_, calls_);
    }

  private:
    std::string name_;
    std::string machinePath_;
    bool folder_;
    const RootDir& root_;
    Trace& trace_;
    const FileCalls& calls_;
};

// A configuration file with lines left out: listed so the check says why, never read.
class ConfigProblems final : public StoreSource {
  public:
    ConfigProblems(std::string file, std::string realFile, std::vector<std::string> problems)
        : name_(applicationStoreName("config", file)),
          realFile_(std::move(realFile)),
          problems_(std::move(problems)) {}
    const std::string& name() const override { return name_; }
    LinuxLocation location() const override { return LinuxLocation::Applications; }
    std::vector<std::string> sources() const override { return {realFile_}; }
    Result<std::unique_ptr<OpenCertStore>, StoreError> open() const override {
        std::string text;
        for (const std::string& problem : problems_) {
            text += (text.empty() ? "" : "; ") + problem;
        }
        return StoreError{true, text};
    }

  private:
    std::string name_;
    std::string realFile_;
    std::vector<std::string> problems_;
};

}  // namespace

namespace {

// The last code points of `text` that take at most maxUnits UTF-16 units, as
// cutToUtf16Units counts them.
std::string tailInUtf16Units(std::string_view text, std::size_t maxUnits) {
    std::vector<std::pair<std::size_t, std::size_t>> starts;  // byte offset, units before
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        starts.emplace_back(i, units);
        const long cp = nextUtf8CodePoint(text, i);
        units += cp >= 0x10000 ? 2 : 1;
    }
    for (const auto& [offset, before] : starts) {
        if (units - before <= maxUnits) {
            return std::string(text.substr(offset));
        }
    }
    return std::string();
}

}  // namespace

std::string applicationStoreName(const std::string& kind, const std::string& path) {
    // A record keeps 63 units of a store name; a longer one would be cut and two stores
    // whose paths differ only past the cut would share it.
    constexpr std::size_t kMaxUnits = kRecordTextUnits - 1;
    const std::string full = kind + ":" + path;
    if (cutToUtf16Units(full, kMaxUnits).size() == full.size()) {
        return full;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(path.data(), path.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        length = 0;  // never for SHA-256; the name is then only unique by its tail
    }
    const std::string head = kind + ":" + hexBytes(digest, std::min(length, 4u)) + "\u2026";
    const std::size_t headUnits = utf8ToUtf16(head).size();
    return head + tailInUtf16Units(path, kMaxUnits > headUnits ? kMaxUnits - headUnits : 0);
}

namespace {

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// One search for the application stores, for a listing or for the watch.
class StoreFinder {
  public:
    StoreFinder(const RootDir& root, Trace& trace, const FileCalls& calls,
                std::vector<WatchPoint>* watch)
        : root_(root), trace_(trace), calls_(calls), watch_(watch) {}

    StoreSources find(const std::string& home) {
        // A bundle that is the system's is listed already, as ca-certificates.
        for (const std::string& bundle : trustSourcePaths().bundles) {
            if (root_.exists(bundle)) {
                if (Result<std::string> real = root_.real(bundle)) {
                    seen_.emplace(*real, "ca-certificates");
                }
                break;
            }
        }
        for (const std::string& pattern : kJavaKeystores) {
            for (const std::string& path : expand(root_, pattern, false)) {
                addKeystore(root_, path, std::nullopt, false);
            }
        }
        for (const std::string& pattern : kCertifiBundles) {
            for (const std::string& path : expand(root_, pattern, false)) {
                addFiles(root_, "certifi", path, false, false);
            }
        }
        configured(root_, kSystemStoresConfigFolder, false);
        if (!home.empty()) {
            configured(ownRoot(), userStoresConfigFolder(home), true);
        }
        return std::move(stores_);
    }

  private:
    void watchAt(std::string folder, std::string name, bool user, bool recursive = false) {
        if (watch_ != nullptr) {
            watch_->push_back({std::move(folder), std::move(name), recursive, user});
        }
    }

    // The machine paths `pattern` names now, in sorted order; a last component without
    // wildcards is named whether it is there or not. Every folder a wildcard is matched
    // in, and every last entry, is watched: a change there may be a new store.
    std::vector<std::string> expand(const RootDir& root, const std::string& pattern, bool user) {
        const std::vector<std::string> parts = componentsOf(pattern);
        // A path without wildcards is named even when its folders are not there yet.
        const bool plain = !hasWildcard(pattern);
        bool waited = false;
        std::vector<std::string> found = {"/"};
        for (std::size_t i = 0; i < parts.size() && !found.empty(); ++i) {
            const bool last = i + 1 == parts.size();
            std::vector<std::string> next;
            for (const std::string& folder : found) {
                const std::string path = joined(folder, parts[i]);
                if (hasWildcard(parts[i])) {
                    watchAt(folder, "", user);
                    for (const std::string& name : matching(root, folder, parts[i], calls_)) {
                        next.push_back(joined(folder, name));
                    }
                } else if (last) {
                    watchAt(folder, parts[i], user);
                    next.push_back(path);
                } else if (root.exists(path)) {
                    next.push_back(path);
                } else {
                    if (!waited) {
                        watchAt(path, "", user);  // its first step there is waited for
                    }
                    waited = plain;
                    if (plain) {
                        next.push_back(path);
                    }
                }
            }
            found = std::move(next);
        }
        return found;
    }

    // Whether a store is new: not named yet, and not a file already listed under another
    // name (a link to it, or the system bundle). Said on the trace when not.
    bool admit(const RootDir& root, const std::string& path, const std::string& name) {
        if (names_.count(name) != 0) {
            trace_.errf("Not listed again: %s\n", name.c_str());
            return false;
        }
        if (root.exists(path)) {
            if (Result<std::string> real = root.real(path)) {
                const auto [at, fresh] = seen_.emplace(*real, name);
                if (!fresh) {
                    trace_.errf("Not listed: %s is %s, listed as %s\n", path.c_str(),
                                root.machinePath(*real).c_str(), at->second.c_str());
                    return false;
                }
            }
        }
        names_.insert(name);
        return true;
    }

    void addKeystore(const RootDir& root, const std::string& path,
                     const std::optional<std::string>& password, bool listAbsent) {
        const std::string name = applicationStoreName("java", path);
        if ((listAbsent || root.exists(path)) && admit(root, path, name)) {
            stores_.push_back(std::make_unique<ApplicationKeystore>(
                std::make_unique<KeystoreStore>(name, path, root, trace_, password, calls_)));
        }
    }

    void addFiles(const RootDir& root, const std::string& kind, const std::string& path,
                  bool folder, bool listAbsent) {
        const std::string name = applicationStoreName(kind, path);
        if ((listAbsent || root.exists(path)) && admit(root, path, name)) {
            stores_.push_back(
                std::make_unique<ApplicationFiles>(name, path, folder, root, trace_, calls_));
        }
    }

    // The certifi bundles of the virtual environments in the folders `pattern` names:
    // each folder itself, and each folder in it, that holds a pyvenv.cfg.
    void venvs(const RootDir& root, const std::string& pattern, bool user) {
        for (const std::string& top : expand(root, pattern, user)) {
            std::vector<std::string> found;
            if (root.exists(joined(top, "pyvenv.cfg"))) {
                found.push_back(top);
            }
            for (const std::string& config : expand(root, joined(top, "*/pyvenv.cfg"), user)) {
                if (root.exists(config)) {
                    found.push_back(parentOf(config));
                }
            }
            for (const std::string& venv : found) {
                for (const std::string& bundle : expand(root, venv + kVenvCertifi, user)) {
                    addFiles(root, "certifi", bundle, false, false);
                }
            }
        }
    }

    void apply(const RootDir& root, const ConfiguredStore& store, bool user) {
        // A path without wildcards is a store even while nothing is there: its
        // certificates are then missing, not forgotten.
        const bool listAbsent = !hasWildcard(store.path);
        if (store.kind == ConfiguredKind::Venvs) {
            venvs(root, store.path, user);
            return;
        }
        for (const std::string& path : expand(root, store.path, user)) {
            switch (store.kind) {
                case ConfiguredKind::Keystore:
                    addKeystore(root, path, store.password, listAbsent);
                    break;
                case ConfiguredKind::Folder:
                    watchAt(path, "", user, true);
                    addFiles(root, "folder", path, true, listAbsent);
                    break;
                default:
                    addFiles(root, "bundle", path, false, listAbsent);
                    break;
            }
        }
    }

    // Each *.conf file of `folder` in name order; a file's bad lines are said and listed
    // as a store of their own, its other lines applied.
    void configured(const RootDir& root, const std::string& folder, bool user) {
        watchAt(folder, "", user);
        for (const std::string& name : matching(root, folder, "*.conf", calls_)) {
            const std::string file = joined(folder, name);
            StoresConfig config;
            ReadFailure failure = ReadFailure::None;
            const Result<std::string> real = root.real(file);
            Result<std::string> text =
                real ? readRegularFile(*real, kMaxConfigBytes, &failure, calls_) : real;
            if (text) {
                parseStoresConfig(*text, file, config);
            } else if (failure != ReadFailure::Gone) {
                config.problems.push_back(file + ": " + text.error());
            }
            for (const ConfiguredStore& store : config.stores) {
                apply(root, store, user);
            }
            for (const std::string& problem : config.problems) {
                trace_.errf("%s\n", problem.c_str());
            }
            if (!config.problems.empty() &&
                names_.insert(applicationStoreName("config", file)).second) {
                stores_.push_back(std::make_unique<ConfigProblems>(file, real ? *real : file,
                                                                   std::move(config.problems)));
            }
        }
    }

    const RootDir& root_;
    Trace& trace_;
    const FileCalls& calls_;
    std::vector<WatchPoint>* watch_;
    StoreSources stores_;
    std::set<std::string> names_;
    std::map<std::string, std::string> seen_;  // real path: the store it is listed as
};

}  // namespace

std::string userStoresConfigFolder(const std::string& home) {
    return home.empty() ? std::string() : joined(home, ".config/kestrune/stores.d");
}

StoreSources applicationStores(const RootDir& root, const std::string& home, Trace& trace,
                               const FileCalls& calls) {
    return StoreFinder(root, trace, calls, nullptr).find(home);
}

std::vector<WatchPoint> applicationWatchPoints(const RootDir& root, const std::string& home) {
    std::vector<WatchPoint> points;
    NullTrace quiet;
    StoreFinder(root, quiet, systemFileCalls(), &points).find(home);
    return points;
}

}  // namespace kestrune
