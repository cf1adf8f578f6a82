// A process killed at any moment while it saves baselines leaves a sound database that
// holds either the pair it was writing or the pair before it, never a mix.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "baseline/baseline_storage.h"
#include "platform/linux/sqlite_settings.h"
#include "tests/platform/linux/scratch_dir.h"
#include "tests/support/sample_records.h"
#include "tests/support/scripted_desktop.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::fillTable;
using testing::holdsSamples;

using TempDir = testing::ScratchDir;

// Save number g holds this many records (some saves are empty), tagged g.
std::size_t recordsOfSave(std::uint32_t g) {
    return (g * 2654435761u >> 9) % 1201;
}

[[noreturn]] void saveForever(const SqliteSettingsOptions& options, std::uint32_t first,
                              int reportFd) {
    SqliteSettings api(options);
    auto key = api.createKey(SettingsRoot::User, kSettingsKeyPath);
    RecordTable table;
    for (std::uint32_t g = first;; ++g) {
        const std::size_t n = recordsOfSave(g);
        fillTable(table, n, g);
        if (!key || !saveBaseline(*key, table, static_cast<std::int32_t>(n))) {
            ::_exit(1);
        }
        // Reported only once the save has returned: it must survive any later kill.
        if (::write(reportFd, &g, sizeof g) != sizeof g) {
            ::_exit(2);
        }
    }
}

// The save the database holds: its number, or nullopt when there is none yet.
struct Observed {
    bool ok = false;
    std::string why;
    std::optional<std::uint32_t> save;
    std::size_t count = 0;
};

std::string integrityCheck(const std::string& file) {
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW) {
            result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        } else {
            result = sqlite3_errmsg(db);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result;
}

Observed observe(const SqliteSettingsOptions& options, std::uint32_t candidateA,
                 std::uint32_t candidateB) {
    Observed o;
    // The integrity check opens the database first, so it also rolls back a journal left
    // by the killed writer.
    if (fs::exists(options.userDatabase)) {
        const std::string integrity = integrityCheck(options.userDatabase);
        if (integrity != "ok") {
            o.why = "integrity_check: " + integrity;
            return o;
        }
    }
    SqliteSettings api(options);
    auto key = api.openKey(SettingsRoot::User, kSettingsKeyPath);
    std::uint32_t type = 0;
    std::uint32_t countSize = 0;
    std::uint32_t dataSize = 0;
    if (!key || key->queryValue(kValueCertificateCount, &type, nullptr, &countSize) ==
                    SettingsStatus::NotFound) {
        // No pair yet: then there must be no data either.
        o.ok = !key || key->queryValue(kValueCertificateData, &type, nullptr, &dataSize) ==
                           SettingsStatus::NotFound;
        o.why = "data without count";
        return o;
    }
    KestruneState state;
    state.settingsKey = std::move(key);
    testing::ScriptedDesktop desktop;
    CaptureTrace trace;
    if (registry_settings_load(state, desktop, trace) != 1) {
        o.why = "load failed: " + trace.allText();
        return o;
    }
    if (trace.outText().find("does not match") != std::string::npos) {
        o.why = "count and data disagree: " + trace.outText();
        return o;
    }
    o.count = state.mqsCertificatesRegistry.validCount();
    // Which save is it? Its records carry their save's number.
    for (std::uint32_t g : {candidateA, candidateB}) {
        if (recordsOfSave(g) == o.count &&
            holdsSamples(state.mqsCertificatesRegistry, o.count, g)) {
            o.ok = true;
            o.save = g;
            return o;
        }
    }
    o.why = "holds neither save " + std::to_string(candidateA) + " nor " +
            std::to_string(candidateB) + " (" + std::to_string(o.count) + " records)";
    return o;
}

TEST(SqliteCrashConsistency, KilledWriterLeavesTheOldPairOrTheNewPair) {
    TempDir dir;
    SqliteSettingsOptions options;
    options.userDatabase = (dir.path() / "settings.db").string();

    // Kill times spread over a few saves' worth of time on this disk (a save with
    // synchronous=FULL costs what the disk's flushes cost).
    std::chrono::microseconds saveTime{0};
    {
        TempDir probe;
        SqliteSettingsOptions o;
        o.userDatabase = (probe.path() / "probe.db").string();
        SqliteSettings api(o);
        auto key = api.createKey(SettingsRoot::User, kSettingsKeyPath);
        ASSERT_TRUE(key);
        RecordTable table;
        fillTable(table, 600, 1);
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(saveBaseline(*key, table, 600));
        }
        saveTime = std::chrono::duration_cast<std::chrono::microseconds>(
            (std::chrono::steady_clock::now() - t0) / 3);
    }
    const auto window = static_cast<unsigned>(saveTime.count()) * 3 + 2000;

    std::mt19937 rng(7321);
    constexpr int kKills = 220;
    std::optional<std::uint32_t> held;  // the save the database held after the last kill
    std::set<std::uint32_t> distinct;
    int hotJournals = 0;  // kills that left a transaction half done
    int keptOld = 0;      // ... after which the database held the older pair
    int tookNew = 0;      // kills after which the save in flight had landed
    int savesReported = 0;
    const auto start = std::chrono::steady_clock::now();

    for (int kill = 0; kill < kKills; ++kill) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const std::uint32_t first = static_cast<std::uint32_t>(kill) * 100000u + 1;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            saveForever(options, first, fds[1]);
        }
        ::close(fds[1]);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % window));
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own, status " << status;

        std::optional<std::uint32_t> lastDone;
        std::uint32_t g = 0;
        while (::read(fds[0], &g, sizeof g) == sizeof g) {
            lastDone = g;
            ++savesReported;
        }
        ::close(fds[0]);
        if (fs::exists(options.userDatabase + "-journal") &&
            fs::file_size(options.userDatabase + "-journal") > 0) {
            ++hotJournals;
        }

        // Before the first reported save the database may still hold the previous
        // writer's pair (or none); after it, the last reported save or the next one.
        const std::uint32_t older = lastDone ? *lastDone : (held ? *held : 0);
        const std::uint32_t newer = lastDone ? *lastDone + 1 : first;
        const Observed seen = observe(options, older, newer);
        ASSERT_TRUE(seen.ok) << "after kill " << kill << ": " << seen.why;
        if (seen.save) {
            distinct.insert(*seen.save);
            if (*seen.save == newer) {
                ++tookNew;
            } else {
                ++keptOld;
            }
            if (!lastDone && *seen.save != first && held) {
                ASSERT_EQ(*seen.save, *held) << "after kill " << kill;
            }
        } else {
            ASSERT_FALSE(held) << "a stored pair vanished after kill " << kill;
        }
        held = seen.save;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "crash test: one save ~%.1f ms; %d kills in %.1f s, %d saves completed, %d kills "
        "mid-transaction "
        "(journal left), %zu distinct pairs observed, %d held the pair in flight, %d the one "
        "before\n",
        saveTime.count() / 1000.0, kKills, seconds, savesReported, hotJournals, distinct.size(),
        tookNew, keptOld);
    RecordProperty("kills", kKills);
    RecordProperty("hot_journals", hotJournals);
    RecordProperty("distinct_states", static_cast<int>(distinct.size()));
    // The kills must really have landed in the middle of writes, or nothing was tested.
    EXPECT_GT(hotJournals, 20);
    EXPECT_GT(distinct.size(), 20u);
}

}  // namespace
}  // namespace kestrune
