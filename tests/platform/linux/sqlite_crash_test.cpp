// A process killed at any moment while it saves baselines leaves a sound database that
// holds either the pair it was writing or the pair before it, never a mix.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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
#include "platform/linux/settings/sqlite_settings.h"
#include "tests/platform/linux/scratch_dir.h"
#include "tests/support/memory_settings.h"
#include "tests/support/sample_records.h"
#include "tests/support/scripted_desktop.h"
#include "ui/baseline_messages.h"

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

// What the writer tells the parent: it is starting save `save`, or has completed it.
struct Report {
    std::uint32_t save = 0;
    std::uint32_t done = 0;
};

[[noreturn]] void saveForever(const SqliteSettingsOptions& options, std::uint32_t first,
                              int reportFd) {
    SqliteSettings api(options);
    auto key = testing::openStore(api, SettingsRoot::User, StoreAccess::Create);
    RecordTable table;
    for (std::uint32_t g = first;; ++g) {
        const std::size_t n = recordsOfSave(g);
        fillTable(table, n, g);
        // Reports fit in one pipe write, so the parent never reads half of one.
        Report r{g, 0};
        if (::write(reportFd, &r, sizeof r) != sizeof r) {
            ::_exit(2);
        }
        if (!key || !saveBaseline(*key, table, static_cast<std::int32_t>(n))) {
            ::_exit(1);
        }
        // Reported only once the save has returned: it must survive any later kill.
        r.done = 1;
        if (::write(reportFd, &r, sizeof r) != sizeof r) {
            ::_exit(2);
        }
    }
}

// The writer's next report, waiting no later than `deadline`; false on timeout or end.
bool nextReport(int fd, Report& r, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) == 1 &&
           ::read(fd, &r, sizeof r) == sizeof r;
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
    std::shared_ptr<BaselineStore> settingsKey = baselineStoreOver(std::move(key));
    testing::ScriptedDesktop desktop;
    CaptureTrace trace;
    if (registry_settings_load(settingsKey.get(), state, desktop, trace) != 1) {
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
    using Clock = std::chrono::steady_clock;
    TempDir dir;
    SqliteSettingsOptions options;
    options.userDatabase = (dir.path() / "settings.db").string();

    // Each writer is killed while a save is in flight, at a random moment within what a
    // save has taken so far (its flushes cost what this disk's cost, and a sanitized or
    // busy machine is slower still). Kills go on until enough of them landed mid-write
    // and left distinct saves behind; the bound is for a writer that stops progressing.
    constexpr int kMinKills = 220;
    constexpr int kMinHotJournals = 20;
    constexpr std::size_t kMinDistinct = 20;
    constexpr auto kBound = std::chrono::minutes(4);

    std::mt19937 rng(7321);
    std::optional<std::uint32_t> held;  // the save the database held after the last kill
    std::set<std::uint32_t> distinct;
    int kills = 0;
    int hotJournals = 0;  // kills that left a transaction half done
    int keptOld = 0;      // ... after which the database held the older pair
    int tookNew = 0;      // kills after which the save in flight had landed
    int savesReported = 0;
    Clock::duration savesTime{0};  // start to end, summed over the saves timed
    int savesTimed = 0;
    const auto start = Clock::now();
    const auto deadline = start + kBound;

    while (
        (kills < kMinKills || hotJournals <= kMinHotJournals || distinct.size() <= kMinDistinct) &&
        Clock::now() < deadline) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const std::uint32_t first = static_cast<std::uint32_t>(kills) * 100000u + 1;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            saveForever(options, first, fds[1]);
        }
        ::close(fds[1]);

        // Let the writer complete a few saves (none, sometimes: then the kill lands in its
        // first), and wait for it to start the one to be killed.
        const int letComplete = savesTimed == 0 ? 1 : static_cast<int>(rng() % 3);
        std::optional<std::uint32_t> lastDone;
        int completed = 0;
        Clock::time_point startedAt{};
        for (Report r; nextReport(fds[0], r, deadline);) {
            if (!r.done) {
                startedAt = Clock::now();
                if (completed == letComplete) {
                    const auto mean = savesTime / std::max(savesTimed, 1);
                    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(mean);
                    std::this_thread::sleep_for(
                        std::chrono::microseconds(rng() % (us.count() + 1)));
                    break;
                }
            } else {
                savesTime += Clock::now() - startedAt;
                ++savesTimed;
                lastDone = r.save;
                ++completed;
                ++savesReported;
            }
        }
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        ++kills;
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own, status " << status;

        for (Report r; ::read(fds[0], &r, sizeof r) == sizeof r;) {
            if (r.done) {
                lastDone = r.save;
                ++savesReported;
            }
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
        ASSERT_TRUE(seen.ok) << "after kill " << kills << ": " << seen.why;
        if (seen.save) {
            distinct.insert(*seen.save);
            if (*seen.save == newer) {
                ++tookNew;
            } else {
                ++keptOld;
            }
            if (!lastDone && *seen.save != first && held) {
                ASSERT_EQ(*seen.save, *held) << "after kill " << kills;
            }
        } else {
            ASSERT_FALSE(held) << "a stored pair vanished after kill " << kills;
        }
        held = seen.save;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double saveMs =
        std::chrono::duration<double, std::milli>(savesTime).count() / std::max(savesTimed, 1);
    std::printf(
        "crash test: one save ~%.1f ms; %d kills in %.1f s, %d saves completed, %d kills "
        "mid-transaction (journal left), %zu distinct pairs observed, %d held the pair in "
        "flight, %d the one before\n",
        saveMs, kills, seconds, savesReported, hotJournals, distinct.size(), tookNew, keptOld);
    RecordProperty("kills", kills);
    RecordProperty("hot_journals", hotJournals);
    RecordProperty("distinct_states", static_cast<int>(distinct.size()));
    // The kills must really have landed in the middle of writes, or nothing was tested.
    EXPECT_GT(hotJournals, kMinHotJournals)
        << "too few kills landed mid-write within " << seconds << " s";
    EXPECT_GT(distinct.size(), kMinDistinct)
        << "too few distinct saves were left behind within " << seconds << " s";
}

}  // namespace
}  // namespace kestrune
