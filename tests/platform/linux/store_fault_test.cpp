// Trust stores that change under a running scan: a store folder that disappears, and
// certificate files replaced or rewritten while the scan lists and reads them. The scan
// must skip what is gone with a diagnostic line, read every file it does read as one
// whole version, and run to its end. The changes are made at the stores' file calls, the
// moment another process could make them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "app/ports.h"
#include "baseline/baseline_storage.h"
#include "baseline/scan_cycle.h"
#include "inventory/scanner.h"
#include "platform/linux/stores/trust_store.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_program.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_desktop.h"
#include "ui/baseline_messages.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kBundle[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr char kAnchors[] = "/usr/local/share/ca-certificates";
constexpr char kBlocklist[] = "/etc/ca-certificates/trust-source/blocklist";

// Another process's change, made once on the scanning thread just before the stores
// open or list `path`.
struct Action {
    std::string path;
    std::function<void()> change;
    bool met = false;
};
Action* pending = nullptr;

void actBefore(const char* path) {
    if (pending != nullptr && !pending->met && pending->path == path) {
        pending->met = true;
        pending->change();
    }
}

// The kernel's calls, with the pending change made on cue.
const FileCalls kActingCalls = {
    [](const char* path, int flags) {
        actBefore(path);
        return ::open(path, flags);
    },
    [](int fd, struct stat* st) { return ::fstat(fd, st); },
    [](int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); },
    [](int fd) { return ::close(fd); },
    [](const char* path) {
        actBefore(path);
        return ::opendir(path);
    },
    [](DIR* dir) { return ::readdir(dir); },
    [](DIR* dir) { return ::closedir(dir); },
};

// The change pending for the scope.
class ActBefore {
  public:
    ActBefore(std::string path, std::function<void()> change)
        : action_{std::move(path), std::move(change)} {
        pending = &action_;
    }
    ActBefore(const ActBefore&) = delete;
    ActBefore& operator=(const ActBefore&) = delete;
    ~ActBefore() { pending = nullptr; }
    bool met() const { return action_.met; }

  private:
    Action action_;
};

struct Machine {
    Machine() {
        home = root.makeFolder("/home");
        bundle = root.write(kBundle, toPem(*alpha));
        anchors = root.makeFolder(kAnchors);
        root.write(std::string(kAnchors) + "/a.pem", toPem(*e1));
        root.write(std::string(kAnchors) + "/b.pem", toPem(*e2));
        root.write(std::string(kAnchors) + "/c.pem", toPem(*e3));
        root.write(std::string(kBlocklist) + "/blocked.pem", toPem(*blocked));
    }
    std::unique_ptr<StoreCatalogue> api(Trace& trace) const {
        PlatformOptions options;
        options.root = root.path();
        options.home = home;
        return makeTrustStoreCatalogue(options, trace, kActingCalls);
    }
    std::vector<std::string> scanNames(CaptureTrace& trace) const {
        KestruneState state;
        scan(state, *api(trace), trace);
        return names(state);
    }
    static std::vector<std::string> names(const KestruneState& state) {
        std::vector<std::string> out;
        for (const auto& r : rows(state)) {
            out.push_back(r.store + ":" + r.name);
        }
        return out;
    }

    TempDir root;
    std::string home;
    std::string bundle;
    std::string anchors;
    X509Ptr alpha = makeCertificate(simpleFields("Alpha CA", {0x0a}));
    X509Ptr e1 = makeCertificate(simpleFields("Epsilon One", {0x0e, 0x01}));
    X509Ptr e2 = makeCertificate(simpleFields("Epsilon Two", {0x0e, 0x02}));
    X509Ptr e3 = makeCertificate(simpleFields("Epsilon Three", {0x0e, 0x03}));
    X509Ptr blocked = makeCertificate(simpleFields("Blocked CA", {0x0b}));
};

const std::vector<std::string> kAll = {"ca-certificates:Alpha CA", "local-anchors:Epsilon One",
                                       "local-anchors:Epsilon Two", "local-anchors:Epsilon Three",
                                       "blocklist:Blocked CA"};

TEST(LinuxStoreFault, StoreFolderThatDisappearsDuringAScanIsSkippedAndTheScanGoesOn) {
    {
        SCOPED_TRACE("after its files were listed, while they are read");
        Machine m;
        CaptureTrace trace;
        // Once the folder's first file is read, before its second is opened: the other
        // two files go with it.
        const ActBefore gone(m.anchors + "/b.pem", [&] { fs::remove_all(m.anchors); });
        EXPECT_EQ(m.scanNames(trace),
                  (std::vector<std::string>{"ca-certificates:Alpha CA", "local-anchors:Epsilon One",
                                            "blocklist:Blocked CA"}));
        const std::string err = trace.errText();
        EXPECT_NE(err.find("Skipped " + m.anchors + "/b.pem: No such file or directory\n"),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("Skipped " + m.anchors + "/c.pem: No such file or directory\n"),
                  std::string::npos)
            << err;
        EXPECT_NE(trace.outText().find("Finished enumerating system stores."), std::string::npos);
        EXPECT_TRUE(gone.met());
    }
    {
        SCOPED_TRACE("after the store's listing, as it is opened");
        Machine m;
        CaptureTrace trace;
        const ActBefore gone(m.anchors, [&] { fs::remove_all(m.anchors); });
        EXPECT_EQ(m.scanNames(trace),
                  (std::vector<std::string>{"ca-certificates:Alpha CA", "blocklist:Blocked CA"}));
        EXPECT_NE(trace.errText().find("Skipped " + m.anchors + ": No such file or directory\n"),
                  std::string::npos)
            << trace.errText();
        EXPECT_TRUE(gone.met());
    }
}

