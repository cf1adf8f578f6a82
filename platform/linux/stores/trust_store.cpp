// The store catalogue over the Linux trust sources: the distro's compiled bundle,
// the folders admins add CAs to, the blocklist folders and the system NSS database, all
// under one root directory; and the current user's NSS databases under the home folder.
// Certificates are parsed with OpenSSL.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "platform/linux/origin/origin_resolver.h"
#include "platform/linux/stores/cert_file_reader.h"
#include "platform/linux/stores/extra_stores.h"
#include "platform/linux/stores/nss_store.h"
#include "platform/linux/stores/record_extractor.h"
#include "platform/linux/stores/root_files.h"
#include "platform/linux/stores/store_source.h"
#include "platform/linux/stores/trust_modules.h"
#include "platform/linux/stores/trust_store.h"
#include "platform/linux/stores/x509_fields.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

const std::vector<std::string> kBundles = {
    "/etc/ssl/certs/ca-certificates.crt",  // Debian, Ubuntu, Arch
    "/etc/pki/tls/certs/ca-bundle.crt",    // Fedora, RHEL
    "/etc/ssl/ca-bundle.pem",              // openSUSE
    "/etc/ssl/cert.pem",                   // Alpine, and others
};
const std::vector<std::string> kAnchorFolders = {
    "/usr/local/share/ca-certificates",
    "/etc/pki/ca-trust/source/anchors",
    "/etc/ca-certificates/trust-source/anchors",
    "/usr/share/pki/trust/anchors",
};
constexpr char kBlocklistName[] = "blocklist";
const std::vector<std::string> kBlocklistFolders = {
    "/etc/pki/ca-trust/source/blocklist",
    "/etc/ca-certificates/trust-source/blocklist",
};

// Walks a list of certificate files one certificate at a time, so a store of any size
// holds one file in memory.
class FileStore final : public OpenCertStore {
  public:
    FileStore(std::vector<std::string> files, Trace& trace, const FileCalls& calls)
        : files_(std::move(files)), trace_(trace), calls_(calls), current_(md5_) {}

    // Reads the first file now; for a store that is a single file, not being able to
    // read it means the store cannot be opened.
    Result<void, StoreError> readFirst() {
        if (files_.empty()) {
            return {};
        }
        ReadFailure failure = ReadFailure::None;
        const Result<std::size_t> opened =
            openRegularFile(files_[0], file_, kMaxCertificateFileBytes, &failure, calls_);
        if (!opened) {
            // A bundle that is something else than a file is there, and unread.
            return StoreError{failure != ReadFailure::Gone, files_[0] + ": " + opened.error()};
        }
        startFile(0, *opened);
        return {};
    }

    // A file that could not be listed or read makes the whole store unreadable, and
    // the walk ends there.
    void failWith(std::string failure) {
        if (failure_.empty()) {
            failure_ = std::move(failure);
        }
    }
    std::string walkFailure() const override { return failure_.empty() ? brokenText_ : failure_; }
    std::string currentFile() const override {
        return fileIndex_ < files_.size() ? files_[fileIndex_] : std::string();
    }
    std::string_view currentText() const override { return text_; }

    const Certificate* next() override {
        for (;;) {
            if (reader_) {
                if (const Certificate* cert = nextInFile()) {
                    return cert;
                }
            }
            if (nextFile_ >= files_.size() || !failure_.empty()) {
                current_.reset(nullptr);
                reader_.reset();
                file_.reset();
                return nullptr;
            }
            openNextFile();
        }
    }

  private:
    // The next certificate of the file being read; null once the file is done with.
    const Certificate* nextInFile() {
        X509Ptr cert;
        std::string problem;
        CertificateFileReader::Block block;
        for (;;) {
            CertificateFileReader::Step step = reader_->nextBlock(block, problem);
            text_ = block.text;
            if (step == CertificateFileReader::Step::Certificate) {
                // The fields straight from the bytes; the full parse for what the
                // extractor is not sure of.
                if (extractor_.extract(block.der, block.size, block.trusted, extracted_.fields())) {
                    ++found_;
                    extracted_.setTrust(block.trust, block.trustSize);
                    extracted_.setDer(block.der, block.size);
                    return &extracted_;
                }
                step = reader_->parse(block, cert, problem);
            }
            switch (step) {
                case CertificateFileReader::Step::Certificate:
                    ++found_;
                    current_.reset(std::move(cert));
                    current_.setTrust(block.trust, block.trustSize);
                    return &current_;
                case CertificateFileReader::Step::Broken:
                    skipBroken(problem);
                    continue;
                case CertificateFileReader::Step::End:
                    endFile();
                    return nullptr;
            }
        }
    }

