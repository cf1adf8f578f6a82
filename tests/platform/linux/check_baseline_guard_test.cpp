// kestrune-check against stored baselines it must not bypass, replace or write behind
// the operator's back: read-only databases (real permissions: an unprivileged child,
// an immutable file or a read-only mount), damaged and foreign ones. Each case checks
// the report, the exit status and the database byte for byte.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "baseline/baseline_storage.h"
#include "baseline/key_choice.h"
#include "platform/linux/settings/sqlite_settings.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/support/memory_settings.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

std::string readFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

bool sql(const std::string& file, const std::string& statements) {
    sqlite3* db = nullptr;
    const bool ok =
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

std::vector<std::string> damagedCopies(const std::string& database) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(fs::path(database).parent_path())) {
        if (e.path().filename().string().rfind("settings.db.damaged-", 0) == 0) {
            found.push_back(e.path().string());
        }
    }
    return found;
}

// A database whose header is whole and whose other pages are garbage: SQLite opens it
// and then reports it malformed.
std::string garblePages(std::string database) {
    const unsigned size =
        static_cast<unsigned char>(database[16]) << 8 | static_cast<unsigned char>(database[17]);
    const std::size_t page = size == 1 ? 65536 : size;
    for (std::size_t i = page; i < database.size(); ++i) {
        database[i] = static_cast<char>(0xA5 ^ (i * 131));
    }
    return database;
}

