#include "platform/linux/settings/sqlite_settings.h"
#include "app/ports.h"
#include "tests/platform/linux/scratch_dir.h"

#include <fcntl.h>
#include <grp.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "baseline/baseline_storage.h"
#include "platform/linux/unique_fd.h"
#include "platform/platform.h"
#include "tests/support/poll_until.h"
#include "tests/support/sample_records.h"
#include "tests/support/scripted_desktop.h"
#include "ui/baseline_messages.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::fillTable;
using testing::holdsSamples;
using testing::ScriptedDesktop;

using TempDir = testing::ScratchDir;

std::vector<std::uint8_t> readFile(const fs::path& p) {
    return testing::readBytes(p);
}

void writeFile(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t modeOf(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

SqliteSettingsOptions optionsIn(const TempDir& dir) {
    SqliteSettingsOptions o;
    o.machineDatabase = machineSettingsPath(dir.path() / "root");
    o.userDatabase = (dir.path() / "home/.config/kestrune/settings.db").string();
    return o;
}

std::vector<std::uint8_t> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

// Waits for a forked child and gives its exit status (-1 when it did not exit).
int waitChild(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(SqliteSettings, ValuesRoundTripWithRegistryReadRules) {
    TempDir dir;
    SqliteSettings api(optionsIn(dir));
    auto key = api.createKey(SettingsRoot::User, kSettingsKeyPath);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->describe(), api.options().userDatabase);

    const std::vector<std::uint8_t> blob = {1, 2, 3, 0, 5};
    ASSERT_EQ(key->setValue("Certificate Data", kRegBinary, blob), SettingsStatus::Ok);
    ASSERT_EQ(key->setValue("Certificate Count", kRegSz, std::vector<std::uint8_t>{'1', 0, '2', 0}),
              SettingsStatus::Ok);
    ASSERT_EQ(key->setValue("Empty", kRegBinary, {}), SettingsStatus::Ok);

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    EXPECT_EQ(key->queryValue("Certificate Data", &type, nullptr, &size), SettingsStatus::Ok);
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(size, 5u);
    std::vector<std::uint8_t> buffer(8, 0xee);
    size = 4;
    EXPECT_EQ(key->queryValue("Certificate Data", &type, buffer.data(), &size),
              SettingsStatus::MoreData);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(buffer[0], 0xee);  // nothing copied into a buffer that is too small
    size = 8;
    EXPECT_EQ(key->queryValue("Certificate Data", &type, buffer.data(), &size), SettingsStatus::Ok);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 5), blob);
    // Names are case-insensitive, as in the registry.
    size = 8;
    EXPECT_EQ(key->queryValue("certificate count", &type, buffer.data(), &size),
              SettingsStatus::Ok);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(size, 4u);
    size = 8;
    EXPECT_EQ(key->queryValue("Empty", &type, buffer.data(), &size), SettingsStatus::Ok);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(key->queryValue("Absent", &type, nullptr, &size), SettingsStatus::NotFound);

    // Another key in the same database sees none of it; an overwrite replaces type and data.
    auto other = api.createKey(SettingsRoot::User, "Software\\Other");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->queryValue("Certificate Data", &type, nullptr, &size),
              SettingsStatus::NotFound);
    ASSERT_EQ(key->setValue("Certificate Data", kRegSz, bytesOf("x")), SettingsStatus::Ok);
    EXPECT_EQ(key->queryValue("Certificate Data", &type, nullptr, &size), SettingsStatus::Ok);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(size, 1u);
}

// A value as the key reads it back (empty on any failure).
std::vector<std::uint8_t> valueOf(SettingsKey& key, const std::string& name) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (key.queryValue(name, &type, nullptr, &size) != SettingsStatus::Ok) {
        return {};
    }
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t read = size;
    if (key.queryValue(name, &type, bytes.data(), &read) != SettingsStatus::Ok || read != size) {
        return {};
    }
    return bytes;
}

std::vector<std::uint8_t> noise(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
}

