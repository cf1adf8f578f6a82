// kestrune-check's monitoring run: the built program against temp roots and their
// settings databases.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/ports.h"
#include "platform/keyed_settings/keyed_settings.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/support/memory_settings.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        all.push_back(l);
    }
    return all;
}

class CheckMonitor : public ::testing::Test {
  protected:
    void SetUp() override {
        root_.write("/etc/ssl/certs/ca-certificates.crt", toPem(*a_) + toPem(*b_) + toPem(*c_));
        root_.makeFolder("/usr/local/share/ca-certificates");
    }
    ProgramRun check(const std::string& options = "") {
        return runCheck(options + " --root " + root_.path());
    }
    std::string database() const { return root_.path() + "/var/lib/kestrune/settings.db"; }
    std::string row(const char* event, const X509& cert, const std::string& store,
                    const std::string& name) const {
        return std::string(event) + "\tSystem\t" + store + "\t" + expectedSerialText(cert) + "\t" +
               expectedSubjectMd5Hex(cert) + "\t" + name + "\t" + expectedSha256Hex(cert) +
               "\tunknown\t";  // no package database under the test's root
    }

    TempDir root_;
    X509Ptr a_ = makeCertificate(simpleFields("Alpha Root", {0x0a}));
    X509Ptr b_ = makeCertificate(simpleFields("Beta Root", {0x0b}));
    X509Ptr c_ = makeCertificate(simpleFields("Gamma Root", {0x0c}));
    X509Ptr rogue_ = makeCertificate(simpleFields("Rogue Interception CA", {0x66, 0x01}));
};

TEST_F(CheckMonitor, FirstRunRecordsTheBaselineAndLaterRunsCompareWithIt) {
    const ProgramRun first = check();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("Unique Certificates: 3 certificates\n"
                             "All certificates in all stores: 3 certificates\n"),
              std::string::npos)
        << first.out;
    ASSERT_TRUE(fs::exists(database()));

    const std::string before = readFile(database());
    const ProgramRun second = check();
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(lines(second.out).size(), 1u) << second.out;
    EXPECT_EQ(second.out.rfind("0 added, 0 missing", 0), 0u) << second.out;
    EXPECT_EQ(readFile(database()), before);
}

TEST_F(CheckMonitor, AnAddedAnchorIsReportedUntilAccepted) {
    ASSERT_EQ(check().status, 0);
    root_.write("/usr/local/share/ca-certificates/rogue.crt", toPem(*rogue_));
    const std::string before = readFile(database());

    for (int run = 0; run < 2; ++run) {  // without --accept nothing is stored
        const ProgramRun report = check();
        EXPECT_EQ(report.status, 1) << report.err;
        const auto out = lines(report.out);
        ASSERT_EQ(out.size(), 3u) << report.out;
        EXPECT_EQ(out[0], row("added", *rogue_, "local-anchors", "Rogue Interception CA"));
        EXPECT_EQ(out[1].rfind("1 added, 0 missing", 0), 0u) << out[1];
        EXPECT_EQ(out[2], "1 change unexplained");
        EXPECT_EQ(readFile(database()), before);
    }

    const ProgramRun accept = check("--accept");
    EXPECT_EQ(accept.status, 0) << accept.err;
    EXPECT_EQ(lines(accept.out)[0],
              row("added", *rogue_, "local-anchors", "Rogue Interception CA"));
    const ProgramRun after = check();
    EXPECT_EQ(after.status, 0) << after.out;
}

TEST_F(CheckMonitor, EveryRemovedCertificateIsReported) {
    ASSERT_EQ(check().status, 0);
    root_.write("/etc/ssl/certs/ca-certificates.crt", toPem(*b_));
    const ProgramRun report = check();
    EXPECT_EQ(report.status, 1);
    const auto out = lines(report.out);
    ASSERT_EQ(out.size(), 4u) << report.out;
    EXPECT_EQ(out[0], row("missing", *a_, "ca-certificates", "Alpha Root"));
    EXPECT_EQ(out[1], row("missing", *c_, "ca-certificates", "Gamma Root"));
    EXPECT_EQ(out[2].rfind("0 added, 2 missing", 0), 0u) << out[2];
}