class CheckBaselineGuard : public ::testing::Test {
  protected:
    void SetUp() override {
        root_.write("/etc/ssl/certs/ca-certificates.crt", toPem(*a_) + toPem(*b_) + toPem(*c_));
        root_.makeFolder("/usr/local/share/ca-certificates");
        home_ = root_.makeFolder("/home/someone");
        ::chmod(root_.path().c_str(), 0755);  // an unprivileged child must find its way in
    }
    // As this process, or (when it is root) as "nobody", for whom modes hold.
    ProgramRun check(const std::string& options = "", bool unprivileged = false) {
        std::string env = "XDG_CONFIG_HOME=" + home_ + "/.config HOME=" + home_ + " ";
        if (unprivileged && ::geteuid() == 0) {
            env += "setpriv --reuid=" + std::to_string(kNobody) +
                   " --regid=" + std::to_string(kNobody) + " --clear-groups";
        }
        return runCheck(options + " --root " + root_.path(), env);
    }
    std::string database() const { return root_.path() + "/var/lib/kestrune/settings.db"; }
    std::string userDatabase() const { return home_ + "/.config/kestrune/settings.db"; }
    void addRogue() { root_.write("/usr/local/share/ca-certificates/rogue.crt", toPem(*rogue_)); }
    void record() {
        const ProgramRun first = check();
        ASSERT_EQ(first.status, 0) << first.err;
        ASSERT_TRUE(fs::exists(database()));
    }
    // The report of a read-only comparison that finds the rogue, then --accept refused.
    void expectReadOnlyCompare(const std::string& file, bool unprivileged) {
        const std::string before = readFile(file);
        const ProgramRun run = check("", unprivileged);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(run.out.rfind("added\tSystem\tlocal-anchors\t", 0), 0u) << run.out;
        EXPECT_NE(run.out.find("Rogue Interception CA\t"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\n1 added, 0 missing, 0 changed (baseline: 3"), std::string::npos)
            << run.out;
        const ProgramRun accept = check("--accept", unprivileged);
        EXPECT_EQ(accept.status, 2) << accept.err;
        EXPECT_NE(accept.err.find("could not store the observed state as the baseline: " + file +
                                  ": cannot be opened for writing ("),
                  std::string::npos)
            << accept.err;
        EXPECT_EQ(readFile(file), before);
    }

    TempDir root_;
    std::string home_;
    X509Ptr a_ = makeCertificate(simpleFields("Alpha Root", {0x0a}));
    X509Ptr b_ = makeCertificate(simpleFields("Beta Root", {0x0b}));
    X509Ptr c_ = makeCertificate(simpleFields("Gamma Root", {0x0c}));
    X509Ptr rogue_ = makeCertificate(simpleFields("Rogue Interception CA", {0x66, 0x01}));
};

TEST_F(CheckBaselineGuard, AMachineBaselineThatCannotBeWrittenIsComparedReadOnly) {
    record();
    addRogue();
    const fs::path folder = fs::path(database()).parent_path();
    ::chmod(database().c_str(), 0444);
    ::chmod(folder.c_str(), 0555);
    expectReadOnlyCompare(database(), true);
    EXPECT_FALSE(fs::exists(userDatabase())) << "a new baseline was started beside it";
    ::chmod(folder.c_str(), 0755);
}

TEST_F(CheckBaselineGuard, AnImmutableMachineDatabaseIsComparedReadOnlyAsRoot) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make the database immutable";
    }
    record();
    addRogue();
    const std::string immutable = "chattr +i '" + database() + "' 2>/dev/null";
    if (std::system(immutable.c_str()) != 0) {
        GTEST_SKIP() << "chattr +i is not allowed here (no CAP_LINUX_IMMUTABLE or no support "
                        "on this file system)";
    }
    struct Undo {
        std::string file;
        ~Undo() { std::system(("chattr -i '" + file + "'").c_str()); }
    } undo{database()};
    expectReadOnlyCompare(database(), false);
    EXPECT_FALSE(fs::exists(userDatabase()));

    // The tray program keeps its order, but says that it passes over this baseline.
    SqliteSettings settings({database(), userDatabase(), 200});
    const ChosenKey chosen = chooseSettingsKey(settings, KeyUse::Tray);
    ASSERT_TRUE(chosen.key);
    EXPECT_EQ(chosen.key->describe(), userDatabase());
    EXPECT_EQ(chosen.note, "Not using the machine's baseline: " + database() +
                               ": cannot be opened for writing (Operation not permitted); using " +
                               userDatabase() + " instead.");
}

TEST_F(CheckBaselineGuard, DamageIsReportedNamingTheFileAndNothingIsWritten) {
    record();
    addRogue();
    const std::string good = readFile(database());
    const struct {
        const char* name;
        std::string damage;  // SQL on the recorded database, or "" for the file itself
        std::string bytes;   // the file's new content when damage is ""
        const char* says;
    } cases[] = {
        {"count deleted",
         "DELETE FROM settings_values WHERE name = 'Certificate Count'",
         {},
         "\"Certificate Data\" is there but \"Certificate Count\" is missing"},
        {"data deleted",
         "DELETE FROM settings_values WHERE name = 'Certificate Data'",
         {},
         "\"Certificate Count\" is there but \"Certificate Data\" is missing"},
        {"count abc",
         "UPDATE settings_values SET data = X'610062006300' WHERE name = 'Certificate Count'",
         {},
         "\"Certificate Count\" is not a number of records (\"abc\")"},
        {"count 9",
         "UPDATE settings_values SET data = X'3900' WHERE name = 'Certificate Count'",
         {},
         "\"Certificate Count\" says 9 records but \"Certificate Data\" holds 3"},
        {"data cut",
         "UPDATE settings_values SET data = substr(data, 1, 567) WHERE name = 'Certificate Data'",
         {},
         "holds 567 bytes, not whole records of 568 bytes"},
        {"empty file", {}, "", "the file is empty (0 bytes)"},
        {"no tables", {}, "", "the database holds no Kestrune tables"},
        {"foreign columns", {}, "", "table \"settings_values\" has the columns (key, name, value)"},
        {"garbage pages", {}, garblePages(good), "database disk image is malformed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(database());
        std::ofstream(database(), std::ios::binary) << (c.damage.empty() ? c.bytes : good);
        if (!c.damage.empty()) {
            ASSERT_TRUE(sql(database(), c.damage));
        } else if (std::string(c.name) == "no tables") {
            ASSERT_TRUE(sql(database(), "PRAGMA user_version = 7"));  // a database, no tables
        } else if (std::string(c.name) == "foreign columns") {
            ASSERT_TRUE(sql(database(),
                            "CREATE TABLE keys (path TEXT); CREATE TABLE settings_values "
                            "(key TEXT, name TEXT, value BLOB)"));
        }
        const std::string before = readFile(database());
        for (const char* options : {"", "--json"}) {
            const ProgramRun run = check(options);
            EXPECT_EQ(run.status, 2) << run.out;
            EXPECT_EQ(run.out, "");
            EXPECT_NE(run.err.find("the stored baseline in " + database() + " is damaged: "),
                      std::string::npos)
                << run.err;
            EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        }
        EXPECT_EQ(readFile(database()), before);
        EXPECT_FALSE(fs::exists(database() + "-journal"));
        EXPECT_FALSE(fs::exists(userDatabase()));
    }
}

TEST_F(CheckBaselineGuard, AcceptReplacesDamageAndKeepsTheDamagedFile) {
    record();
    ASSERT_TRUE(sql(database(), "DELETE FROM settings_values WHERE name = 'Certificate Count'"));
    addRogue();
    const std::string damaged = readFile(database());
    const ProgramRun accept = check("--accept");
    EXPECT_EQ(accept.status, 0) << accept.err;
    const auto kept = damagedCopies(database());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readFile(kept[0]), damaged);
    EXPECT_EQ(accept.out, "Replaced the damaged baseline in " + database() +
                              " (\"Certificate Data\" is there but \"Certificate Count\" is "
                              "missing); it is kept as " +
                              kept[0] + ".\nRecorded this scan as the baseline in " + database() +
                              ".\nUnique Certificates: 4 certificates\n"
                              "All certificates in all stores: 4 certificates\n");
    const ProgramRun after = check();
    EXPECT_EQ(after.status, 0) << after.err;  // the rogue is in the accepted baseline
    EXPECT_EQ(after.out.rfind("0 added, 0 missing, 0 changed (baseline: 4", 0), 0u) << after.out;
}

// Two --accept runs at once on a damaged baseline, over and over: the damaged file is
// kept once, neither run sets aside the baseline the other just made, and no journal is
// left beside the database.
TEST_F(CheckBaselineGuard, ConcurrentAcceptsOnADamagedBaselineKeepItOnceAndLeaveNoJournal) {
    record();
    addRogue();
    const std::string good = readFile(database());
    const std::string folder = fs::path(database()).parent_path().string();
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (const auto& kept : damagedCopies(database())) {
            fs::remove(kept);
        }
        fs::remove(database());
        std::ofstream(database(), std::ios::binary) << good;
        const bool malformed = round % 2 == 0;
        if (malformed) {
            std::ofstream(database(), std::ios::binary) << garblePages(good);
        } else {
            ASSERT_TRUE(
                sql(database(), "DELETE FROM settings_values WHERE name = 'Certificate Data'"));
        }
        const std::string damaged = readFile(database());
        ProgramRun runs[2];
        std::thread other([&] { runs[1] = check("--accept"); });
        runs[0] = check("--accept");
        other.join();
        // The second may find the first's new baseline, or its tables still empty.
        int replaced = 0;
        for (const ProgramRun& run : runs) {
            EXPECT_EQ(run.status, 0) << run.out << run.err;
            replaced += run.out.rfind("Replaced the damaged baseline in " + database(), 0) == 0;
        }
        EXPECT_GE(replaced, 1);
        const auto kept = damagedCopies(database());
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(readFile(kept[0]), damaged);
        for (const auto& e : fs::directory_iterator(folder)) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(name.find("-journal") == std::string::npos &&
                        name.find("-wal") == std::string::npos)
                << name;
        }
        const ProgramRun after = check();
        EXPECT_EQ(after.status, 0) << after.err;
        EXPECT_EQ(after.out.rfind("0 added, 0 missing, 0 changed (baseline: 4", 0), 0u)
            << after.out << after.err;
    }
}