// Values over many pages are written over in place where their size stays (changed
// pieces only) and anew where it changes; either way every byte reads back, beside a
// neighbour that is left alone, in this process and in a fresh connection.
TEST(SqliteSettings, LongValuesReadBackWholeAfterEveryKindOfRewrite) {
    TempDir dir;
    SqliteSettings api(optionsIn(dir));
    auto key = api.createKey(SettingsRoot::User, kSettingsKeyPath);
    ASSERT_TRUE(key);
    const auto neighbour = noise(200000, 9);
    auto data = noise(1000000, 1);
    const ValueWrite first[] = {{"Neighbour", kRegBinary, neighbour},
                                {"Certificate Data", kRegBinary, data}};
    ASSERT_EQ(key->setValues(first), SettingsStatus::Ok);
    EXPECT_EQ(valueOf(*key, "Certificate Data"), data);

    struct Step {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    auto oneByte = data;
    oneByte[700001] ^= 0x5a;
    auto firstAndLast = oneByte;
    firstAndLast.front() ^= 1;
    firstAndLast.back() ^= 1;
    const Step steps[] = {
        {"same size, one byte changed", oneByte},
        {"same size, first and last bytes changed", firstAndLast},
        {"same size, unchanged", firstAndLast},
        {"same size, every byte changed", noise(1000000, 2)},
        {"longer", noise(1300001, 3)},
        {"shorter", noise(5000, 4)},
        {"empty", {}},
        {"long again", noise(900000, 5)},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_EQ(key->setValue("Certificate Data", kRegBinary, step.bytes), SettingsStatus::Ok);
        EXPECT_EQ(valueOf(*key, "Certificate Data"), step.bytes);
        EXPECT_EQ(valueOf(*key, "Neighbour"), neighbour);
    }
    // The type follows the last write even where the bytes do not change.
    ASSERT_EQ(key->setValue("Certificate Data", kRegSz, steps[7].bytes), SettingsStatus::Ok);
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    ASSERT_EQ(key->queryValue("Certificate Data", &type, nullptr, &size), SettingsStatus::Ok);
    EXPECT_EQ(type, kRegSz);

    SqliteSettings again(optionsIn(dir));
    auto fresh = again.openKeyForReading(SettingsRoot::User, kSettingsKeyPath);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(valueOf(*fresh, "Certificate Data"), steps[7].bytes);
    EXPECT_EQ(valueOf(*fresh, "Neighbour"), neighbour);
    ASSERT_EQ(sqlite3_initialize(), SQLITE_OK);
    sqlite3* db = nullptr;
    ASSERT_EQ(
        sqlite3_open_v2(api.options().userDatabase.c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
        SQLITE_OK);
    char* error = nullptr;
    std::string check;
    sqlite3_exec(
        db, "PRAGMA integrity_check",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) += values[0] ? values[0] : "";
            return 0;
        },
        &check, &error);
    sqlite3_free(error);
    sqlite3_close(db);
    EXPECT_EQ(check, "ok");
}