TEST_F(CheckMonitor, JsonLinesAreJson) {
    ASSERT_EQ(check().status, 0);
    root_.write("/usr/local/share/ca-certificates/rogue.crt", toPem(*rogue_));
    root_.write("/etc/ssl/certs/ca-certificates.crt", toPem(*a_) + toPem(*b_));
    const ProgramRun report = check("--json");
    EXPECT_EQ(report.status, 1);
    const std::string file = root_.write("/report.jsonl", report.out);
    // Every line must parse on its own; python's parser is the independent judge.
    const std::string command =
        "python3 -c 'import json,sys\n"
        "rows=[json.loads(l) for l in open(sys.argv[1])]\n"
        "assert [r[\"event\"] for r in rows]==[\"added\",\"missing\",\"summary\"], rows\n"
        "assert rows[0][\"name\"]==\"Rogue Interception CA\"\n"
        "assert rows[2][\"added\"]==1 and rows[2][\"missing\"]==1 and rows[2][\"accepted\"] is "
        "False\n"
        "' '" +
        file + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << report.out;
}

TEST_F(CheckMonitor, CorruptDatabaseExitsTwoNamingItAndStaysUntouchedUntilAccepted) {
    std::string garbage(6000, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<char>((i * 7919) % 251);
    }
    root_.write("/var/lib/kestrune/settings.db", garbage);
    for (const char* options : {"", "--json"}) {
        const ProgramRun run = check(options);
        EXPECT_EQ(run.status, 2) << options;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(database()), std::string::npos) << run.err;
        EXPECT_EQ(readFile(database()), garbage);
        EXPECT_FALSE(fs::exists(database() + "-journal"));
    }
    // Only when told: a new baseline, the garbage kept beside it as it was.
    const ProgramRun accept = check("--accept");
    EXPECT_EQ(accept.status, 0) << accept.err;
    const std::string prefix = "it is kept as " + database() + ".damaged-";
    const auto at = accept.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << accept.out;
    const std::string kept = accept.out.substr(at + 14, accept.out.find(".\n", at) - at - 14);
    EXPECT_EQ(readFile(kept), garbage);
    EXPECT_EQ(check().status, 0);
}

TEST_F(CheckMonitor, InconsistentBaselineIsDamageAndNotComparedAgainst) {
    ASSERT_EQ(check().status, 0);
    {
        // A count that claims more records than the data holds.
        NullTrace quiet;
        auto settings = makePorts(PlatformOptions{root_.path(), {}}, quiet).settings;
        auto key = openStore(*settings, SettingsRoot::Machine, StoreAccess::Write);
        ASSERT_TRUE(key);
        const std::uint8_t nine[] = {'9', 0};
        ASSERT_TRUE(writeValue(*key, BaselineValue::Count, nine));
    }
    const std::string before = readFile(database());
    const ProgramRun run = check();
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(database() + " is damaged: \"Certificate Count\" says 9 records"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(readFile(database()), before);
}

TEST_F(CheckMonitor, ALockHeldByAnotherProgramIsAnErrorNotAChange) {
    ASSERT_EQ(check().status, 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const ProgramRun run = check("--accept");
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("locked"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(database()), std::string::npos) << run.err;
    EXPECT_EQ(check().status, 0);
}

// Permissions only bind a user who is not root: these runs drop to "nobody" (setpriv),
// with the temp root opened up to it and its settings folder its own.
class CheckUnreadableStore : public CheckMonitor {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to run the program as another user";
        }
        CheckMonitor::SetUp();
        root_.makeFolder("/var/lib/kestrune");
        root_.makeFolder("/home");
        const std::string open = "chmod -R a+rX '" + root_.path() + "' && chown 65534:65534 '" +
                                 root_.path() + "/var/lib/kestrune'";
        ASSERT_EQ(std::system(open.c_str()), 0);
    }
    ProgramRun asNobody(const std::string& options = "") {
        return runCheck(
            options + " --root " + root_.path(),
            "HOME=" + root_.path() + "/home setpriv --reuid=65534 --regid=65534 --clear-groups");
    }
    std::string bundle() const { return root_.path() + "/etc/ssl/certs/ca-certificates.crt"; }
    std::string unreadableLine() const {
        return "unreadable\tSystem\tca-certificates\t" + bundle() + ": Permission denied";
    }
};