    // A part of the file that could not be read as a certificate: told, and the rest read.
    void skipBroken(const std::string& problem) {
        ++broken_;
        const std::string where =
            reader_->problemLine() > 0
                ? "line " + std::to_string(reader_->problemLine()) + " of " + path()
                : path();
        if (reader_->problemLine() > 0) {
            trace_.errf("Skipped the certificate at %s: %s\n", where.c_str(), problem.c_str());
        } else {
            trace_.errf("Skipped %s: %s\n", path().c_str(), problem.c_str());
        }
        // Certificate markers or DER it cannot read may hold what OpenSSL reads: the
        // store is not known whole.
        if (reader_->holdsCertificates() && brokenText_.empty()) {
            brokenText_ = where + ": " + problem;
        }
    }

    void endFile() {
        if (!reader_->readFailure().empty()) {
            // What the rest of the file holds is unknown.
            failWith(path() + ": " + reader_->readFailure());
        } else if (found_ == 0 && broken_ == 0) {
            trace_.errf("Skipped %s: no certificate in it\n", path().c_str());
        }
        reader_.reset();
    }

    void openNextFile() {
        const std::size_t index = nextFile_;
        ReadFailure failure = ReadFailure::None;
        const Result<std::size_t> opened =
            openRegularFile(files_[index], file_, kMaxCertificateFileBytes, &failure, calls_);
        if (!opened) {
            const std::string& why = opened.error();
            nextFile_ = index + 1;
            if (failure != ReadFailure::Unreadable) {
                // Removed since the folder was listed, or no file at all (a FIFO
                // planted in the folder): it holds no certificate.
                trace_.errf("Skipped %s: %s\n", files_[index].c_str(), why.c_str());
            } else {
                // What the file holds is unknown, so the store cannot be told whole.
                failWith(files_[index] + ": " + why);
            }
            return;
        }
        startFile(index, *opened);
    }

    // `size`: what the file held when opened.
    void startFile(std::size_t index, std::size_t size) {
        fileIndex_ = index;
        nextFile_ = index + 1;
        found_ = 0;
        broken_ = 0;
        // A bundle is read as it goes, so memory does not grow with its size.
        reader_.emplace(file_.get(), size, kMaxCertificateFileBytes,
                        CertificateFileReader::kWindowBytes, calls_);
    }
    const std::string& path() const { return files_[fileIndex_]; }

    std::vector<std::string> files_;
    Trace& trace_;
    const FileCalls& calls_;
    SubjectNameMd5 md5_;
    X509Certificate current_;
    RecordExtractor extractor_;
    ExtractedCertificate extracted_;
    UniqueFd file_;  // the file being read; outlives its reader
    std::optional<CertificateFileReader> reader_;
    std::size_t fileIndex_ = 0;
    std::size_t nextFile_ = 0;
    std::size_t found_ = 0;
    std::size_t broken_ = 0;
    std::string failure_;
    std::string brokenText_;  // the first certificate that could not be read
    std::string_view text_;   // the current certificate's PEM text, in the reader's window
};

class BundleStore final : public StoreSource {
  public:
    BundleStore(const RootDir& root, Trace& trace, const FileCalls& calls)
        : root_(root), trace_(trace), calls_(calls) {}
    const std::string& name() const override { return name_; }
    LinuxLocation location() const override { return LinuxLocation::System; }
    bool generated() const override { return true; }

    std::vector<std::string> sources() const override {
        std::vector<std::string> paths;
        if (auto bundle = chosen()) {
            paths.push_back(std::move(*bundle));
        }
        return paths;
    }

