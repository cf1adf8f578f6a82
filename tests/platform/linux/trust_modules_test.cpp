// PKCS#11 module lists read as stores: p11-kit's module files and the pkcs11.txt of NSS
// databases (made with certutil and modutil), one record per module, the library it
// loads as the record's trust. Each case reads a store, changes its lists, reads again.
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/linux/stores/trust_store.h"
#include "platform/linux/watch/inotify_change_source.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/support/fake_cert_store.h"

namespace kestrune::testing {
namespace {

constexpr char kShared[] = "/usr/share/p11-kit/modules";
constexpr char kAdmin[] = "/etc/pkcs11/modules";
constexpr char kSystemList[] = "/etc/pki/nssdb/pkcs11.txt";
// A PKCS#11 library every NSS install has: modutil loads what it adds.
constexpr char kLibrary[] = "libnssckbi.so";

struct Tree {
    TempDir root;
    TempDir home;
};

// A module record as the tests compare it.
struct Module {
    std::string name;
    std::string trust;
    std::string sha256;
    std::string md5;
    std::string serial;  // least significant byte first
    bool operator==(const Module&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Module& m) {
    return out << m.name << " [" << m.trust << "] " << m.sha256;
}

// A store as read: its modules, or why it was not opened.
struct Read {
    std::vector<Module> modules;
    std::string failure;  // empty: opened
    bool unreadable = false;
};

std::string hexDigest(const EVP_MD* md, const std::string& data, std::size_t take = 64) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), out, &size, md, nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size && hex.size() < take; ++i) {
        hex += {kHex[out[i] >> 4], kHex[out[i] & 15]};
    }
    return hex;
}

// The record a module on `list` must give: identity from the list and the name, subject
// hash and serial from the name alone.
Module expected(const std::string& list, const std::string& name, const std::string& trust) {
    const std::string marker("pkcs11-module\0", 14);
    const std::string serial = hexDigest(EVP_sha256(), name, 16);
    std::string reversed;
    for (std::size_t i = serial.size(); i >= 2; i -= 2) {
        reversed += serial.substr(i - 2, 2);
    }
    return Module{"module " + name, trust, hexDigest(EVP_sha256(), marker + list + '\0' + name),
                  hexDigest(EVP_md5(), marker + name), reversed};
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        text += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    }
    return text;
}

Read readStore(const Tree& tree, const std::string& store, const FileCalls& calls) {
    CaptureTrace trace;
    PlatformOptions options;
    options.root = tree.root.path();
    options.home = tree.home.path();
    const auto catalogue = makeTrustStoreCatalogue(options, trace, calls);
    OpenedStore opened = catalogue->openStore(store);
    if (!opened) {
        return Read{{}, opened.error(), opened.unreadable()};
    }
    Read read;
    for (Result<bool> more = opened.reader().next(); more.ok() && *more;
         more = opened.reader().next()) {
        const CertificateFacts facts = opened.reader().facts();
        EXPECT_TRUE(facts.der.empty());
        read.modules.push_back(Module{facts.displayName ? *facts.displayName : "", facts.trust,
                                      facts.sha256 ? fingerprintHex(*facts.sha256) : "",
                                      facts.subjectNameHash ? hex(*facts.subjectNameHash) : "",
                                      hex(facts.serialLittleEndian)});
    }
    return read;
}

void run(const std::string& command) {
    ASSERT_EQ(std::system((command + " </dev/null >/dev/null 2>&1").c_str()), 0) << command;
}
void makeDatabase(const std::string& folder) {
    std::filesystem::create_directories(folder);
    run("certutil -N -d 'sql:" + folder + "' --empty-password");
}
void addModule(const std::string& folder, const std::string& name) {
    run("modutil -force -add '" + name + "' -libfile " + kLibrary + " -dbdir 'sql:" + folder + "'");
}
void deleteModule(const std::string& folder, const std::string& name) {
    run("modutil -force -delete '" + name + "' -dbdir 'sql:" + folder + "'");
}

// Opening any file named "token.module" is refused, as for a file of mode 000 read by
// someone other than root.
const FileCalls kRefusingCalls = {
    [](const char* path, int flags) {
        if (std::string_view(path).ends_with("/token.module")) {
            errno = EACCES;
            return -1;
        }
        return ::open(path, flags);
    },
    systemFileCalls().fstat,
    systemFileCalls().read,
    systemFileCalls().close,
    systemFileCalls().opendir,
    systemFileCalls().readdir,
    systemFileCalls().closedir,
};

struct Case {
    const char* what;
    std::string store;
    std::function<void(const Tree&)> before;
    std::function<void(const Tree&)> change;
    std::function<Read(const Tree&)> first;       // what the store holds before the change
    std::function<Read(const Tree&)> then;        // and after it
    const FileCalls* calls = &systemFileCalls();  // for the read after the change
};

std::string shared(const std::string& file) {
    return std::string(kShared) + "/" + file;
}
std::string admin(const std::string& file) {
    return std::string(kAdmin) + "/" + file;
}
Read holding(std::vector<Module> modules) {
    return Read{std::move(modules), "", false};
}
Read failing(std::string partOfMessage, bool unreadable) {
    return Read{{}, std::move(partOfMessage), unreadable};
}

