// The inotify source against real folders under a temp root and home: what the updates
// of each trust source do to its files wakes a wait, what the scanner never reads does not.
#include <sys/inotify.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/ports.h"
#include "platform/linux/watch/inotify_change_source.h"
#include "platform/platform.h"
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
    // The same trust sources named as this machine names them: links resolve against
    // the machine's own root, as they do without --root.
    void startOnOwnRoot(InotifyTuning tuning = {}) {
        const PlatformOptions options{root.path(), home.path()};
        source = makeInotifyChangeSource(
            [options] {
                std::vector<WatchTarget> targets = trustSourceTargets(options);
                for (WatchTarget& target : targets) {
                    if (!target.root.empty()) {
                        target.folder = options.root + target.folder;
                        target.root.clear();
                    }
                }
                return targets;
            },
            std::move(tuning));
    }
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

// Links as Fedora-like layouts and administrators make them: each link's place, where it
// points (a machine path), and the file it leads to; then the first link pointed at
// `retarget`, which leads to `newFile`.
struct LinkLayout {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;
    std::string file;
    std::string retarget;
    std::string newFile;
};

const LinkLayout kLinkLayouts[] = {
    {"a bundle that is a link into ca-trust/extracted",
     {{"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem"}},
     "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
     "/srv/other/bundle.pem",
     "/srv/other/bundle.pem"},
    {"a chain of links, one of them relative",
     {{"/etc/ssl/certs/ca-certificates.crt", "/etc/alternatives/ca-bundle"},
      {"/etc/alternatives/ca-bundle", "../trust/bundle.pem"}},
     "/etc/trust/bundle.pem",
     "/opt/trust/second.pem",
     "/opt/trust/second.pem"},
    {"a folder on the way that is a link",
     {{"/etc/ssl/certs", "/etc/pki/tls/certs"}},
     "/etc/pki/tls/certs/ca-certificates.crt",
     "/srv/certs",
     "/srv/certs/ca-certificates.crt"},
    {"an anchor that is a link to a file kept elsewhere",
     {{"/usr/local/share/ca-certificates/corp.crt", "/srv/pki/corp.pem"}},
     "/srv/pki/corp.pem",
     "/srv/pki/corp-2026.pem",
     "/srv/pki/corp-2026.pem"},
    {"an anchors folder that is a link",
     {{"/usr/local/share/ca-certificates", "/srv/anchors"}},
     "/srv/anchors/corp.crt",
     "/srv/anchors-new",
     "/srv/anchors-new/corp.crt"},
};

TEST(InotifySource, LinksAreWatchedWhereTheyLeadOnTheOwnRootAndUnderARoot) {
    for (const bool ownRoot : {false, true}) {
        for (const LinkLayout& layout : kLinkLayouts) {
            SCOPED_TRACE(std::string(layout.what) + (ownRoot ? ", own root" : ", --root"));
            Watched w;
            const std::string& top = w.root.path();
            // Absolute targets name the machine inside the root; on the own root, its path.
            auto link = [&](const std::string& place, const std::string& target) {
                const std::string to = target[0] == '/' && ownRoot ? top + target : target;
                const std::string temp = top + place + ".new-link";
                fs::create_directories(fs::path(top + place).parent_path());
                fs::create_symlink(to, temp);
                fs::rename(temp, top + place);  // as ln -sf does it, never missing
            };
            w.root.write(layout.file, pem("A", 1));
            for (const auto& [place, target] : layout.links) {
                link(place, target);
            }
            ownRoot ? w.startOnOwnRoot() : w.start();
            EXPECT_TRUE(w.quiet());

            std::ofstream(top + layout.file, std::ios::app) << pem("B", 2);
            EXPECT_TRUE(w.changed()) << "rewritten in place";
            w.root.write("/var/tmp/replacement.pem", pem("C", 3));
            fs::rename(top + "/var/tmp/replacement.pem", top + layout.file);
            EXPECT_TRUE(w.changed()) << "replaced by rename";

            w.root.write(layout.newFile, pem("D", 4));
            EXPECT_TRUE(w.quiet()) << "nothing leads there yet";
            link(layout.links.front().first, layout.retarget);
            EXPECT_TRUE(w.changed()) << "the link retargeted";
            std::ofstream(top + layout.newFile, std::ios::app) << pem("E", 5);
            EXPECT_TRUE(w.changed()) << "where it leads now";
            std::ofstream(top + layout.file, std::ios::app) << pem("F", 6);
            EXPECT_TRUE(w.quiet()) << "where it no longer leads";
        }
    }
}

