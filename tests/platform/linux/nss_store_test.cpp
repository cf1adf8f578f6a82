// NSS databases made with certutil in a temp home, read as CurrentUser and System stores.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/ports.h"
#include "inventory/scanner.h"
#include "platform/linux/stores/nss_store.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/poll_until.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

void makeDatabase(const std::string& folder, const std::vector<const X509*>& certs) {
    ASSERT_TRUE(makeNssDatabase(folder, certs)) << folder;
}

std::string readText(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

Row rowOf(const X509& cert, const std::string& location, const std::string& store,
          const std::string& name) {
    return Row{location, store, expectedSerialText(cert), expectedSubjectMd5Hex(cert), name};
}

std::vector<Row> sorted(std::vector<Row> rows) {
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return std::tie(a.location, a.store, a.name) < std::tie(b.location, b.store, b.name);
    });
    return rows;
}

struct Scan {
    ScanResult result;
    std::string err;
};

Scan scanHome(const std::string& root, const std::string& home) {
    CaptureTrace trace;
    PlatformOptions options;
    options.root = root;
    options.home = home;
    const auto api = makePorts(options, trace).stores;
    KestruneState state;
    scan(state, *api, trace);
    return Scan{ScanResult{rows(state), state.uniqueCertificateCount, state.iCertificateCountTotal},
                trace.errText()};
}

TEST(NssStores, AUserDatabaseWithTwoCertificatesGivesTheirRecordsInBothPasses) {
    TempDir root;
    TempDir home;
    const X509Ptr a = makeCertificate(simpleFields("NSS Alpha", {0x80, 0x01}));
    const X509Ptr b = makeCertificate(simpleFields("NSS Beta", {0x02}));
    makeDatabase(home.path() + "/.pki/nssdb", {a.get(), b.get()});

    const Scan scan = scanHome(root.path(), home.path());
    ASSERT_EQ(scan.result.rows.size(), 4u) << scan.err;
    // Pass 1 under its own location, pass 2 under the location pass 1 ended with, which
    // is the current user's too.
    const std::vector<Row> expected = {
        rowOf(*a, "CurrentUser", "nssdb", "NSS Alpha"),
        rowOf(*b, "CurrentUser", "nssdb", "NSS Beta"),
    };
    EXPECT_EQ(sorted({scan.result.rows[0], scan.result.rows[1]}), expected);
    EXPECT_EQ(sorted({scan.result.rows[2], scan.result.rows[3]}), expected);
    EXPECT_EQ(scan.result.unique, 2);
    EXPECT_EQ(scan.result.rows[0].serial == "00 80 01" || scan.result.rows[1].serial == "00 80 01",
              true);
}

TEST(NssStores, FirefoxProfilesAreFoundThroughProfilesIni) {
    TempDir root;
    TempDir home;
    const X509Ptr release = makeCertificate(simpleFields("In Release Profile", {0x11}));
    const X509Ptr work = makeCertificate(simpleFields("In Work Profile", {0x12}));
    const X509Ptr snap = makeCertificate(simpleFields("In Snap Profile", {0x13}));
    const std::string firefox = home.path() + "/.mozilla/firefox";
    makeDatabase(firefox + "/abcd.default-release", {release.get()});
    makeDatabase(home.path() + "/elsewhere/work", {work.get()});
    home.write("/.mozilla/firefox/profiles.ini",
               "[Install4F96D1932A9F858E]\r\nDefault=abcd.default-release\r\nLocked=1\r\n\r\n"
               "[Profile1]\r\nName=work\r\nIsRelative=0\r\nPath=" +
                   home.path() +
                   "/elsewhere/work\r\n\r\n"
                   "[Profile0]\r\nName=default-release\r\nIsRelative=1\r\n"
                   "Path=abcd.default-release\r\nDefault=1\r\n\r\n"
                   "[General]\r\nStartWithLastProfile=1\r\nVersion=2\r\n");
    const std::string snapFirefox = home.path() + "/snap/firefox/common/.mozilla/firefox";
    makeDatabase(snapFirefox + "/x1.default-release", {snap.get()});
    home.write("/snap/firefox/common/.mozilla/firefox/profiles.ini",
               "[Profile0]\nName=default-release\nIsRelative=1\nPath=x1.default-release\n");

    CaptureTrace trace;
    PlatformOptions options;
    options.root = root.path();
    options.home = home.path();
    const auto api = makePorts(options, trace).stores;
    ListingRecorder listed;
    EXPECT_TRUE(api->listCurrentUserStores(listed).ok());
    const std::vector<std::string> expectedNames = {"store nssdb",
                                                    "store firefox-work",
                                                    "store firefox-default-release",
                                                    "store firefox-snap-default-release",
                                                    "store modules-nssdb",
                                                    "store modules-firefox-work",
                                                    "store modules-firefox-default-release",
                                                    "store modules-firefox-snap-default-release"};
    EXPECT_EQ(listed.events, expectedNames);

    const Scan scan = scanHome(root.path(), home.path());
    const std::vector<Row> firstPass(
        scan.result.rows.begin(),
        scan.result.rows.begin() + std::min<std::ptrdiff_t>(3, scan.result.rows.size()));
    const std::vector<Row> expected = {
        rowOf(*work, "CurrentUser", "firefox-work", "In Work Profile"),
        rowOf(*release, "CurrentUser", "firefox-default-release", "In Release Profile"),
        rowOf(*snap, "CurrentUser", "firefox-snap-default-release", "In Snap Profile"),
    };
    EXPECT_EQ(firstPass, expected) << scan.err;
    EXPECT_EQ(scan.result.total, 6);
    // The missing nssdb is said, not fatal.
    EXPECT_NE(scan.err.find("The nssdb store could not be opened: " + home.path() +
                            "/.pki/nssdb: no such database folder"),
              std::string::npos)
        << scan.err;
}