    Result<std::unique_ptr<OpenCertStore>, StoreError> open() const override {
        std::optional<std::string> bundle = chosen();
        if (!bundle) {
            StoreError error{false, "no certificate bundle: none of"};
            for (const auto& path : kBundles) {
                error.message += " " + path;
            }
            error.message += " exists under " + root_.root();
            return error;
        }
        auto store = std::make_unique<FileStore>(std::vector<std::string>{*bundle}, trace_, calls_);
        if (const Result<void, StoreError> read = store->readFirst(); !read) {
            return read.failure();
        }
        return std::unique_ptr<OpenCertStore>(std::move(store));
    }

  private:
    // The first bundle that exists, as a path to read.
    std::optional<std::string> chosen() const {
        for (const auto& candidate : kBundles) {
            if (!root_.exists(candidate)) {
                continue;
            }
            if (Result<std::string> path = root_.real(candidate)) {
                return std::move(*path);
            }
        }
        return std::nullopt;
    }

    const std::string name_ = "ca-certificates";
    const RootDir& root_;
    Trace& trace_;
    const FileCalls& calls_;
};

class FolderStore final : public StoreSource {
  public:
    FolderStore(std::string name, const std::vector<std::string>& folders, const RootDir& root,
                Trace& trace, const FileCalls& calls)
        : name_(std::move(name)), folders_(folders), root_(root), trace_(trace), calls_(calls) {}
    const std::string& name() const override { return name_; }
    LinuxLocation location() const override { return LinuxLocation::System; }

    std::vector<std::string> sources() const override {
        std::vector<std::string> paths;
        for (const auto& folder : folders_) {
            if (!root_.exists(folder)) {
                continue;
            }
            if (Result<std::string> path = root_.real(folder)) {
                paths.push_back(std::move(*path));
            }
        }
        return paths;
    }

    // Folders that do not exist are normal (nothing was added); the store is then empty.
    // A folder or link below them that cannot be listed leaves the store unreadable.
    Result<std::unique_ptr<OpenCertStore>, StoreError> open() const override {
        return openCertificateFolders(sources(), root_, trace_, calls_);
    }

  private:
    std::string name_;
    const std::vector<std::string>& folders_;
    const RootDir& root_;
    Trace& trace_;
    const FileCalls& calls_;
};

// The SHA-256 of every certificate in the blocklist folders, read when first asked
// for: once per scan at most. Its own walk of the folders is quiet, as the blocklist
// store's walk tells what it skips.
class Blocklist {
  public:
    Blocklist(const RootDir& root, const FileCalls& calls)
        : folders_(kBlocklistName, kBlocklistFolders, root, quiet_, calls) {}

    bool holds(const Fingerprint& sha256) {
        if (!read_) {
            read();
        }
        return std::binary_search(digests_.begin(), digests_.end(), sha256);
    }

  private:
    // What cannot be read marks nothing.
    void read() {
        read_ = true;
        Result<std::unique_ptr<OpenCertStore>, StoreError> open = folders_.open();
        if (!open) {
            return;
        }
        while (const Certificate* cert = (*open)->next()) {
            if (Fingerprint digest{}; cert->sha256(digest)) {
                digests_.push_back(digest);
            }
        }
        std::sort(digests_.begin(), digests_.end());
    }

    NullTrace quiet_;
    FolderStore folders_;
    bool read_ = false;
    std::vector<Fingerprint> digests_;  // sorted
};

// Every store in listing order, names unique across locations, with an index by name:
// profiles.ini and the folders are read once per scan, however many profiles it lists,
// and each store is found at once. (Outside the catalogue, whose optional one builds it:
// clang cannot default-construct a nested class with member initializers there.)
struct Listing {
    StoreSources stores;
    std::unordered_map<std::string_view, const StoreSource*> byName;
    bool userUnlisted = false;  // a profiles.ini is there but could not be read
    // Where this scan's certificates come from; shared with the readers it hands out.
    std::shared_ptr<OriginResolver> origins;
    // The certificates this scan's blocklist holds; shared the same way.
    std::shared_ptr<Blocklist> blocklist;
};

// The facts of a Linux certificate, read in the order the scanner used to ask for them:
// nothing past a field that failed.
CertificateFacts factsOf(const Certificate& cert) {
    CertificateFacts facts;
    std::string name;
    if (!cert.simpleDisplayName(name)) {
        return facts;
    }
    facts.displayName = std::move(name);
    std::vector<std::uint8_t> hash;
    if (!cert.subjectNameMd5(hash)) {
        return facts;
    }
    facts.subjectNameHash = std::move(hash);
    facts.serialLittleEndian = cert.serialLittleEndian();
    Fingerprint digest{};
    if (cert.sha256(digest)) {
        facts.sha256 = digest;
    }
    facts.trustSettings = cert.trustSettings();
    facts.trust = cert.trust();
    facts.der = cert.der();
    return facts;
}

