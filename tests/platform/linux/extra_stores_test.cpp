// The application stores (Java keystores, certifi bundles, stores.d) as kestrune-check
// lists them under temp roots. Every certificate is held to OpenSSL's SHA-256 of the
// certificate the keystore or bundle was made from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "tests/platform/linux/cert_maker.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kJavaCacerts[] = "/etc/ssl/certs/java/cacerts";
constexpr char kSystemBundle[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr char kConfig[] = "/etc/kestrune/stores.d/x.conf";

// One line of the list: location, store, SHA-256; or "unreadable", store, reason.
using Line = std::tuple<std::string, std::string, std::string>;

struct Listed {
    std::vector<Line> lines;
    int status = -1;
    std::string err;
};

Listed listRoot(const std::string& root, const std::string& environment = "") {
    const ProgramRun run = runCheck("--list --trace --root " + root, environment);
    Listed listed{{}, run.status, run.err};
    std::istringstream in(run.out);
    for (std::string text; std::getline(in, text);) {
        std::vector<std::string> fields;
        std::istringstream line(text);
        for (std::string field; std::getline(line, field, '\t');) {
            fields.push_back(field);
        }
        if (fields.size() == 4 && fields[0] == "unreadable") {
            listed.lines.emplace_back(fields[0], fields[2], fields[3]);
        } else if (fields.size() >= 6) {
            listed.lines.emplace_back(fields[0], fields[1], fields[5]);
        }
    }
    return listed;
}

Line app(const std::string& store, const X509& cert) {
    return {"Applications", store, expectedSha256Hex(cert)};
}
Line sys(const X509& cert) {
    return {"System", "ca-certificates", expectedSha256Hex(cert)};
}
Line unreadable(const std::string& store, const std::string& reason = "") {
    return {"unreadable", store, reason};
}

void link(const TempDir& root, const std::string& target, const std::string& at) {
    fs::create_directories(fs::path(root.path() + at).parent_path());
    fs::create_symlink(target, root.path() + at);
}

std::string fileBytes(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// Keystores made once with keytool (each run starts a JVM).
struct Keystores {
    TempDir dir;
    X509Ptr alpha = makeCertificate(simpleFields("Java Alpha", {0x80, 0x11}));
    X509Ptr beta = makeCertificate(simpleFields("Java Beta", {0x12}));
    std::string failure;

    Keystores() {
        dir.write("/alpha.pem", toPem(*alpha));
        dir.write("/beta.pem", toPem(*beta));
        for (const auto& [store, type, pass, cert] : {
                 std::tuple{"jks", "JKS", "changeit", "alpha"},
                 std::tuple{"jks", "JKS", "changeit", "beta"},
                 std::tuple{"jks-other", "JKS", "other-pass", "beta"},
                 std::tuple{"p12", "PKCS12", "changeit", "beta"},
                 std::tuple{"p12-other", "PKCS12", "other-pass", "alpha"},
             }) {
            const std::string command = std::string("keytool -importcert -noprompt -alias ") +
                                        cert + " -file " + path(cert) + ".pem -storetype " + type +
                                        " -keystore " + path(store) + " -storepass " + pass +
                                        " >/dev/null 2>&1";
            if (std::system(command.c_str()) != 0) {
                failure = "keytool failed: " + command;
                return;
            }
        }
    }
    std::string path(const std::string& name) const { return dir.path() + "/" + name; }
    std::string bytes(const std::string& name) const { return fileBytes(path(name)); }
};

const Keystores& keystores() {
    static const Keystores made;
    return made;
}

struct Case {
    Case(const char* w, std::function<void(const TempDir&)> l, std::vector<Line> e,
         std::string t = "")
        : what(w), lay(std::move(l)), expected(std::move(e)), told(std::move(t)) {}
    const char* what;
    std::function<void(const TempDir&)> lay;
    std::vector<Line> expected;  // reasons of unreadable lines: a part of them
    std::string told;            // on the trace
};

void check(const Case& c, const std::string& environment = "") {
    SCOPED_TRACE(c.what);
    TempDir root;
    c.lay(root);
    Listed listed = listRoot(root.path(), environment);
    for (auto& [kind, store, text] : listed.lines) {
        for (const Line& want : c.expected) {
            if (kind == "unreadable" && std::get<1>(want) == store &&
                text.find(std::get<2>(want)) != std::string::npos) {
                text = std::get<2>(want);
            }
        }
    }
    // A store's certificates come in no set order.
    std::vector<Line> expected = c.expected;
    std::sort(expected.begin(), expected.end());
    std::sort(listed.lines.begin(), listed.lines.end());
    EXPECT_EQ(listed.lines, expected) << listed.err;
    const bool incomplete = std::any_of(c.expected.begin(), c.expected.end(), [](const Line& l) {
        return std::get<0>(l) == "unreadable";
    });
    EXPECT_EQ(listed.status, incomplete ? 3 : 0);
    EXPECT_NE(listed.err.find(c.told), std::string::npos) << listed.err;
}

TEST(ApplicationStores, JavaKeystores) {
    const Keystores& k = keystores();
    ASSERT_EQ(k.failure, "");
    const std::string jvm = "/usr/lib/jvm/java-17/lib/security/cacerts";
    const std::string own = "/usr/lib/jvm/temurin-25/lib/security/cacerts";
    const Case cases[] = {
        {"Debian's cacerts, with a JVM whose cacerts links to it",
         [&](const TempDir& r) {
             r.write(kJavaCacerts, k.bytes("jks"));
             link(r, kJavaCacerts, jvm);
         },
         {app("java:/etc/ssl/certs/java/cacerts", *k.alpha),
          app("java:/etc/ssl/certs/java/cacerts", *k.beta)},
         "Not listed: " + jvm + " is " + kJavaCacerts + ", listed as java:" + kJavaCacerts},
        {"a JVM's own PKCS#12 cacerts",
         [&](const TempDir& r) { r.write(own, k.bytes("p12")); },
         {app("java:" + own, *k.beta)}},
        {"a damaged copy is unreadable, not missing",
         [&](const TempDir& r) {
             const std::string bytes = k.bytes("jks");
             r.write(kJavaCacerts, bytes.substr(0, bytes.size() - 30));
         },
         {unreadable("java:/etc/ssl/certs/java/cacerts", kJavaCacerts)}},
        {"a PKCS#12 cacerts under another password",
         [&](const TempDir& r) { r.write(own, k.bytes("p12-other")); },
         {unreadable("java:" + own)}},
        {"a keystore stores.d names, with its password",
         [&](const TempDir& r) {
             r.write("/opt/app/trust.jks", k.bytes("jks-other"));
             r.write(kConfig, "keystore /opt/app/trust.jks password=other-pass\n");
         },
         {app("java:/opt/app/trust.jks", *k.beta)}},
        {"the same with a wrong password",
         [&](const TempDir& r) {
             r.write("/opt/app/trust.jks", k.bytes("jks-other"));
             r.write(kConfig, "keystore /opt/app/trust.jks password=wrong\n");
         },
         {unreadable("java:/opt/app/trust.jks", "/opt/app/trust.jks")}},
        {"no keystore at all", [](const TempDir&) {}, {}},
    };
    for (const Case& c : cases) {
        check(c);
    }
}

TEST(ApplicationStores, CertifiBundles) {
    const X509Ptr system = makeCertificate(simpleFields("System Root", {0x21}));
    const X509Ptr a = makeCertificate(simpleFields("Certifi A", {0x22}));
    const X509Ptr b = makeCertificate(simpleFields("Certifi B", {0x80, 0x23}));
    const std::string venv = "/srv/venvs/app/lib/python3.11/site-packages/certifi/cacert.pem";
    const std::string local = "/usr/local/lib/python3.12/site-packages/certifi/cacert.pem";
    // Names past 63 UTF-16 units: the first 8 hex digits of `printf %s PATH | sha256sum`,
    // then the tail of the path that fits.
    const std::string venvName = "certifi:b71452b9…ib/python3.11/site-packages/certifi/cacert.pem";
    const std::string localName = "certifi:a8ac20a8…ib/python3.12/site-packages/certifi/cacert.pem";
    const std::string tail = "/lib/python3/site-packages/certifi/cacert.pem";
    const std::string debian = "/usr/lib/python3/dist-packages/certifi/cacert.pem";
    const auto withSystem = [&](std::function<void(const TempDir&)> more) {
        return [&, more](const TempDir& r) {
            r.write(kSystemBundle, toPem(*system));
            more(r);
        };
    };
    const Case cases[] = {
        {"a virtual environment in a folder stores.d names; a folder without pyvenv.cfg is none",
         withSystem([&](const TempDir& r) {
             r.write(kConfig, "venvs /srv/venvs\n");
             r.write("/srv/venvs/app/pyvenv.cfg", "home = /usr/bin\n");
             r.write(venv, toPem(*a) + toPem(*b));
             r.write("/srv/venvs/plain/lib/python3.11/site-packages/certifi/cacert.pem", toPem(*b));
         }),
         {sys(*system), app(venvName, *a), app(venvName, *b)}},
        {"the folder named is a virtual environment itself",
         withSystem([&](const TempDir& r) {
             r.write(kConfig, "venvs /opt/tool\n");
             r.write("/opt/tool/pyvenv.cfg", "");
             r.write("/opt/tool/lib/python3.13/site-packages/certifi/cacert.pem", toPem(*a));
         }),
         {sys(*system),
          app("certifi:85103c43…ib/python3.13/site-packages/certifi/cacert.pem", *a)}},
        {"Debian's certifi links to the system bundle: not listed twice",
         withSystem([&](const TempDir& r) { link(r, kSystemBundle, debian); }),
         {sys(*system)},
         "Not listed: " + debian + " is " + kSystemBundle + ", listed as ca-certificates"},
        {"one pip installed, with its own bundle",
         withSystem([&](const TempDir& r) { r.write(local, toPem(*b)); }),
         {sys(*system), app(localName, *b)}},
        {"long paths alike at the end: each name its own; a character of two units not cut",
         withSystem([&](const TempDir& r) {
             r.write(kConfig, "venvs /srv/venvs\n");
             for (const char* venv : {"/srv/venvs/x\U0001F600", "/srv/venvs/y\U0001F600"}) {
                 r.write(std::string(venv) + "/pyvenv.cfg", "");
             }
             r.write("/srv/venvs/x\U0001F600" + tail, toPem(*a));
             r.write("/srv/venvs/y\U0001F600" + tail, toPem(*b));
         }),
         {sys(*system), app("certifi:50cbd732…" + tail, *a), app("certifi:56d2ac03…" + tail, *b)},
         std::string("/srv/venvs/x\U0001F600") + tail},
    };
    for (const Case& c : cases) {
        check(c);
    }
}

TEST(ApplicationStores, ConfigurationFiles) {
    const X509Ptr a = makeCertificate(simpleFields("Config A", {0x31}));
    const X509Ptr b = makeCertificate(simpleFields("Config B", {0x32}));
    const X509Ptr c = makeCertificate(simpleFields("Config C", {0x33}));
    const auto files = [&](const TempDir& r) {
        r.write("/opt/a.pem", toPem(*a));
        r.write("/opt/b.pem", toPem(*b));
        r.write("/opt/certs/sub/c.crt", toDer(*c));
    };
    const std::string bad = std::string("config:") + kConfig;
    const Case cases[] = {
        {"a bad kind is named by file and line, the other lines apply",
         [&](const TempDir& r) {
             files(r);
             r.write(kConfig,
                     "bundle /opt/a.pem\n# comment\n  bundel /opt/b.pem\n\nfolder /opt/certs\n");
         },
         {app("bundle:/opt/a.pem", *a), app("folder:/opt/certs", *c),
          unreadable(bad, std::string(kConfig) + ":3: unknown kind \"bundel\"")},
         std::string(kConfig) + ":3: unknown kind \"bundel\"\n"},
        {"every bad line is named",
         [&](const TempDir& r) {
             files(r);
             r.write(
                 kConfig,
                 "keystore\nbundle opt/a.pem\nbundle /opt/a.pem extra\r\nbundle /opt/b.pem # b\n");
         },
         {app("bundle:/opt/b.pem", *b),
          unreadable(bad, std::string(kConfig) + ":1: no path after \"keystore\"; " + kConfig +
                              ":2: the path \"opt/a.pem\" is not absolute; " + kConfig +
                              ":3: unexpected \"extra\" after the path")}},
        {"files in name order, a store named twice listed once, a glob in name order",
         [&](const TempDir& r) {
             files(r);
             r.write("/etc/kestrune/stores.d/b.conf", "bundle /opt/a.pem\n");
             r.write("/etc/kestrune/stores.d/a.conf", "bundle /opt/*.pem\n");
             r.write("/etc/kestrune/stores.d/c.conf.off", "bundle /opt/certs/sub/c.crt\n");
         },
         {app("bundle:/opt/a.pem", *a), app("bundle:/opt/b.pem", *b)},
         "Not listed again: bundle:/opt/a.pem\n"},
        {"a path with nothing there is a store without certificates",
         [&](const TempDir& r) { r.write(kConfig, "bundle /opt/none.pem\n"); },
         {},
         "The bundle:/opt/none.pem store could not be opened: /opt/none.pem: nothing there"},
    };
    for (const Case& one : cases) {
        check(one);
    }

    // The user's own, in the home folder, on this machine's root.
    TempDir home;
    const std::string own = home.path() + "/ca/own.pem";
    home.write("/ca/own.pem", toPem(*b));
    home.write("/.config/kestrune/stores.d/mine.conf", "bundle " + own + "\n");
    check(Case("the user's configuration", files, {app("bundle:" + own, *b)}),
          "HOME=" + home.path());
}

}  // namespace
}  // namespace kestrune::testing