// A database made with SQLite's own page size (every store written before) and a value
// someone stored as text by hand are read and rewritten like any other.
TEST(SqliteSettings, EarlierDatabasesAndTextValuesStillReadAndWrite) {
    TempDir dir;
    const SqliteSettingsOptions options = optionsIn(dir);
    fs::create_directories(fs::path(options.userDatabase).parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(options.userDatabase.c_str(), &db), SQLITE_OK);
    const std::string sql =
        "PRAGMA page_size = 4096;"
        "CREATE TABLE keys (path TEXT PRIMARY KEY COLLATE NOCASE);"
        "CREATE TABLE settings_values (key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL "
        "COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (key, name));"
        "INSERT INTO keys VALUES ('Software\\Brimtal Software\\Kestrune');"
        "INSERT INTO settings_values VALUES ('Software\\Brimtal Software\\Kestrune', "
        "'Certificate Count', 1, '3');"
        "INSERT INTO settings_values VALUES ('Software\\Brimtal Software\\Kestrune', "
        "'Certificate Data', 3, randomblob(3 * 568));";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);

    SqliteSettings api(options);
    auto key = api.openKey(SettingsRoot::User, kSettingsKeyPath);
    ASSERT_TRUE(key);
    EXPECT_EQ(valueOf(*key, "Certificate Count"), bytesOf("3"));
    EXPECT_EQ(valueOf(*key, "Certificate Data").size(), 3u * 568);
    RecordTable table;
    fillTable(table, 300, 4);
    ASSERT_TRUE(saveBaseline(*baselineStoreOn(*key), table, 300));
    // The count is kept as a string value, the records as a binary one.
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    ASSERT_EQ(key->queryValue(kValueCertificateCount, &type, nullptr, &size), SettingsStatus::Ok);
    EXPECT_EQ(type, kRegSz);
    ASSERT_EQ(key->queryValue(kValueCertificateData, &type, nullptr, &size), SettingsStatus::Ok);
    EXPECT_EQ(type, kRegBinary);
    ScriptedDesktop desktop;
    CaptureTrace trace;
    KestruneState state;
    std::shared_ptr<BaselineStore> settingsKey = baselineStoreOver(std::move(key));
    ASSERT_EQ(registry_settings_load(settingsKey.get(), state, desktop, trace), 1)
        << trace.outText();
    EXPECT_TRUE(holdsSamples(state.mqsCertificatesRegistry, 300, 4));
    EXPECT_EQ(state.iCertificateCountTotal_Registry, 300);
    // The save rebuilt it with large pages, and it still holds just what was saved.
    ASSERT_EQ(sqlite3_open_v2(options.userDatabase.c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT (SELECT page_size FROM pragma_page_size), (SELECT count(*) FROM "
                       "settings_values), (SELECT integrity_check FROM pragma_integrity_check)",
                       -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 65536);
    EXPECT_EQ(sqlite3_column_int(st, 1), 4);  // count, data, fingerprints and trust
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 2)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST(SqliteSettings, OpenFindsOnlyExistingKeysAndCreatesNothing) {
    TempDir dir;
    SqliteSettings api(optionsIn(dir));
    EXPECT_EQ(api.openKey(SettingsRoot::Machine, kSettingsKeyPath), nullptr);
    EXPECT_FALSE(fs::exists(api.options().machineDatabase));
    ASSERT_TRUE(api.createKey(SettingsRoot::Machine, "Software\\Else"));
    EXPECT_EQ(api.openKey(SettingsRoot::Machine, kSettingsKeyPath), nullptr);
    ASSERT_TRUE(api.createKey(SettingsRoot::Machine, kSettingsKeyPath));
    // A fresh object on the same file, as another process would have; the path's case
    // does not matter, as in the registry.
    SqliteSettings again(optionsIn(dir));
    EXPECT_TRUE(again.openKey(SettingsRoot::Machine, "software\\brimtal software\\KESTRUNE"));
    SqliteSettingsOptions noUser = optionsIn(dir);
    noUser.userDatabase.clear();
    EXPECT_EQ(SqliteSettings(noUser).createKey(SettingsRoot::User, kSettingsKeyPath), nullptr);
}

TEST(SqliteSettings, PathsFollowRootAndXdgRules) {
    EXPECT_EQ(machineSettingsPath("/"), "/var/lib/kestrune/settings.db");
    EXPECT_EQ(machineSettingsPath(""), "/var/lib/kestrune/settings.db");
    EXPECT_EQ(machineSettingsPath("/tmp/r/"), "/tmp/r/var/lib/kestrune/settings.db");

    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", "/home/ann", 1);
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(userSettingsPath("/home/ann"), "/cfg/kestrune/settings.db");
    ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // invalid by the XDG rule
    EXPECT_EQ(userSettingsPath("/home/ann"), "/home/ann/.config/kestrune/settings.db");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(userSettingsPath("/home/ann"), "/home/ann/.config/kestrune/settings.db");
    EXPECT_EQ(userSettingsPath(""), "");  // no home, no user settings
    // The home the program was given, not $HOME: both user parts live in one place.
    NullTrace quiet;
    const PlatformPorts ports = makePorts(PlatformOptions{"/tmp/r", "/home/bob"}, quiet);
    EXPECT_EQ(dynamic_cast<SqliteSettings&>(*ports.settings).options().userDatabase,
              "/home/bob/.config/kestrune/settings.db");
    oldXdg ? ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

TEST(SqliteSettings, CreatedFilesAndFoldersHaveTheirModesWhateverTheUmask) {
    for (mode_t mask : {mode_t{0}, mode_t{077}, mode_t{022}}) {
        TempDir dir;
        const mode_t old = ::umask(mask);
        SqliteSettings api(optionsIn(dir));
        auto machine = api.createKey(SettingsRoot::Machine, kSettingsKeyPath);
        auto user = api.createKey(SettingsRoot::User, kSettingsKeyPath);
        ::umask(old);
        ASSERT_TRUE(machine && user);
        RecordTable t;
        fillTable(t, 2, 1);
        ASSERT_TRUE(
            saveBaseline(*baselineStoreOn(*machine), t, 2));  // the journal must not change modes
        const fs::path m = api.options().machineDatabase;
        const fs::path u = api.options().userDatabase;
        EXPECT_EQ(modeOf(m), 0644u) << mask;
        EXPECT_EQ(modeOf(m.parent_path()), 0755u);
        EXPECT_EQ(modeOf(dir.path() / "root/var"), 0755u);
        EXPECT_EQ(modeOf(u), 0600u);
        EXPECT_EQ(modeOf(u.parent_path()), 0700u);
        EXPECT_EQ(modeOf(dir.path() / "home/.config"), 0700u);
    }
}

TEST(SqliteSettings, BaselineSavedByOneProcessLoadsInAnother) {
    TempDir dir;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        SqliteSettings api(optionsIn(dir));
        ScriptedDesktop desktop;
        auto key = openSettingsKey(api, desktop);
        RecordTable t;
        fillTable(t, 25, 42);
        ::_exit(key && isFirstStart(*key) && saveBaseline(*key, t, 25) ? 0 : 1);
    }
    ASSERT_EQ(waitChild(pid), 0);

    SqliteSettings api(optionsIn(dir));
    ScriptedDesktop desktop;
    CaptureTrace trace;
    KestruneState state;
    std::shared_ptr<BaselineStore> settingsKey = openSettingsKey(api, desktop);
    ASSERT_TRUE(settingsKey);
    EXPECT_EQ(settingsKey->describe(), api.options().machineDatabase);  // root may write it
    EXPECT_FALSE(isFirstStart(*settingsKey));
    ASSERT_EQ(registry_settings_load(settingsKey.get(), state, desktop, trace), 1)
        << trace.allText();
    EXPECT_TRUE(desktop.calls().empty());
    EXPECT_EQ(state.iCertificateCountTotal_Registry, 25);
    EXPECT_TRUE(holdsSamples(state.mqsCertificatesRegistry, 25, 42));
    EXPECT_TRUE(holdsSamples(state.mqsCertificates, 25, 42));
    EXPECT_EQ(trace.outText(), "ERROR_SUCCESS: Total Count in Registry: 25(size: 14200)\r\n");
}

// A user who may not write the machine database gets the key under the user root, as a
// non-administrator does under the registry's local-machine root.
TEST(SqliteSettings, MachineDatabaseWithoutWriteAccessFallsThroughToTheUser) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    SqliteSettings admin(optionsIn(dir));
    {
        auto key = admin.createKey(SettingsRoot::Machine, kSettingsKeyPath);
        RecordTable t;
        fillTable(t, 3, 5);
        ASSERT_TRUE(key && saveBaseline(*baselineStoreOn(*key), t, 3));
    }
    const fs::path machine = admin.options().machineDatabase;
    const auto before = readFile(machine);
    const fs::path home = dir.path() / "home";
    fs::create_directories(home);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
    } else {
        ::chmod(machine.c_str(), 0444);
        ::chmod(machine.parent_path().c_str(), 0555);
    }

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                     ::setresuid(65534, 65534, 65534) != 0)) {
            ::_exit(10);
        }
        SqliteSettings api(optionsIn(dir));
        ScriptedDesktop desktop;
        if (api.openKey(SettingsRoot::Machine, kSettingsKeyPath) ||
            api.createKey(SettingsRoot::Machine, kSettingsKeyPath)) {
            ::_exit(11);
        }
        auto key = openSettingsKey(api, desktop);
        if (!key || key->describe() != api.options().userDatabase) {
            ::_exit(12);
        }
        if (!desktop.calls().empty() || !isFirstStart(*key)) {
            ::_exit(13);
        }
        RecordTable t;
        fillTable(t, 1, 6);
        ::_exit(saveBaseline(*key, t, 1) ? 0 : 14);
    }
    EXPECT_EQ(waitChild(pid), 0);
    EXPECT_EQ(readFile(machine), before);
    EXPECT_TRUE(fs::exists(admin.options().userDatabase));
    ::chmod(machine.parent_path().c_str(), 0755);
}