// A Linux store's walk as the catalogue hands it out.
class LinuxStoreReader final : public StoreReader {
  public:
    // `blocklist`: what marks this store's certificates blocklisted; null for none.
    LinuxStoreReader(std::unique_ptr<OpenCertStore> store, std::shared_ptr<OriginResolver> origins,
                     std::shared_ptr<Blocklist> blocklist, bool generated)
        : store_(std::move(store)),
          origins_(std::move(origins)),
          blocklist_(std::move(blocklist)),
          generated_(generated) {}

    Result<bool> next() override {
        current_ = store_->next();
        if (current_ != nullptr) {
            return true;
        }
        if (std::string failure = store_->walkFailure(); !failure.empty()) {
            return fail(std::move(failure));
        }
        return false;
    }
    CertificateFacts facts() override {
        CertificateFacts facts = factsOf(*current_);
        if (!generated_) {
            facts.origin = origins_->ofFile(store_->currentFile());
        } else if (facts.sha256) {
            facts.origin = origins_->ofBundleEntry(*facts.sha256, store_->currentText(),
                                                   store_->currentFile());
        }
        if (blocklist_ && facts.sha256 && blocklist_->holds(*facts.sha256)) {
            facts.trust += facts.trust.empty() ? "blocklisted" : "; blocklisted";
        }
        return facts;
    }

  private:
    std::unique_ptr<OpenCertStore> store_;
    std::shared_ptr<OriginResolver> origins_;
    std::shared_ptr<Blocklist> blocklist_;
    bool generated_;
    const Certificate* current_ = nullptr;
};

class LinuxStoreCatalogue final : public StoreCatalogue {
  public:
    LinuxStoreCatalogue(const PlatformOptions& options, Trace& trace, const FileCalls& calls)
        : root_(options.root), home_(options.home), trace_(trace), calls_(calls) {}

    // A scan starts here: the stores are found afresh once for it.
    Status listLocations(CatalogueVisitor& visitor) override {
        listing_.reset();
        for (const auto& [name, location] : kLocations) {
            visitor.location(name);
            if (!listStores(location, visitor)) {
                break;
            }
            if (location == LinuxLocation::CurrentUser && listing().userUnlisted) {
                visitor.storesUnlisted();
            }
        }
        return {};
    }

    Status listCurrentUserStores(CatalogueVisitor& visitor) override {
        listStores(LinuxLocation::CurrentUser, visitor);
        if (listing().userUnlisted) {
            return fail("a profiles.ini could not be read");
        }
        return {};
    }

    OpenedStore openStore(const std::string& name) override {
        const StoreSource* store = find(name);
        if (store == nullptr) {
            return OpenedStore::absent("no such store");
        }
        Result<std::unique_ptr<OpenCertStore>, StoreError> open = store->open();
        if (!open) {
            const StoreError& error = open.failure();
            return error.unreadable ? OpenedStore::unreadable(error.message)
                                    : OpenedStore::absent(error.message);
        }
        // The blocklist withdraws trust from the system's certificates, not its own.
        std::shared_ptr<Blocklist> blocklist;
        if (store->location() == LinuxLocation::System && store->name() != kBlocklistName) {
            blocklist = listing().blocklist;
        }
        return OpenedStore(std::make_unique<LinuxStoreReader>(
            std::move(*open), listing().origins, std::move(blocklist), store->generated()));
    }

    std::vector<PackageChange> packageChanges() override {
        return listing().origins->packageChanges();
    }

    CertificateOrigin originOfMissing(const std::string& store,
                                      const Fingerprint& sha256) override {
        const StoreSource* source = find(store);
        if (source == nullptr || !source->generated()) {
            return {};
        }
        return listing().origins->ofMissingFromBundle(sha256);
    }