TEST(NssStores, BrokenOrOldDatabasesAreSkippedAndTheScanGoesOn) {
    TempDir root;
    TempDir home;
    const X509Ptr good = makeCertificate(simpleFields("Still Read", {0x21}));
    const std::string firefox = home.path() + "/.mozilla/firefox";
    home.write("/.pki/nssdb/cert9.db", std::string(20000, '\x5a'));  // corrupt
    home.write("/.pki/nssdb/key4.db", std::string(4096, '\x00'));
    home.write("/.mozilla/firefox/old.profile/cert8.db", "old");
    home.makeFolder("/.mozilla/firefox/empty.profile");
    makeDatabase(firefox + "/good.profile", {good.get()});
    home.write("/.mozilla/firefox/profiles.ini",
               "[Profile0]\nName=old\nPath=old.profile\n"
               "[Profile1]\nName=gone\nPath=gone.profile\n"
               "[Profile2]\nName=empty\nPath=empty.profile\n"
               "[Profile3]\nName=good\nPath=good.profile\n");

    const Scan scan = scanHome(root.path(), home.path());
    ASSERT_EQ(scan.result.rows.size(), 2u) << scan.err;
    EXPECT_EQ(scan.result.rows[0], rowOf(*good, "CurrentUser", "firefox-good", "Still Read"));
    for (const std::string& line : {
             "The nssdb store could not be opened: " + home.path() +
                 "/.pki/nssdb: cannot open the database (SEC_ERROR_BAD_DATABASE)",
             "The firefox-old store could not be opened: " + firefox +
                 "/old.profile: an old-format database (cert8.db), not read",
             "The firefox-gone store could not be opened: " + firefox +
                 "/gone.profile: no such database folder",
             "The firefox-empty store could not be opened: " + firefox +
                 "/empty.profile: no cert9.db in it",
         }) {
        EXPECT_NE(scan.err.find(line), std::string::npos) << line << "\n" << scan.err;
    }
}

TEST(NssStores, ACertificateInAFileAndInADatabaseGivesEqualRecords) {
    TempDir root;
    TempDir home;
    CertFields fields = simpleFields("Shared Ünïcode CA", {0x00, 0xff, 0x10});
    fields.subject.push_back({"OU", "Unit"});
    const X509Ptr cert = makeCertificate(fields);
    root.write("/usr/local/share/ca-certificates/shared.crt", toPem(*cert));
    makeDatabase(home.path() + "/.pki/nssdb", {cert.get()});
    makeDatabase(root.path() + "/etc/pki/nssdb", {cert.get()});

    const Scan scan = scanHome(root.path(), home.path());
    ASSERT_EQ(scan.result.rows.size(), 4u) << scan.err;
    EXPECT_EQ(scan.result.rows[0].store, "local-anchors");
    EXPECT_EQ(scan.result.rows[1].store, "nssdb-system");
    EXPECT_EQ(scan.result.rows[1].location, "System");
    EXPECT_EQ(scan.result.rows[2].store, "nssdb");
    EXPECT_EQ(scan.result.rows[2].location, "CurrentUser");
    for (Row row : scan.result.rows) {
        row.location = "System";
        row.store = "local-anchors";
        EXPECT_EQ(row, scan.result.rows[0]);
    }
    EXPECT_EQ(scan.result.unique, 1);
}

TEST(NssStores, TwoDatabasesCanBeOpenAtOnce) {
    TempDir root;
    TempDir home;
    const X509Ptr one = makeCertificate(simpleFields("Only In One", {0x31}));
    const X509Ptr two = makeCertificate(simpleFields("Only In Two", {0x32}));
    makeDatabase(home.path() + "/.pki/nssdb", {one.get()});
    makeDatabase(root.path() + "/etc/pki/nssdb", {two.get()});
    NullTrace trace;
    PlatformOptions options;
    options.root = root.path();
    options.home = home.path();
    const auto api = makePorts(options, trace).stores;
    const auto holdsOneMore = [](OpenedStore& store) {
        const Result<bool> more = store.reader().next();
        return more.ok() && more.value();
    };
    OpenedStore first = api->openStore("nssdb");
    ASSERT_TRUE(first) << first.error();
    OpenedStore second = api->openStore("nssdb-system");
    ASSERT_TRUE(second) << second.error();
    ASSERT_TRUE(holdsOneMore(second));
    EXPECT_FALSE(holdsOneMore(second));  // past the end
    ASSERT_TRUE(holdsOneMore(first));
    const CertificateFacts facts = first.reader().facts();
    ASSERT_TRUE(facts.displayName);
    EXPECT_EQ(*facts.displayName, "Only In One");
    EXPECT_FALSE(holdsOneMore(first));
    second.close();
    first.close();
    // And again after both were closed.
    OpenedStore again = api->openStore("nssdb-system");
    ASSERT_TRUE(again) << again.error();
    ASSERT_TRUE(holdsOneMore(again));
}

