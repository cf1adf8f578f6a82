#include "platform/linux/stores/nss_store.h"

#include <cert.h>
#include <certdb.h>
#include <nss.h>
#include <pk11pub.h>
#include <prerror.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <set>

#include "inventory/c_handle.h"
#include "inventory/text.h"
#include "platform/linux/stores/record_extractor.h"
#include "platform/linux/stores/x509_fields.h"

namespace kestrune {

namespace {

using ContextPtr = CHandle<NSSInitContext, NSS_ShutdownContext>;
using SlotPtr = CHandle<PK11SlotInfo, PK11_FreeSlot>;
using CertListPtr = CHandle<CERTCertList, CERT_DestroyCertList>;

// No module database (the user's PKCS#11 modules stay out), no built-in roots: only
// what the database itself holds, never written to.
constexpr PRUint32 kInitFlags =
    NSS_INIT_READONLY | NSS_INIT_NOROOTINIT | NSS_INIT_NOMODDB | NSS_INIT_OPTIMIZESPACE;

constexpr std::size_t kMaxProfilesIniBytes = std::size_t{1} << 20;

std::string nssError() {
    const PRErrorCode code = PR_GetError();
    const char* name = PR_ErrorToName(code);
    return name != nullptr ? name : formatText("NSS error %d", static_cast<int>(code));
}

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// One field of a certificate's trust in certutil's letters: a plain 'c' or 'p' only
// where no stronger trust of the same kind is given.
std::string trustLetters(unsigned int flags) {
    std::string letters;
    if ((flags & CERTDB_VALID_CA) != 0 &&
        (flags & (CERTDB_TRUSTED_CA | CERTDB_TRUSTED_CLIENT_CA)) == 0) {
        letters += 'c';
    }
    if ((flags & CERTDB_TERMINAL_RECORD) != 0 && (flags & CERTDB_TRUSTED) == 0) {
        letters += 'p';
    }
    constexpr std::pair<unsigned int, char> kLetters[] = {
        {CERTDB_TRUSTED_CA, 'C'},       {CERTDB_TRUSTED_CLIENT_CA, 'T'},
        {CERTDB_TRUSTED, 'P'},          {CERTDB_USER, 'u'},
        {CERTDB_SEND_WARN, 'w'},        {CERTDB_INVISIBLE_CA, 'I'},
        {CERTDB_GOVT_APPROVED_CA, 'G'},
    };
    for (const auto& [flag, letter] : kLetters) {
        if ((flags & flag) != 0) {
            letters += letter;
        }
    }
    return letters;
}

// "SSL,S/MIME,JAR/XPI" as certutil lists it; empty for a certificate the database
// keeps no trust for. NSS keeps one trust per certificate across the databases open at
// once, so this is the database's own only while it is the one open, as in a scan.
std::string trustText(const CERTCertificate& cert) {
    CERTCertTrust trust{};
    if (CERT_GetCertTrust(&cert, &trust) != SECSuccess) {
        return {};
    }
    return trustLetters(trust.sslFlags) + "," + trustLetters(trust.emailFlags) + "," +
           trustLetters(trust.objectSigningFlags);
}

// A certificate's fields as read from its DER, with the trust the database gives it.
class NssCertificate final : public Certificate {
  public:
    void reset(const Certificate& fields, std::string trust) {
        fields_ = &fields;
        trust_ = std::move(trust);
    }
    bool simpleDisplayName(std::string& name) const override {
        return fields_->simpleDisplayName(name);
    }
    bool subjectNameMd5(std::vector<std::uint8_t>& hash) const override {
        return fields_->subjectNameMd5(hash);
    }
    std::vector<std::uint8_t> serialLittleEndian() const override {
        return fields_->serialLittleEndian();
    }
    bool sha256(Fingerprint& digest) const override { return fields_->sha256(digest); }
    std::vector<std::uint8_t> der() const override { return fields_->der(); }
    std::string trust() const override { return trust_; }

  private:
    const Certificate* fields_ = nullptr;
    std::string trust_;
};

// One open database: its context, its slot and the list of its certificates, released
// in the reverse order (the context last, once nothing of it is held).
class NssOpenStore final : public OpenCertStore {
  public:
    NssOpenStore(std::string storeName, std::string database, Trace& trace)
        : storeName_(std::move(storeName)),
          database_(std::move(database)),
          trace_(trace),
          current_(md5_) {}

