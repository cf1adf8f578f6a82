// The inotify source against real folders under a temp root and home: what the updates
// of each trust source do to its files wakes a wait, what the scanner never reads does not.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/ports.h"
#include "tests/platform/linux/cert_maker.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::makeCertificate;
using testing::makeNssDatabase;
using testing::simpleFields;
using testing::TempDir;
using testing::toPem;
using Wake = ChangeSource::Wake;

// Bounds for what never comes, not guesses at how long things take.
constexpr std::uint32_t kComes = 30'000;
constexpr std::uint32_t kQuiet = 300;

struct Watched {
    TempDir root;
    TempDir home;
    std::unique_ptr<ChangeSource> source;

    void start() { source = makeChangeSource(PlatformOptions{root.path(), home.path()}); }
    // Whether the next wait says "changed", then what the same change still has queued.
    bool changed() {
        const bool was = source->waitForChange(kComes) == Wake::Changed;
        while (source->waitForChange(kQuiet) == Wake::Changed) {
        }
        return was;
    }
    bool quiet() { return source->waitForChange(kQuiet) == Wake::TimedOut; }
};

std::string pem(const std::string& name, std::uint8_t serial) {
    return toPem(*makeCertificate(simpleFields(name, {serial})));
}

TEST(InotifySource, TheBundleReplacedByRenameWakesAndItsNeighboursDoNot) {
    Watched w;
    w.root.write("/etc/ssl/certs/ca-certificates.crt", pem("A", 1));
    w.start();
    EXPECT_TRUE(w.quiet());

    // As update-ca-certificates does: a new file, renamed over the old one.
    w.root.write("/etc/ssl/certs/ca-certificates.crt.new", pem("B", 2));
    EXPECT_TRUE(w.quiet()) << "a file the scanner never reads";
    fs::rename(w.root.path() + "/etc/ssl/certs/ca-certificates.crt.new",
               w.root.path() + "/etc/ssl/certs/ca-certificates.crt");
    EXPECT_TRUE(w.changed());
    w.root.write("/etc/hostname", "box\n");
    EXPECT_TRUE(w.quiet());

    // A bundle that did not exist at start, in a folder that did not either, and that is
    // a link into another folder whose file updates replace.
    w.root.write("/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", pem("C", 3));
    w.root.makeFolder("/etc/pki/tls/certs");
    fs::create_symlink("/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
                       w.root.path() + "/etc/pki/tls/certs/ca-bundle.crt");
    EXPECT_TRUE(w.changed());
    w.root.write("/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem.tmp", pem("D", 4));
    fs::rename(w.root.path() + "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem.tmp",
               w.root.path() + "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem");
    EXPECT_TRUE(w.changed()) << "the file the link leads to";
}

TEST(InotifySource, AnchorFoldersAreWatchedWithTheirSubfoldersThroughDeletionAndRebirth) {
    Watched w;
    w.root.makeFolder("/usr/local/share/ca-certificates");
    w.start();

    // A change made while nobody waits is kept for the next wait.
    w.root.write("/usr/local/share/ca-certificates/new.crt", pem("A", 1));
    EXPECT_TRUE(w.changed());
    w.root.makeFolder("/usr/local/share/ca-certificates/corp");
    EXPECT_TRUE(w.changed());
    w.root.write("/usr/local/share/ca-certificates/corp/deep.crt", pem("B", 2));
    EXPECT_TRUE(w.changed()) << "a file in a folder made after the watch began";

    fs::remove_all(w.root.path() + "/usr/local/share/ca-certificates");
    EXPECT_TRUE(w.changed());
    w.root.makeFolder("/usr/local/share/ca-certificates");
    EXPECT_TRUE(w.changed());
    w.root.write("/usr/local/share/ca-certificates/again.crt", pem("C", 3));
    EXPECT_TRUE(w.changed()) << "the folder made again is watched again";

    // A blocklist folder whose whole path is new.
    w.root.write("/etc/pki/ca-trust/source/blocklist/bad.pem", pem("D", 4));
    EXPECT_TRUE(w.changed());
    w.root.write("/etc/pki/ca-trust/source/blocklist/worse.pem", pem("E", 5));
    EXPECT_TRUE(w.changed());
}

TEST(InotifySource, NssDatabasesChangedByCertutilAndNewFirefoxProfilesWake) {
    Watched w;
    const std::string nssdb = w.home.path() + "/.pki/nssdb";
    ASSERT_TRUE(makeNssDatabase(nssdb, {}));
    w.start();
    EXPECT_TRUE(w.quiet());

    w.home.write("/import.pem", pem("Added by certutil", 7));
    ASSERT_EQ(std::system(("certutil -A -d 'sql:" + nssdb + "' -n added -t C,, -i '" +
                           w.home.path() + "/import.pem' >/dev/null 2>&1")
                              .c_str()),
              0);
    EXPECT_TRUE(w.changed());

    // A profile listed before its folder exists, then made with its database.
    w.home.write("/.mozilla/firefox/profiles.ini",
                 "[Profile0]\nName=work\nIsRelative=1\nPath=abc.work\n");
    EXPECT_TRUE(w.changed());
    ASSERT_TRUE(makeNssDatabase(w.home.path() + "/.mozilla/firefox/abc.work", {}));
    EXPECT_TRUE(w.changed());
    const std::string profile = w.home.path() + "/.mozilla/firefox/abc.work";
    ASSERT_EQ(std::system(("certutil -A -d 'sql:" + profile + "' -n added -t C,, -i '" +
                           w.home.path() + "/import.pem' >/dev/null 2>&1")
                              .c_str()),
              0);
    EXPECT_TRUE(w.changed());
}

TEST(InotifySource, StopEndsAWaitFromAnotherThreadAndEveryLaterOne) {
    Watched w;
    w.start();
    EXPECT_TRUE(w.source->problems().empty());
    std::thread stopper([&w] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        w.source->stop();
    });
    EXPECT_EQ(w.source->waitForChange(600'000), Wake::Stopped);
    stopper.join();
    w.root.write("/usr/local/share/ca-certificates/late.crt", pem("A", 1));
    EXPECT_EQ(w.source->waitForChange(600'000), Wake::Stopped);
}

}  // namespace
}  // namespace kestrune