TEST(InotifySource, AFolderOrOneAboveItDeletedAndMadeAgainAtAnyDepthIsWatchedAgain) {
    const std::string anchors = "/usr/local/share/ca-certificates";
    struct Case {
        const char* gone;
        bool byRename;  // a tree prepared elsewhere and renamed into place
    };
    for (const Case& c : {Case{"/usr/local/share/ca-certificates", false},
                          Case{"/usr/local/share", false}, Case{"/usr", false},
                          Case{"/usr/local/share/ca-certificates", true}, Case{"/usr", true}}) {
        SCOPED_TRACE(std::string(c.gone) + (c.byRename ? " renamed back" : " made again"));
        Watched w;
        w.root.write(anchors + "/a/b/old.crt", pem("A", 1));
        w.start();
        fs::remove_all(w.root.path() + c.gone);
        EXPECT_TRUE(w.changed());
        if (c.byRename) {
            const std::string below = anchors.substr(std::string(c.gone).size());
            w.root.makeFolder("/staging" + below + "/a/b/c/d");
            fs::rename(w.root.path() + "/staging", w.root.path() + c.gone);
        } else {
            w.root.makeFolder(anchors + "/a/b/c/d");
        }
        EXPECT_TRUE(w.changed());
        w.root.write(anchors + "/a/b/c/d/deep.crt", pem("B", 2));
        EXPECT_TRUE(w.changed()) << "the deepest folder is watched again";
        w.root.write(anchors + "/a/new.crt", pem("C", 3));
        EXPECT_TRUE(w.changed());
        EXPECT_TRUE(w.source->problems().empty());
    }
}

TEST(InotifySource, ALostQueueRebuildsTheWatchesAndCountsAsAChange) {
    std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
    long limit = 0;
    if (!(limitFile >> limit) || limit > 200'000) {
        GTEST_SKIP() << "the event queue is too long to fill here";
    }
    Watched w;
    w.root.makeFolder("/usr/local/share/ca-certificates");
    w.start();
    // Three events per file, nobody reading: the kernel drops the rest and says so.
    for (long i = 0; i <= limit / 3 + 10; ++i) {
        std::ofstream(w.root.path() + "/usr/local/share/ca-certificates/f" + std::to_string(i))
            << "x";
    }
    // Made while the queue is full: no event says so.
    w.root.makeFolder("/usr/local/share/ca-certificates/unseen");
    EXPECT_TRUE(w.changed());
    w.root.write("/usr/local/share/ca-certificates/unseen/late.crt", pem("A", 1));
    EXPECT_TRUE(w.changed()) << "the folder made while events were lost is watched";
}

TEST(InotifySource, FoldersThatCannotBeWatchedAreTriedAgainAndTheLimitIsSaidOnce) {
    Watched w;
    for (const char* folder : {"/one", "/two", "/three"}) {
        w.root.makeFolder(std::string("/usr/local/share/ca-certificates/full") + folder);
    }
    w.root.makeFolder("/usr/local/share/ca-certificates/locked");
    int refused = ENOSPC;  // the watch table full, then a folder without permission
    InotifyTuning tuning;
    tuning.retryMs = 0;
    tuning.addWatch = [&refused](int fd, const std::string& folder, std::uint32_t mask) {
        const bool full = folder.find("/full/") != std::string::npos;  // three folders
        const bool locked = folder.find("/locked") != std::string::npos;
        if ((full && refused == ENOSPC) || (locked && refused != 0)) {
            errno = locked ? EACCES : ENOSPC;
            return -1;
        }
        return ::inotify_add_watch(fd, folder.c_str(), mask);
    };
    w.startOnOwnRoot(std::move(tuning));
    const std::vector<std::string> problems = w.source->problems();
    const std::string said = ::testing::PrintToString(problems);
    ASSERT_EQ(problems.size(), 2u) << said;  // in the order the walk met them
    EXPECT_NE(said.find("fs.inotify.max_user_watches"), std::string::npos) << said;
    EXPECT_NE(said.find("locked: not watched: Permission denied"), std::string::npos) << said;

    refused = EACCES;
    EXPECT_TRUE(w.changed()) << "folders watched at last may hold what nobody saw";
    w.root.write("/usr/local/share/ca-certificates/full/two/a.crt", pem("A", 1));
    EXPECT_TRUE(w.changed());
    refused = 0;
    EXPECT_TRUE(w.changed());
    w.root.write("/usr/local/share/ca-certificates/locked/b.crt", pem("B", 2));
    EXPECT_TRUE(w.changed());
    EXPECT_EQ(w.source->problems().size(), 2u) << "each said once per run";
}

TEST(InotifySource, ARequestedCheckRebuildsTheWatchesAndEndsTheWaitAtOnce) {
    Watched w;
    w.root.makeFolder("/usr/local/share/ca-certificates");
    w.start();
    std::thread asker([&w] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        requestCheck(*w.source);
    });
    EXPECT_EQ(w.source->waitForChange(600'000), Wake::Requested);
    asker.join();
    w.root.write("/usr/local/share/ca-certificates/a.crt", pem("A", 1));
    requestCheck(*w.source);
    EXPECT_EQ(w.source->waitForChange(600'000), Wake::Requested);
    EXPECT_TRUE(w.quiet()) << "the change before it is covered by the check asked for";
    w.root.write("/usr/local/share/ca-certificates/b.crt", pem("B", 2));
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