// A file that is not a usable settings database is reported with its name and left
// exactly as it was: no repair, no fresh database in its place, no journal beside it.
TEST(SqliteSettings, DamagedDatabaseIsReportedAndNeverWritten) {
    TempDir dir;
    // A real database whose value table is overwritten with garbage.
    std::vector<std::uint8_t> pageDamaged;
    {
        TempDir source;
        SqliteSettings api(optionsIn(source));
        auto key = api.createKey(SettingsRoot::User, kSettingsKeyPath);
        RecordTable t;
        fillTable(t, 4, 1);
        ASSERT_TRUE(key && saveBaseline(*baselineStoreOn(*key), t, 4));
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(api.options().userDatabase.c_str(), &db), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT rootpage, (SELECT page_size FROM pragma_page_size) FROM "
                           "sqlite_master WHERE name = 'settings_values'",
                           -1, &st, nullptr);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        const int rootPage = sqlite3_column_int(st, 0);
        const auto pageSize = static_cast<std::size_t>(sqlite3_column_int(st, 1));
        sqlite3_finalize(st);
        sqlite3_close(db);
        pageDamaged = readFile(api.options().userDatabase);
        const std::size_t offset = static_cast<std::size_t>(rootPage - 1) * pageSize;
        ASSERT_GT(pageDamaged.size(), offset + pageSize);
        for (std::size_t i = 0; i < 64; ++i) {
            pageDamaged[offset + i] = 0xa5;
        }
    }
    // Someone else's database.
    std::vector<std::uint8_t> foreign;
    {
        TempDir source;
        const fs::path p = source.path() / "other.db";
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(p.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES (1);", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        foreign = readFile(p);
    }
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files = {
        {"text", bytesOf(std::string(3000, 'k'))},
        {"short", bytesOf("not sqlite")},
        {"header only", bytesOf(std::string("SQLite format 3\0", 16) + std::string(200, 'x'))},
        {"page damaged", pageDamaged},
        {"foreign", foreign},
    };
    for (const auto& [what, content] : files) {
        SCOPED_TRACE(what);
        SqliteSettings api(optionsIn(dir));
        const fs::path file = api.options().userDatabase;
        writeFile(file, content);
        ::chmod(file.c_str(), 0600);

        auto key = api.createKey(SettingsRoot::User, kSettingsKeyPath);
        ASSERT_TRUE(key);
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        const SettingsStatus read = key->queryValue(kValueCertificateCount, &type, nullptr, &size);
        if (what != "foreign") {  // a foreign database simply has no such value
            EXPECT_EQ(read, SettingsStatus::Error);
            EXPECT_NE(key->lastError().find(file.string()), std::string::npos) << key->lastError();
            EXPECT_FALSE(isFirstStart(*baselineStoreOn(*key)));
        }
        RecordTable t;
        fillTable(t, 2, 2);
        EXPECT_FALSE(saveBaseline(*baselineStoreOn(*key), t, 2));
        EXPECT_NE(key->lastError().find(file.string()), std::string::npos) << key->lastError();

        KestruneState state;
        ScriptedDesktop desktop;
        CaptureTrace trace;
        std::shared_ptr<BaselineStore> settingsKey(baselineStoreOver(std::move(key)));
        EXPECT_EQ(registry_settings_load(settingsKey.get(), state, desktop, trace), 0);
        EXPECT_EQ(desktop.messageBoxes().size(), 2u);
        if (what != "foreign") {
            EXPECT_NE(trace.errText().find(file.string()), std::string::npos);
        }
        settingsKey.reset();

        EXPECT_EQ(readFile(file), content);
        EXPECT_FALSE(fs::exists(file.string() + "-journal"));
        fs::remove(file);
    }
}