TEST(NssStores, KestruneCheckListsACertificateAddedToADatabase) {
    TempDir root;
    TempDir home;
    const X509Ptr added = makeCertificate(simpleFields("Slipped Into nssdb", {0x66, 0x77}));
    makeDatabase(home.path() + "/.pki/nssdb", {added.get()});
    const ProgramRun run = runCheck("--list --root " + root.path(), "HOME=" + home.path());
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string line = "CurrentUser\tnssdb\t66 77\t" + expectedSubjectMd5Hex(*added) +
                             "\tSlipped Into nssdb\t" + expectedSha256Hex(*added) +
                             "\tunknown\tC,,\n";
    EXPECT_EQ(run.out, line + line +
                           "Unique Certificates: 1\nAll certificates in all stores: 2\n"
                           "local roots: unknown\n");
}

TEST(ProfilesIni, KeepsFileOrderAndResolvesRelativePaths) {
    const auto profiles = parseProfilesIni(
        "; comment\n[General]\nPath=not-a-profile\n"
        "[Profile1]\n Name = Work Stuff \nIsRelative=1\nPath=w.work\n"
        "[Profile0]\nIsRelative=0\nPath=/abs/x.nameless\n"
        "[Profile2]\nName=no path\n"
        "[ProfileX]\r\nName=odd\r\nPath=sub/dir/odd\r\n",
        "/home/u/.mozilla/firefox");
    ASSERT_EQ(profiles.size(), 3u);
    EXPECT_EQ(profiles[0].name, "Work Stuff");
    EXPECT_EQ(profiles[0].path, "/home/u/.mozilla/firefox/w.work");
    EXPECT_EQ(profiles[1].name, "x.nameless");
    EXPECT_EQ(profiles[1].path, "/abs/x.nameless");
    EXPECT_EQ(profiles[2].name, "odd");
    EXPECT_EQ(profiles[2].path, "/home/u/.mozilla/firefox/sub/dir/odd");
}

TEST(NssStores, ALockedOrCorruptUserDatabaseIsUnreadableAndItsCertificatesAreNotGone) {
    TempDir root;
    TempDir home;
    const std::string folder = home.path() + "/.pki/nssdb";
    const X509Ptr cert = makeCertificate(simpleFields("Held CA", {0x4c}));
    makeDatabase(folder, {cert.get()});
    auto unreadable = [&] {
        CaptureTrace trace;
        PlatformOptions options;
        options.root = root.path();
        options.home = home.path();
        KestruneState state;
        return scan(state, *makePorts(options, trace).stores, trace).unreadable;
    };
    ASSERT_TRUE(unreadable().empty());

    // A second process holds an exclusive lock until its standard input closes.
    const std::string locker =
        "python3 -c 'import sqlite3,sys\n"
        "c=sqlite3.connect(sys.argv[1],isolation_level=None)\n"
        "c.execute(\"BEGIN EXCLUSIVE\")\n"
        "print(\"locked\",flush=True)\n"
        "sys.stdin.read()' '" +
        folder + "/cert9.db' < '" + home.path() + "/hold' > '" + home.path() + "/said'";
    ASSERT_EQ(::mkfifo((home.path() + "/hold").c_str(), 0600), 0);
    FILE* running = ::popen((locker + " &").c_str(), "r");
    ASSERT_NE(running, nullptr);
    // Opening the FIFO for writing waits for the locker to open it for reading.
    FILE* hold = std::fopen((home.path() + "/hold").c_str(), "w");
    ASSERT_NE(hold, nullptr);
    const std::string said = home.path() + "/said";
    ASSERT_TRUE(pollUntil([&] { return readText(said).find("locked") != std::string::npos; },
                          std::chrono::seconds(60)));
    const auto whileLocked = unreadable();
    std::fclose(hold);
    ::pclose(running);
    ASSERT_EQ(whileLocked.size(), 1u);
    EXPECT_EQ(whileLocked[0].location, "CurrentUser");
    EXPECT_EQ(whileLocked[0].store, "nssdb");
    EXPECT_NE(whileLocked[0].reason.find("cannot open the database"), std::string::npos)
        << whileLocked[0].reason;

    // A corrupt database the same; a database folder that is gone is no failure.
    std::string garbage(8192, 'k');
    std::ofstream(folder + "/cert9.db", std::ios::binary | std::ios::trunc) << garbage;
    EXPECT_EQ(unreadable().size(), 1u);
    fs::remove_all(folder);
    EXPECT_TRUE(unreadable().empty());
}

}  // namespace
}  // namespace kestrune::testing