  private:
    // The stores of one location, each followed by the files and folders it was read
    // from. False when the visitor stopped the listing.
    bool listStores(LinuxLocation location, CatalogueVisitor& visitor) {
        for (const auto& store : listing().stores) {
            if (store->location() != location) {
                continue;
            }
            if (!visitor.store(store->name())) {
                return false;
            }
            for (const auto& source : store->sources()) {
                trace_.outf("    %s", source.c_str());
                trace_.out("\n");
            }
        }
        return true;
    }

    static constexpr std::pair<const char*, LinuxLocation> kLocations[] = {
        {kLinuxSystemName, LinuxLocation::System},
        // Before the current user's: the scan's second pass names its stores after the
        // location listed last.
        {kLinuxApplicationsName, LinuxLocation::Applications},
        {kLinuxCurrentUserName, LinuxLocation::CurrentUser},
    };

    const Listing& listing() {
        if (!listing_) {
            listing_.emplace();
            Listing& all = *listing_;
            all.origins = std::make_shared<OriginResolver>(root_, calls_);
            all.stores.push_back(std::make_unique<BundleStore>(root_, trace_, calls_));
            all.stores.push_back(std::make_unique<FolderStore>("local-anchors", kAnchorFolders,
                                                               root_, trace_, calls_));
            all.blocklist = std::make_shared<Blocklist>(root_, calls_);
            all.stores.push_back(std::make_unique<FolderStore>(kBlocklistName, kBlocklistFolders,
                                                               root_, trace_, calls_));
            for (auto& store : systemNssStores(root_, trace_)) {
                all.stores.push_back(std::move(store));
            }
            // Problems finding the stores are told once per listing, not on every open.
            StoreSources user = userNssStores(home_, trace_, &trace_, &all.userUnlisted, calls_);
            StoreSources modules = trustModuleStores(root_, user, trace_, calls_);
            for (StoreSources* stores : {&user, &modules}) {
                for (auto& store : *stores) {
                    all.stores.push_back(std::move(store));
                }
            }
            for (auto& store : applicationStores(root_, home_, trace_, calls_)) {
                all.stores.push_back(std::move(store));
            }
            for (const auto& store : all.stores) {
                all.byName.emplace(store->name(), store.get());
            }
        }
        return *listing_;
    }

    // A store asked for by name outside a scan's listing is looked for in a new one.
    const StoreSource* find(const std::string& name) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Listing& all = listing();
            if (const auto it = all.byName.find(name); it != all.byName.end()) {
                return it->second;
            }
            listing_.reset();
        }
        return nullptr;
    }

    const RootDir root_;
    const std::string home_;
    Trace& trace_;
    const FileCalls& calls_;
    std::optional<Listing> listing_;  // this scan's; scans never overlap
};

}  // namespace

TrustSourcePaths trustSourcePaths() {
    return {kBundles, kAnchorFolders, kBlocklistFolders};
}

Result<std::unique_ptr<OpenCertStore>, StoreError> openCertificateFiles(
    std::vector<std::string> files, bool single, Trace& trace, const FileCalls& calls) {
    auto store = std::make_unique<FileStore>(std::move(files), trace, calls);
    if (single) {
        if (const Result<void, StoreError> read = store->readFirst(); !read) {
            return read.failure();
        }
    }
    return std::unique_ptr<OpenCertStore>(std::move(store));
}

Result<std::unique_ptr<OpenCertStore>, StoreError> openCertificateFolders(
    const std::vector<std::string>& folders, const RootDir& root, Trace& trace,
    const FileCalls& calls) {
    std::vector<std::string> files;
    std::string failure;
    for (const auto& folder : folders) {
        listFilesBelow(
            root, folder, files,
            [&](const std::string& path, const std::string& why, bool unreadable) {
                trace.errf("Skipped %s: %s\n", path.c_str(), why.c_str());
                if (unreadable && failure.empty()) {
                    failure = path + ": " + why;
                }
            },
            calls);
    }
    if (!failure.empty()) {
        return StoreError{true, failure};
    }
    return openCertificateFiles(std::move(files), false, trace, calls);
}

std::unique_ptr<StoreCatalogue> makeTrustStoreCatalogue(const PlatformOptions& options,
                                                        Trace& trace, const FileCalls& calls) {
    return std::make_unique<LinuxStoreCatalogue>(options, trace, calls);
}

}  // namespace kestrune