// Whether thread `tid` of this process is in a timed sleep right now.
bool inTimedSleep(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long call = -1;
    in >> call;
#ifdef SYS_nanosleep
    if (call == SYS_nanosleep) {
        return true;
    }
#endif
    return call == SYS_clock_nanosleep;
}

TEST(SqliteSettings, LockHeldPastTheWaitIsBusyAndAShortLockIsWaitedFor) {
    TempDir dir;
    SqliteSettingsOptions o = optionsIn(dir);
    o.busyTimeoutMs = 200;
    SqliteSettings api(o);
    auto key = api.createKey(SettingsRoot::User, kSettingsKeyPath);
    ASSERT_TRUE(key);
    ASSERT_EQ(key->setValue("v", kRegSz, bytesOf("1")), SettingsStatus::Ok);

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(o.userDatabase.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(key->setValue("v", kRegSz, bytesOf("2")), SettingsStatus::Busy);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_NE(key->lastError().find(o.userDatabase), std::string::npos);
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    EXPECT_EQ(key->queryValue("v", &type, nullptr, &size), SettingsStatus::Busy);
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);

    // With the default wait, a lock the other program lets go of while the writer waits
    // for it is waited out. The writer waits asleep between its tries for the lock.
    SqliteSettings patient(optionsIn(dir));
    auto key2 = patient.openKey(SettingsRoot::User, kSettingsKeyPath);
    ASSERT_TRUE(key2);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const pid_t writer = ::gettid();
    std::atomic<bool> returned{false};
    bool sawWriterWait = false;
    std::thread release([&] {
        testing::pollUntil(
            [&] {
                sawWriterWait = inTimedSleep(writer);
                return sawWriterWait || returned;
            },
            std::chrono::minutes(1));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(key2->setValue("v", kRegSz, bytesOf("3")), SettingsStatus::Ok);
    returned = true;
    release.join();
    EXPECT_TRUE(sawWriterWait) << "the writer was never seen waiting for the lock";
    sqlite3_close(other);
    std::uint8_t byte = 0;
    size = 1;
    EXPECT_EQ(key->queryValue("v", &type, &byte, &size), SettingsStatus::Ok);
    EXPECT_EQ(byte, '3');
}

// Setting a database aside renames it and makes a new one under its folder's lock; a key
// that finds no file meanwhile waits for that lock and follows the name to the new one,
// instead of taking the database for deleted.
TEST(SqliteSettings, AKeyFindingNoFileWaitsForASetAsideAndFollowsTheName) {
    TempDir dir;
    const SqliteSettingsOptions o = optionsIn(dir);
    SqliteSettings api(o);
    auto key = api.createKey(SettingsRoot::User, kSettingsKeyPath);
    ASSERT_TRUE(key);
    ASSERT_EQ(key->setValue("v", kRegSz, bytesOf("1")), SettingsStatus::Ok);

    const fs::path folder = fs::path(o.userDatabase).parent_path();
    UniqueFd lock(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(lock);
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
    fs::rename(o.userDatabase, o.userDatabase + ".aside");

    std::atomic<bool> returned{false};
    SettingsStatus status = SettingsStatus::Error;
    std::uint8_t byte = 0;
    std::thread reader([&] {
        std::uint32_t type = 0;
        std::uint32_t size = 1;
        status = key->queryValue("v", &type, &byte, &size);
        returned = true;
    });
    // A waiter on a lock shows in /proc/locks as a "->" line naming the folder's inode.
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    const bool sawWait = testing::pollUntil(
        [&] {
            std::ifstream locks("/proc/locks");
            for (std::string line; std::getline(locks, line);) {
                if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) {
                    return true;
                }
            }
            return returned.load();
        },
        std::chrono::minutes(1));
    SqliteSettings other(o);  // the new database the set-aside makes
    auto fresh = other.createKey(SettingsRoot::User, kSettingsKeyPath);
    ASSERT_TRUE(fresh);
    ASSERT_EQ(fresh->setValue("v", kRegSz, bytesOf("2")), SettingsStatus::Ok);
    lock.reset();  // the set-aside is done
    reader.join();
    EXPECT_TRUE(sawWait);
    EXPECT_EQ(status, SettingsStatus::Ok) << key->lastError();
    EXPECT_EQ(byte, '2');
}

}  // namespace
}  // namespace kestrune