TEST_F(CheckBaselineGuard, AForeignDatabaseNeverGetsARow) {
    const std::string file = root_.makeFolder("/var/lib/kestrune") + "/settings.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE keys (path TEXT PRIMARY KEY, owner TEXT);"
                           "CREATE TABLE settings_values (key TEXT, name TEXT, value BLOB)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const std::string before = readFile(file);
    // The tray program's way in (open, else create) and kestrune-check's.
    SqliteSettings settings({file, {}, 200});
    auto key = chooseSettingsKey(settings, KeyUse::Tray).key;
    if (key) {
        const std::uint8_t one[] = {'1', 0};
        const StoreResult<void> written = writeValue(*key, BaselineValue::Count, one);
        ASSERT_FALSE(written);
        EXPECT_NE(written.error().find(file + ": not a Kestrune settings database: table "
                                              "\"keys\" has the columns (path, owner)"),
                  std::string::npos)
            << written.error();
    }
    const ProgramRun run = check("--json");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(file + " is damaged: not a Kestrune settings database"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(readFile(file), before);
}

TEST_F(CheckBaselineGuard, AReadOnlyUserDatabaseIsStillReadAndItsUseIsSaid) {
    // Neither the machine's database nor its folder exists, and nobody may make them.
    ::chmod(root_.makeFolder("/var/lib").c_str(), 0555);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(home_.c_str(), kNobody, kNobody), 0);
    }
    const ProgramRun first = check("", true);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("kestrune-check: using " + userDatabase() + ": " + database() +
                             ": cannot be created ("),
              std::string::npos)
        << first.err;
    EXPECT_NE(first.out.find(userDatabase()), std::string::npos) << first.out;
    ASSERT_EQ(::chmod(userDatabase().c_str(), 0400), 0);
    addRogue();
    expectReadOnlyCompare(userDatabase(), true);
    EXPECT_FALSE(fs::exists(database()));
}

}  // namespace
}  // namespace kestrune::testing