    std::string currentFile() const override { return database_; }

    Status open(const std::string& folder) {
        // The token name finds this context's slot among those of other open contexts.
        std::string token = formatText("kestrune %p", static_cast<const void*>(this));
        NSSInitParameters params{};
        params.length = sizeof params;
        params.dbTokenDescription = token.data();
        const std::string database = "sql:" + folder;
        context_.reset(NSS_InitContext(database.c_str(), "", "", "", &params, kInitFlags));
        if (!context_) {
            return fail(folder + ": cannot open the database (" + nssError() + ")");
        }
        slot_.reset(PK11_FindSlotByName(token.c_str()));
        if (!slot_) {
            return fail(folder + ": the database's token was not found (" + nssError() + ")");
        }
        list_.reset(PK11_ListCertsInSlot(slot_.get()));
        if (!list_) {
            return fail(folder + ": cannot list its certificates (" + nssError() + ")");
        }
        node_ = CERT_LIST_HEAD(list_.get());
        return {};
    }

    const Certificate* next() override {
        while (list_ && !CERT_LIST_END(node_, list_.get())) {
            const CERTCertificate* cert = node_->cert;
            node_ = CERT_LIST_NEXT(node_);
            const unsigned char* der = cert->derCert.data;
            if (extractor_.extract(der, cert->derCert.len, false, extracted_.fields())) {
                extracted_.setDer(der, cert->derCert.len);
                withTrust_.reset(extracted_, trustText(*cert));
                return &withTrust_;
            }
            X509Ptr parsed(d2i_X509(nullptr, &der, static_cast<long>(cert->derCert.len)));
            if (!parsed) {
                trace_.errf("Skipped a certificate of %s (%s): not a certificate (%s)\n",
                            storeName_.c_str(), cert->nickname ? cert->nickname : "no nickname",
                            takeOpensslError().c_str());
                continue;
            }
            current_.reset(std::move(parsed));
            withTrust_.reset(current_, trustText(*cert));
            return &withTrust_;
        }
        current_.reset(nullptr);
        return nullptr;
    }

  private:
    std::string storeName_;
    std::string database_;  // the certificate database file
    Trace& trace_;
    SubjectNameMd5 md5_;
    X509Certificate current_;
    RecordExtractor extractor_;
    ExtractedCertificate extracted_;
    NssCertificate withTrust_;  // one of the two above, with its trust
    ContextPtr context_;        // declared before what it owns, so it is closed last
    SlotPtr slot_;
    CertListPtr list_;
    CERTCertListNode* node_ = nullptr;
};

class NssDatabaseStore final : public StoreSource {
  public:
    NssDatabaseStore(std::string name, LinuxLocation location, std::string folder, Trace& trace)
        : name_(std::move(name)), location_(location), folder_(std::move(folder)), trace_(trace) {}

    const std::string& name() const override { return name_; }
    LinuxLocation location() const override { return location_; }
    std::vector<std::string> sources() const override {
        if (!isFolder(folder_)) {
            return {};
        }
        return {folder_};
    }

    // No folder, or a folder without a database, is an absent store; a database that is
    // there but cannot be opened (corrupt, locked, of a format not read) is unreadable.
    Result<std::unique_ptr<OpenCertStore>, StoreError> open() const override {
        // Checked first: NSS opens a folder without cert9.db as an empty database.
        if (!isFolder(folder_)) {
            return StoreError{false, folder_ + ": no such database folder"};
        }
        if (!isFile(folder_ + "/cert9.db")) {
            return isFile(folder_ + "/cert8.db")
                       ? StoreError{true, folder_ + ": an old-format database (cert8.db), not read"}
                       : StoreError{false, folder_ + ": no cert9.db in it"};
        }
        auto store = std::make_unique<NssOpenStore>(name_, folder_ + "/cert9.db", trace_);
        if (const Status opened = store->open(folder_); !opened) {
            return StoreError{true, opened.error()};
        }
        return std::unique_ptr<OpenCertStore>(std::move(store));
    }

