#include "platform/linux/stores/trust_modules.h"

#include <dirent.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

#include "inventory/text.h"

namespace kestrune {

namespace {

const std::vector<std::string> kP11KitFolders = {
    "/usr/share/p11-kit/modules",  // what packages install
    "/etc/pkcs11/modules",         // what the administrator adds
};
constexpr char kSystemNssList[] = "/etc/pki/nssdb/pkcs11.txt";
constexpr std::string_view kModuleSuffix = ".module";
constexpr char kNssListName[] = "pkcs11.txt";

// A module file is a few lines, an NSS list a few entries of a few lines each.
constexpr std::size_t kMaxListBytes = std::size_t{1} << 20;
// More module files than any system installs: something is filling the folder.
constexpr std::size_t kMaxModuleFiles = 1024;
// The serial: the first bytes of the SHA-256 of the module's name.
constexpr std::size_t kSerialBytes = 8;
// Begins everything hashed into a module's identity, so no certificate can share it.
constexpr std::string_view kIdentityPrefix{"pkcs11-module\0", 14};

// One module as its list names it.
struct ListedModule {
    std::string name;
    std::string trust;     // what loading it loads, as a person reads it
    std::string listFile;  // the list it is on, as the machine names it (its identity)
    std::string readFrom;  // that list's real path, where its origin is looked up
};
using Modules = std::vector<ListedModule>;

bool digest(const EVP_MD* md, std::string_view data, std::uint8_t* out) {
    unsigned int size = 0;
    return EVP_Digest(data.data(), data.size(), out, &size, md, nullptr) == 1;
}

// The record of one module; reused for every module of a store.
class ModuleRecord final : public Certificate {
  public:
    void set(const ListedModule& module) {
        // The name is the file's, not checked to be UTF-8: shown as UTF-8 all the same.
        name_ = cutToUtf16Units(utf16ToUtf8(utf8ToUtf16("module " + module.name)),
                                kNameBufferUnits - 1);
        const std::string prefixed = std::string(kIdentityPrefix) + module.name;
        md5Known_ = digest(EVP_md5(), prefixed, md5_.data());
        Fingerprint nameHash{};
        serial_.clear();
        if (digest(EVP_sha256(), module.name, nameHash.data())) {
            serial_.assign(nameHash.begin(), nameHash.begin() + kSerialBytes);
            std::reverse(serial_.begin(), serial_.end());
        }
        const std::string identity =
            std::string(kIdentityPrefix) + module.listFile + '\0' + module.name;
        shaKnown_ = digest(EVP_sha256(), identity, sha256_.data());
        trust_ = module.trust;
    }

    bool simpleDisplayName(std::string& name) const override {
        name = name_;
        return true;
    }
    bool subjectNameMd5(std::vector<std::uint8_t>& hash) const override {
        hash.assign(md5_.begin(), md5_.end());
        return md5Known_;
    }
    std::vector<std::uint8_t> serialLittleEndian() const override { return serial_; }
    bool sha256(Fingerprint& digest) const override {
        digest = sha256_;
        return shaKnown_;
    }
    std::string trust() const override { return trust_; }

  private:
    std::string name_;
    std::array<std::uint8_t, 16> md5_{};
    bool md5Known_ = false;
    std::vector<std::uint8_t> serial_;
    Fingerprint sha256_{};
    bool shaKnown_ = false;
    std::string trust_;
};

// The modules of a store, read whole when it was opened (the lists are small).
class ModuleWalk final : public OpenCertStore {
  public:
    explicit ModuleWalk(Modules modules) : modules_(std::move(modules)) {}

    const Certificate* next() override {
        current_ = next_;
        if (next_ >= modules_.size()) {
            return nullptr;
        }
        record_.set(modules_[next_++]);
        return &record_;
    }
    std::string currentFile() const override {
        return current_ < modules_.size() ? modules_[current_].readFrom : std::string();
    }