TEST(TrustModules, ListedModulesAreRecordsAndTheirLibraryIsTheirTrust) {
    const std::string userDb = "/.pki/nssdb";
    const std::vector<Case> cases = {
        {"a module file added is a new record", "trust-modules",
         [](const Tree& t) {
             t.root.write(shared("p11-kit-trust.module"),
                          "# the distribution's\nmodule: p11-kit-trust.so\ntrust-policy: yes\n");
             t.root.write(shared("README"), "module: not-a-module.so\n");
         },
         [](const Tree& t) {
             t.root.write(admin("rogue.module"),
                          "module:/opt/rogue/librogue.so\r\ndisable-in: firefox, chromium\r\n");
         },
         [](const Tree&) {
             return holding({expected(shared("p11-kit-trust.module"), "p11-kit-trust",
                                      "library p11-kit-trust.so (trust policy)")});
         },
         [](const Tree&) {
             return holding(
                 {expected(shared("p11-kit-trust.module"), "p11-kit-trust",
                           "library p11-kit-trust.so (trust policy)"),
                  expected(admin("rogue.module"), "rogue",
                           "library /opt/rogue/librogue.so (disabled in firefox, chromium)")});
         }},
        {"a module pointed at another library keeps its record, with another trust",
         "trust-modules",
         [](const Tree& t) {
             t.root.write(admin("opensc.module"), "module: opensc-pkcs11.so\nenable-in: firefox\n");
         },
         [](const Tree& t) { t.root.write(admin("opensc.module"), "module: /tmp/evil.so\n"); },
         [](const Tree&) {
             return holding({expected(admin("opensc.module"), "opensc",
                                      "library opensc-pkcs11.so (enabled only in firefox)")});
         },
         [](const Tree&) {
             return holding({expected(admin("opensc.module"), "opensc", "library /tmp/evil.so")});
         }},
        {"the system database's modules: one replaced by another", "trust-modules",
         [](const Tree& t) {
             makeDatabase(t.root.path() + "/etc/pki/nssdb");
             addModule(t.root.path() + "/etc/pki/nssdb", "Extra Roots");
         },
         [](const Tree& t) {
             deleteModule(t.root.path() + "/etc/pki/nssdb", "Extra Roots");
             addModule(t.root.path() + "/etc/pki/nssdb", "Smart Card");
         },
         [](const Tree&) {
             return holding({expected(kSystemList, "Extra Roots", "library libnssckbi.so")});
         },
         [](const Tree&) {
             return holding({expected(kSystemList, "Smart Card", "library libnssckbi.so")});
         }},
        {"a user database made with a module: its own store", "modules-nssdb", [](const Tree&) {},
         [&](const Tree& t) {
             makeDatabase(t.home.path() + userDb);
             addModule(t.home.path() + userDb, "Token");
         },
         [](const Tree&) { return failing("no such database", false); },
         [&](const Tree& t) {
             return holding({expected(t.home.path() + userDb + "/pkcs11.txt", "Token",
                                      "library libnssckbi.so")});
         }},
        {"a module file that cannot be read leaves the store unreadable", "trust-modules",
         [](const Tree& t) { t.root.write(admin("token.module"), "module: token.so\n"); },
         [](const Tree&) {},
         [](const Tree&) {
             return holding({expected(admin("token.module"), "token", "library token.so")});
         },
         [](const Tree& t) { return failing(t.root.path() + admin("token.module") + ": ", true); },
         &kRefusingCalls},
        {"a module file over the size limit leaves the store unreadable", "trust-modules",
         [](const Tree& t) { t.root.write(admin("a.module"), "module: a.so\n"); },
         [](const Tree& t) {
             t.root.write(admin("big.module"), "module: big.so\n" + std::string(2 << 20, '#'));
         },
         [](const Tree&) { return holding({expected(admin("a.module"), "a", "library a.so")}); },
         [](const Tree& t) {
             return failing(t.root.path() + admin("big.module") + ": larger than", true);
         }},
        {"no module folder: absent; an empty one: no records", "trust-modules", [](const Tree&) {},
         [](const Tree& t) { t.root.makeFolder(kAdmin); },
         [](const Tree&) { return failing("no module list", false); },
         [](const Tree&) { return holding({}); }},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Tree tree;
        c.before(tree);
        const auto check = [&](const Read& read, const Read& want) {
            EXPECT_EQ(read.modules, want.modules);
            EXPECT_EQ(read.unreadable, want.unreadable);
            EXPECT_NE(read.failure.find(want.failure), std::string::npos)
                << read.failure << " lacks " << want.failure;
            EXPECT_EQ(read.failure.empty(), want.failure.empty()) << read.failure;
        };
        check(readStore(tree, c.store, systemFileCalls()), c.first(tree));
        c.change(tree);
        check(readStore(tree, c.store, *c.calls), c.then(tree));
    }

    // Where the stores are listed: the system's with the system stores, each user
    // database's after the user's databases.
    const Tree tree;
    CaptureTrace trace;
    PlatformOptions options;
    options.root = tree.root.path();
    options.home = tree.home.path();
    ListingRecorder listed;
    ASSERT_TRUE(makeTrustStoreCatalogue(options, trace)->listLocations(listed).ok());
    const auto at = [&](const std::string& event) {
        return std::find(listed.events.begin(), listed.events.end(), event) - listed.events.begin();
    };
    EXPECT_LT(at("store trust-modules"), at("location CurrentUser"));
    EXPECT_LT(at("store nssdb"), at("store modules-nssdb"));
    EXPECT_LT(at("location CurrentUser"), at("store modules-nssdb"));
    EXPECT_LT(at("store modules-nssdb"), static_cast<std::ptrdiff_t>(listed.events.size()));

    // A module file added wakes the watcher (its folder is there first, so nothing but a
    // watch on the folder itself can see it).
    tree.root.makeFolder(kAdmin);
    const auto source = makeChangeSource(options);
    tree.root.write(admin("late.module"), "module: late.so\n");
    EXPECT_EQ(source->waitForChange(30'000), ChangeSource::Wake::Changed);
}

}  // namespace
}  // namespace kestrune::testing