  private:
    std::string name_;
    LinuxLocation location_;
    std::string folder_;
    Trace& trace_;
};

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::vector<FirefoxProfile> parseProfilesIni(std::string_view text, const std::string& iniFolder) {
    struct Section {
        std::string name;
        std::string path;
        bool relative = true;
    };
    std::vector<Section> sections;
    bool inProfile = false;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line.front() == '[') {
            inProfile = line.size() > 2 && line.back() == ']' && line.substr(1, 7) == "Profile";
            if (inProfile) {
                sections.emplace_back();
            }
            continue;
        }
        const std::size_t eq = line.find('=');
        if (!inProfile || eq == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trim(line.substr(0, eq));
        const std::string_view value = trim(line.substr(eq + 1));
        if (key == "Name") {
            sections.back().name = value;
        } else if (key == "Path") {
            sections.back().path = value;
        } else if (key == "IsRelative") {
            sections.back().relative = value != "0";
        }
    }

    std::vector<FirefoxProfile> profiles;
    for (Section& s : sections) {
        if (s.path.empty()) {
            continue;
        }
        std::string folder =
            s.relative && s.path.front() != '/' ? iniFolder + "/" + s.path : s.path;
        if (s.name.empty()) {
            s.name = s.path.substr(s.path.find_last_of('/') + 1);
        }
        profiles.push_back(FirefoxProfile{std::move(s.name), std::move(folder)});
    }
    return profiles;
}

namespace {

// The plain install, then the snap and flatpak packages, each with its own profiles.
constexpr std::pair<const char*, const char*> kFirefoxHomes[] = {
    {"/.mozilla/firefox", "firefox-"},
    {"/snap/firefox/common/.mozilla/firefox", "firefox-snap-"},
    {"/.var/app/org.mozilla.firefox/.mozilla/firefox", "firefox-flatpak-"},
};

}  // namespace

UserNssPaths userNssPaths(const std::string& home) {
    UserNssPaths paths;
    if (home.empty()) {
        return paths;
    }
    paths.databases.push_back(home + "/.pki/nssdb");
    for (const auto& [folder, prefix] : kFirefoxHomes) {
        const std::string iniFolder = home + folder;
        paths.iniFolders.push_back(iniFolder);
        if (const Result<std::string> text =
                readRegularFile(iniFolder + "/profiles.ini", kMaxProfilesIniBytes)) {
            for (FirefoxProfile& profile : parseProfilesIni(*text, iniFolder)) {
                paths.databases.push_back(std::move(profile.path));
            }
        }
    }
    return paths;
}

StoreSources userNssStores(const std::string& home, Trace& trace, Trace* problems, bool* unlisted,
                           const FileCalls& calls) {
    StoreSources stores;
    if (home.empty()) {
        return stores;
    }
    stores.push_back(std::make_unique<NssDatabaseStore>("nssdb", LinuxLocation::CurrentUser,
                                                        home + "/.pki/nssdb", trace));
    std::set<std::string> names = {"nssdb"};

    for (const auto& [folder, prefix] : kFirefoxHomes) {
        const std::string iniFolder = home + folder;
        const std::string ini = iniFolder + "/profiles.ini";
        ReadFailure failure = ReadFailure::None;
        const Result<std::string> text =
            readRegularFile(ini, kMaxProfilesIniBytes, &failure, calls);
        if (!text) {
            if (failure != ReadFailure::Gone) {
                if (problems != nullptr) {
                    problems->errf("Skipped %s: %s\n", ini.c_str(), text.error().c_str());
                }
                if (unlisted != nullptr) {
                    *unlisted = true;
                }
            }
            continue;
        }
        for (FirefoxProfile& profile : parseProfilesIni(*text, iniFolder)) {
            // Names stay unique across locations even if profiles.ini repeats one.
            std::string name = prefix + profile.name;
            for (int n = 2; names.count(name) != 0; ++n) {
                name = prefix + profile.name + "-" + std::to_string(n);
            }
            names.insert(name);
            stores.push_back(std::make_unique<NssDatabaseStore>(name, LinuxLocation::CurrentUser,
                                                                std::move(profile.path), trace));
        }
    }
    return stores;
}

StoreSources systemNssStores(const RootDir& root, Trace& trace) {
    StoreSources stores;
    if (!root.exists("/etc/pki/nssdb")) {
        return stores;
    }
    if (Result<std::string> folder = root.real("/etc/pki/nssdb")) {
        stores.push_back(std::make_unique<NssDatabaseStore>("nssdb-system", LinuxLocation::System,
                                                            std::move(*folder), trace));
    }
    return stores;
}

}  // namespace kestrune