  private:
    Modules modules_;
    std::size_t next_ = 0;
    std::size_t current_ = 0;
    ModuleRecord record_;
};

std::string_view trimmed(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

template <class OnLine>
void forEachLine(std::string_view text, OnLine&& onLine) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        onLine(trimmed(text.substr(start, end - start)));
        start = end + 1;
    }
}

bool sameKey(std::string_view key, std::string_view wanted) {
    return std::equal(key.begin(), key.end(), wanted.begin(), wanted.end(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
}

// A p11-kit module file: "key: value" lines. What the module loads, and where not.
std::string p11KitTrust(std::string_view text) {
    std::string_view module, remote, enableIn, disableIn, trustPolicy;
    forEachLine(text, [&](std::string_view line) {
        const std::size_t colon = line.find(':');
        if (line.empty() || line.front() == '#' || colon == std::string_view::npos) {
            return;
        }
        const std::string_view key = trimmed(line.substr(0, colon));
        const std::string_view value = trimmed(line.substr(colon + 1));
        for (auto [name, field] : {std::pair{"module", &module},
                                   {"remote", &remote},
                                   {"enable-in", &enableIn},
                                   {"disable-in", &disableIn},
                                   {"trust-policy", &trustPolicy}}) {
            if (key == name) {
                *field = value;  // a key given twice: the last one counts
            }
        }
    });
    std::string trust = !module.empty()   ? "library " + std::string(module)
                        : !remote.empty() ? "remote " + std::string(remote)
                                          : std::string("no library");
    std::vector<std::string> notes;
    if (trustPolicy == "yes") {
        notes.push_back("trust policy");  // its certificates are anchors for p11-kit's users
    }
    if (!enableIn.empty()) {
        notes.push_back("enabled only in " + std::string(enableIn));
    }
    if (!disableIn.empty()) {
        notes.push_back("disabled in " + std::string(disableIn));
    }
    for (std::size_t i = 0; i < notes.size(); ++i) {
        trust += (i == 0 ? " (" : "; ") + notes[i];
    }
    return notes.empty() ? trust : trust + ")";
}

// An NSS module list: entries of "key=value" lines, a blank line after each. The
// database's own module names no library (it is built into NSS) and is left out.
std::vector<std::pair<std::string, std::string>> nssModules(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> modules;  // (name, library)
    std::string_view library, name;
    const auto endEntry = [&] {
        if (!library.empty()) {
            modules.emplace_back(name.empty() ? library : name, library);
        }
        library = name = {};
    };
    forEachLine(text, [&](std::string_view line) {
        const std::size_t eq = line.find('=');
        if (line.empty()) {
            endEntry();
        } else if (line.front() != '#' && eq != std::string_view::npos) {
            const std::string_view key = trimmed(line.substr(0, eq));
            if (sameKey(key, "library")) {
                library = trimmed(line.substr(eq + 1));
            } else if (sameKey(key, "name")) {
                name = trimmed(line.substr(eq + 1));
            }
        }
    });
    endEntry();
    return modules;
}

// A list file's text. Not there, or no file at all: an absent error; there but not
// read (permissions, I/O, over the cap): an unreadable one.
Result<std::string, StoreError> readList(const std::string& path, std::size_t maxBytes,
                                         const FileCalls& calls) {
    ReadFailure failure = ReadFailure::None;
    Result<std::string> text = readRegularFile(path, maxBytes, &failure, calls);
    if (!text) {
        return StoreError{failure == ReadFailure::Unreadable, path + ": " + text.error()};
    }
    return std::move(*text);
}

// The .module file names of a real folder, sorted. A folder that is not there has none.
Result<std::vector<std::string>, StoreError> moduleFileNames(const std::string& folder,
                                                             const FileCalls& calls) {
    std::vector<std::string> names;
    DIR* dir = calls.opendir(folder.c_str());
    if (dir == nullptr) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return names;
        }
        return StoreError{true, folder + ": " + errnoText(error)};
    }
    std::string failure;
    for (;;) {
        errno = 0;
        const dirent* entry = calls.readdir(dir);
        if (entry == nullptr) {
            if (const int error = errno; error != 0) {
                failure = folder + ": " + errnoText(error);
            }
            break;
        }
        const std::string_view name = entry->d_name;
        if (name.size() <= kModuleSuffix.size() || !name.ends_with(kModuleSuffix)) {
            continue;
        }
        if (names.size() == kMaxModuleFiles) {
            failure = formatText("%s: more than %zu module files", folder.c_str(), kMaxModuleFiles);
            break;
        }
        names.emplace_back(name);
    }
    calls.closedir(dir);
    if (!failure.empty()) {
        return StoreError{true, std::move(failure)};
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The modules of one p11-kit folder (a machine path), in file name order.
Result<void, StoreError> readP11KitFolder(const RootDir& root, const std::string& folder,
                                          Modules& modules, Trace& trace, const FileCalls& calls) {
    const Result<std::string> real = root.real(folder);
    if (!real) {
        trace.errf("Skipped %s: %s\n", folder.c_str(), real.error().c_str());
        return {};
    }
    Result<std::vector<std::string>, StoreError> names = moduleFileNames(*real, calls);
    if (!names) {
        return names.failure();
    }
    for (const std::string& name : *names) {
        std::string listed = folder + "/" + name;
        Result<std::string> path = root.real(listed);
        Result<std::string, StoreError> text =
            path ? readList(*path, kMaxListBytes, calls)
                 : Result<std::string, StoreError>(StoreError{false, listed + ": " + path.error()});
        if (!text) {
            if (text.failure().unreadable) {
                return text.failure();  // what it loads is unknown
            }
            trace.errf("Skipped %s\n", text.error().c_str());  // gone meanwhile, or no file
            continue;
        }
        modules.push_back(ListedModule{name.substr(0, name.size() - kModuleSuffix.size()),
                                       p11KitTrust(*text), std::move(listed), std::move(*path)});
    }
    return {};
}

void addNssModules(std::string_view text, const std::string& listFile, const std::string& readFrom,
                   Modules& modules) {
    for (auto& [name, library] : nssModules(text)) {
        modules.push_back(ListedModule{std::move(name), "library " + library, listFile, readFrom});
    }
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// p11-kit's system modules and the system NSS database's.
class SystemModuleStore final : public StoreSource {
  public:
    SystemModuleStore(const RootDir& root, Trace& trace, const FileCalls& calls)
        : root_(root), trace_(trace), calls_(calls) {}
    const std::string& name() const override { return name_; }
    LinuxLocation location() const override { return LinuxLocation::System; }

    std::vector<std::string> sources() const override {
        std::vector<std::string> paths;
        for (const std::string& list : lists()) {
            if (Result<std::string> path = root_.real(list)) {
                paths.push_back(std::move(*path));
            }
        }
        return paths;
    }

    Result<std::unique_ptr<OpenCertStore>, StoreError> open() const override {
        const std::vector<std::string> found = lists();
        if (found.empty()) {
            std::string message = "no module list: none of";
            for (const std::string& folder : kP11KitFolders) {
                message += " " + folder;
            }
            return StoreError{false,
                              message + " " + kSystemNssList + " exists under " + root_.root()};
        }
        Modules modules;
        for (const std::string& list : found) {
            const Result<void, StoreError> read =
                list == kSystemNssList ? readNssList(modules)
                                       : readP11KitFolder(root_, list, modules, trace_, calls_);
            if (!read) {
                return read.failure();
            }
        }
        return std::unique_ptr<OpenCertStore>(std::make_unique<ModuleWalk>(std::move(modules)));
    }

  private:
    // The module folders and list that exist, as the machine names them.
    std::vector<std::string> lists() const {
        std::vector<std::string> found;
        for (const std::string& folder : kP11KitFolders) {
            if (root_.exists(folder)) {
                found.push_back(folder);
            }
        }
        if (root_.exists(kSystemNssList)) {
            found.push_back(kSystemNssList);
        }
        return found;
    }

    Result<void, StoreError> readNssList(Modules& modules) const {
        const Result<std::string> path = root_.real(kSystemNssList);
        Result<std::string, StoreError> text =
            path ? readList(*path, kMaxListBytes, calls_)
                 : Result<std::string, StoreError>(
                       StoreError{false, std::string(kSystemNssList) + ": " + path.error()});
        if (!text) {
            if (text.failure().unreadable) {
                return text.failure();
            }
            trace_.errf("Skipped %s\n", text.error().c_str());
            return {};
        }
        addNssModules(*text, kSystemNssList, *path, modules);
        return {};
    }

    const std::string name_ = "trust-modules";
    const RootDir& root_;
    Trace& trace_;
    const FileCalls& calls_;
};

// The modules of one of the user's NSS databases.
class UserModuleStore final : public StoreSource {
  public:
    UserModuleStore(const StoreSource& database, const FileCalls& calls)
        : name_("modules-" + database.name()), database_(database), calls_(calls) {}
    const std::string& name() const override { return name_; }
    LinuxLocation location() const override { return database_.location(); }

    std::vector<std::string> sources() const override {
        std::string list = listFile();
        struct stat st {};
        if (list.empty() || ::stat(list.c_str(), &st) != 0) {
            return {};
        }
        return {std::move(list)};
    }

    // No database, or no list in it: absent, as NSS then loads no module of its own.
    Result<std::unique_ptr<OpenCertStore>, StoreError> open() const override {
        const std::string list = listFile();
        if (list.empty()) {
            return StoreError{false, database_.name() + ": no such database"};
        }
        Result<std::string, StoreError> text = readList(list, kMaxListBytes, calls_);
        if (!text) {
            return text.failure();
        }
        Modules modules;
        addNssModules(*text, list, list, modules);
        return std::unique_ptr<OpenCertStore>(std::make_unique<ModuleWalk>(std::move(modules)));
    }

  private:
    // The list beside the database's files; empty while the database is not there.
    std::string listFile() const {
        const std::vector<std::string> sources = database_.sources();
        if (sources.empty()) {
            return {};
        }
        std::string folder = sources.front();
        if (!isFolder(folder)) {
            folder = folder.substr(0, folder.find_last_of('/'));  // a database file
        }
        return folder + "/" + kNssListName;
    }

    std::string name_;
    const StoreSource& database_;
    const FileCalls& calls_;
};

}  // namespace

const std::vector<std::string>& p11KitModuleFolders() {
    return kP11KitFolders;
}

StoreSources trustModuleStores(const RootDir& root, const StoreSources& userDatabases, Trace& trace,
                               const FileCalls& calls) {
    StoreSources stores;
    stores.push_back(std::make_unique<SystemModuleStore>(root, trace, calls));
    for (const auto& database : userDatabases) {
        stores.push_back(std::make_unique<UserModuleStore>(*database, calls));
    }
    return stores;
}

}  // namespace kestrune