// The same, inside the program's cycle: the certificates that went with the folder are
// reported missing, and the next cycle runs as usual.
TEST(LinuxStoreFault, FolderGoneMidCycleReportsItsCertificatesMissingAndTheProgramGoesOn) {
    Machine m;
    CaptureTrace trace;
    const auto api = m.api(trace);
    testing::FakeProgram program({.stores = api.get(), .trace = &trace});
    KestruneState& state = program.state;
    auto& desktop = program.desktop;  // answers OK, and No to saving
    CycleContext& context = program.context;
    std::shared_ptr<BaselineStore>& settingsKey = program.settingsKey;
    settingsKey = openSettingsKey(program.settings, desktop);
    scan(state, *api, trace);
    ASSERT_TRUE(saveBaseline(*settingsKey, state.mqsCertificates, 5));
    ASSERT_EQ(registry_settings_load(settingsKey.get(), state, desktop, trace), 1);
    ASSERT_EQ(Machine::names(state), kAll);

    {
        const ActBefore gone(m.anchors + "/b.pem", [&] { fs::remove_all(m.anchors); });
        scanCycle(context, 0);
        EXPECT_TRUE(gone.met());
    }
    auto boxes = desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text,
              "A certificate is missing from the \"$local-anchors\" Certificate Store\r\n\r\n"
              "Certificate Name: Epsilon Two \r\nSerial Number: 0e 02 ");
    EXPECT_EQ(state.iCertificateCountTotal_Registry, 5);

    desktop.clear();
    scanCycle(context, 0);
    boxes = desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[0].text.find("Certificate Name: Epsilon One \r\n"), std::string::npos);
}

TEST(LinuxStoreFault, FileReplacedOrCutAfterTheListingIsReadAsItIsWhenRead) {
    Machine m;
    const X509Ptr fresh = makeCertificate(simpleFields("Fresh CA", {0x0f}));
    CaptureTrace trace;
    // Once a.pem is read: b.pem replaced the way tools do it (a new file renamed over it),
    // c.pem cut in place half way through its PEM block.
    const ActBefore change(m.anchors + "/b.pem", [&] {
        const std::string side = m.root.path() + "/b.pem.new";
        std::ofstream(side, std::ios::binary) << toPem(*fresh);
        fs::rename(side, m.anchors + "/b.pem");
        const std::string pem = toPem(*m.e3);
        std::ofstream(m.anchors + "/c.pem", std::ios::binary | std::ios::trunc)
            << pem.substr(0, pem.size() / 2);
    });
    EXPECT_EQ(m.scanNames(trace),
              (std::vector<std::string>{"ca-certificates:Alpha CA", "local-anchors:Epsilon One",
                                        "local-anchors:Fresh CA", "blocklist:Blocked CA"}));
    EXPECT_NE(trace.errText().find("Skipped the certificate at line 1 of " + m.anchors +
                                   "/c.pem: no END line\n"),
              std::string::npos)
        << trace.errText();
    EXPECT_TRUE(change.met());
}

// Another process rewrites a certificate file over and over while scans read it. A file
// replaced by renaming is always read whole: exactly one of its versions. A file
// rewritten in place may be caught half written: then it is skipped with its line, but
// a record is only ever made of one whole version.
TEST(LinuxStoreFault, FileRewrittenWhileScansReadItGivesOneWholeVersionOrASkip) {
    Machine m;
    fs::remove(m.anchors + "/b.pem");
    fs::remove(m.anchors + "/c.pem");
    const X509Ptr shortName = makeCertificate(simpleFields("V1", {0x01}));
    const X509Ptr longName = makeCertificate(
        simpleFields("Version Two With A Much Longer Common Name", {0x02, 0x02, 0x02}));
    const std::string versions[2] = {toPem(*shortName), toPem(*longName)};
    const std::string file = m.anchors + "/a.pem";

    for (const bool byRename : {true, false}) {
        SCOPED_TRACE(byRename ? "replaced by renaming" : "rewritten in place");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << versions[0];
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (unsigned i = 0; !stop; ++i) {
                const std::string& content = versions[i % 2];
                if (byRename) {
                    const std::string side = m.root.path() + "/a.pem.new";  // not in the store
                    std::ofstream(side, std::ios::binary) << content;
                    fs::rename(side, file);
                } else {
                    const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
                    // Two writes, so a reader can fall between them.
                    const std::size_t half = content.size() / 2;
                    if (fd >= 0 && ::write(fd, content.data(), half) >= 0 &&
                        ::write(fd, content.data() + half, content.size() - half) >= 0) {
                    }
                    ::close(fd);
                }
            }
        });
        int whole = 0;
        int skipped = 0;
        for (int scan = 0; scan < 150; ++scan) {
            CaptureTrace trace;
            std::vector<std::string> seen;
            for (const auto& name : m.scanNames(trace)) {
                if (name.rfind("local-anchors:", 0) == 0) {
                    seen.push_back(name);
                }
            }
            EXPECT_LE(seen.size(), 1u);  // no ASSERT: the writer thread must be joined
            if (seen.size() != 1) {
                ++skipped;
                continue;
            }
            ++whole;
            EXPECT_TRUE(seen[0] == "local-anchors:V1" ||
                        seen[0] == "local-anchors:Version Two With A Much Longer Common Name")
                << seen[0];
        }
        stop = true;
        writer.join();
        if (byRename) {
            EXPECT_EQ(skipped, 0);
            EXPECT_EQ(whole, 150);
        }
    }
}

}  // namespace
}  // namespace kestrune::testing