TEST_F(CheckUnreadableStore, IsReportedAsIncompleteNeverAsMissingAndAcceptKeepsItsRecords) {
    ASSERT_EQ(asNobody().status, 0);
    fs::permissions(bundle(), fs::perms::none);
    root_.write("/usr/local/share/ca-certificates/rogue.crt", toPem(*rogue_));
    ASSERT_EQ(
        std::system(
            ("chmod a+r '" + root_.path() + "/usr/local/share/ca-certificates/rogue.crt'").c_str()),
        0);

    const ProgramRun report = asNobody();
    EXPECT_EQ(report.status, 3) << report.err;
    auto out = lines(report.out);
    ASSERT_EQ(out.size(), 4u) << report.out;
    EXPECT_EQ(out[0], unreadableLine());
    EXPECT_EQ(out[1], row("added", *rogue_, "local-anchors", "Rogue Interception CA"));
    EXPECT_EQ(out[2].rfind("1 added, 0 missing", 0), 0u) << out[2];
    EXPECT_NE(out[2].find("incomplete: 1 store could not be read"), std::string::npos);

    const ProgramRun json = asNobody("--json");
    EXPECT_EQ(json.status, 3);
    EXPECT_EQ(lines(json.out)[0],
              "{\"event\":\"unreadable\",\"location\":\"System\",\"store\":\"ca-certificates\","
              "\"reason\":\"" +
                  bundle() + ": Permission denied\"}");

    const ProgramRun list = asNobody("--list");
    EXPECT_EQ(list.status, 3);
    EXPECT_NE(list.out.find(unreadableLine() + "\n"), std::string::npos) << list.out;

    const std::string metrics = root_.path() + "/var/lib/kestrune/kestrune.prom";
    const ProgramRun accept = asNobody("--accept --metrics-file " + metrics);
    EXPECT_EQ(accept.status, 3) << accept.err;
    out = lines(accept.out);
    ASSERT_EQ(out.size(), 4u) << accept.out;
    EXPECT_NE(out[2].find("its baseline records were kept"), std::string::npos) << out[2];
    // The figures: the stored baseline (three kept, the rogue CA), nothing left to differ,
    // the unreadable store named, the check not complete.
    std::ostringstream text;
    text << std::ifstream(metrics).rdbuf();
    const std::string figures = text.str();
    for (const char* line :
         {"kestrune_baseline_certificates 4\n", "kestrune_differences{kind=\"added\"} 0\n",
          "kestrune_unreadable_stores{location=\"System\",store=\"ca-certificates\"} 1\n",
          "kestrune_check_completed 0\n"}) {
        EXPECT_NE(figures.find(line), std::string::npos) << line << "in\n" << figures;
    }

    // Readable again: the bundle's three records were kept, the rogue CA is stored.
    fs::permissions(bundle(),
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const ProgramRun after = asNobody();
    EXPECT_EQ(after.status, 0) << after.out;
    EXPECT_EQ(
        after.out.rfind("0 added, 0 missing, 0 changed (baseline: 4 certificates, observed: 4", 0),
        0u)
        << after.out;

    // A bundle that is really gone is missing, as before.
    fs::remove(bundle());
    const ProgramRun gone = asNobody();
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(lines(gone.out).size(), 5u) << gone.out;
    EXPECT_EQ(lines(gone.out)[0], row("missing", *a_, "ca-certificates", "Alpha Root"));
}

TEST_F(CheckUnreadableStore, AFolderOrAFifoInPlaceOfTheBundleIsUnreadable) {
    ASSERT_EQ(asNobody().status, 0);
    fs::remove(bundle());
    for (const bool fifo : {false, true}) {
        if (fifo) {
            fs::remove(bundle());
            ASSERT_EQ(::mkfifo(bundle().c_str(), 0644), 0);
        } else {
            fs::create_directory(bundle());
        }
        const ProgramRun run = asNobody();
        EXPECT_EQ(run.status, 3) << run.out;
        EXPECT_EQ(run.out.find("missing\t"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.rfind("unreadable\tSystem\tca-certificates\t" + bundle() + ": ", 0), 0u)
            << run.out;
    }
}

}  // namespace
}  // namespace kestrune::testing
