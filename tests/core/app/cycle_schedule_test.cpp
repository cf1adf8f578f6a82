#include "app/cycle_schedule.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/fake_change_source.h"
#include "tests/support/fake_clock.h"

namespace kestrune {
namespace {

using testing::FakeChangeSource;
using testing::FakeClock;

constexpr std::uint64_t kHour = 3'600'000;

// A program's loop over the watch on fake time: the start time of every cycle, each
// cycle taking `cycleMs` and running `duringCycle` (a change while a box is up).
struct Loop {
    FakeClock clock;
    FakeChangeSource source{clock};
    std::vector<std::uint64_t> cycles;
    std::vector<std::string> reported;
    std::uint64_t cycleMs = 0;
    std::function<void()> duringCycle;

    void runUntil(std::uint64_t end) {
        ChangeWatch watch(source, clock, [this](const std::string& p) { reported.push_back(p); });
        while (watch.waitForNextCycle() == NextCycle::Due && clock.monotonicMs() < end) {
            watch.cycleStarted();
            cycles.push_back(clock.monotonicMs());
            clock.advance(cycleMs);
            if (duringCycle) {
                duringCycle();
            }
            watch.cycleEnded();
        }
    }
    std::size_t cyclesBetween(std::uint64_t from, std::uint64_t to) const {
        std::size_t n = 0;
        for (const std::uint64_t at : cycles) {
            n += at > from && at <= to ? 1 : 0;
        }
        return n;
    }
};

TEST(ChangeSchedule, WithoutChangesTheNextCycleIsAnHourAfterTheLastOneEnded) {
    Loop loop;
    loop.cycleMs = 5'000;
    loop.runUntil(2 * kHour + 20'000);
    EXPECT_EQ(loop.cycles, (std::vector<std::uint64_t>{0, kHour + 5'000, 2 * kHour + 10'000}));
}

TEST(ChangeSchedule, ABurstGivesOneCycleOnceTheStoresWereQuietForTwoSeconds) {
    Loop loop;
    for (std::uint64_t at = 100'000; at <= 105'000; at += 500) {
        loop.source.changeAt(at);
    }
    loop.runUntil(kHour + 200'000);
    // Then the hourly one counts from the burst's cycle, not from the first.
    EXPECT_EQ(loop.cycles, (std::vector<std::uint64_t>{0, 107'000, 107'000 + kHour}));

    // A single change soon after a cycle waits for the ten seconds since its start.
    Loop soon;
    soon.source.changeAt(1'000);
    soon.runUntil(60'000);
    EXPECT_EQ(soon.cycles, (std::vector<std::uint64_t>{0, 10'000}));
}

TEST(ChangeSchedule, AStormGetsACycleEveryTenSecondsAtMostAndOneAfterItEnds) {
    Loop loop;
    loop.cycleMs = 700;
    const std::uint64_t stormStart = 100'000;
    const std::uint64_t stormEnd = 160'000;
    for (std::uint64_t at = stormStart; at <= stormEnd; at += 2) {
        loop.source.changeAt(at);
    }
    loop.runUntil(kHour);
    for (std::size_t i = 1; i < loop.cycles.size(); ++i) {
        EXPECT_GE(loop.cycles[i] - loop.cycles[i - 1], 10'000u) << "cycle " << i;
    }
    // Never quiet, yet scanned: noise cannot hide a change for long.
    EXPECT_GE(loop.cyclesBetween(stormStart, stormEnd), 5u);
    EXPECT_LE(loop.cyclesBetween(stormStart, stormEnd), 6u);
    EXPECT_EQ(loop.cyclesBetween(stormEnd, kHour), 1u);
    EXPECT_LE(loop.cycles.back(), stormEnd + 10'000);
}

TEST(ChangeSchedule, AChangeDuringACycleGivesExactlyOneMoreCycleAfterIt) {
    Loop loop;
    loop.cycleMs = 300'000;  // a box waits five minutes for the user
    int signalled = 0;
    loop.duringCycle = [&] {
        if (signalled++ < 1) {
            loop.source.change();
            loop.source.change();
        }
    };
    loop.runUntil(2 * kHour);
    // Two quiet seconds after the box closed, then hourly again.
    EXPECT_EQ(loop.cycles, (std::vector<std::uint64_t>{0, 302'000, 302'000 + 300'000 + kHour}));
}

TEST(ChangeSchedule, ARequestedCheckIsDueAtOnceInsideTheGapAndCoversTheChangesBeforeIt) {
    Loop loop;
    loop.cycleMs = 1000;
    loop.duringCycle = [&] {
        if (loop.cycles.size() == 1) {
            loop.source.change();   // alone: due ten seconds after the cycle began
            loop.source.request();  // asked for: at once
        }
    };
    loop.runUntil(2 * kHour);
    EXPECT_EQ(loop.cycles, (std::vector<std::uint64_t>{0, 1000, 2000 + kHour}));
}

TEST(ChangeSchedule, EachProblemIsReportedOnceAndTheHourlyCyclesGoOn) {
    Loop loop;
    loop.source.addProblem("/etc/ssl/certs: not watched: Permission denied");
    loop.duringCycle = [&] {
        if (loop.cycles.size() == 2) {
            loop.source.addProblem("the inotify watch limit is reached");
        }
    };
    loop.runUntil(3 * kHour + 1);
    EXPECT_EQ(loop.reported,
              (std::vector<std::string>{"/etc/ssl/certs: not watched: Permission denied",
                                        "the inotify watch limit is reached"}));
    EXPECT_EQ(loop.cycles.size(), 4u);
}

TEST(ChangeSchedule, StoppingEndsTheWaitAtOnceAndForGood) {
    Loop loop;
    loop.clock.onSleep = [&](std::uint32_t) { loop.source.stop(); };
    loop.runUntil(10 * kHour);
    EXPECT_EQ(loop.cycles, std::vector<std::uint64_t>{0});
    EXPECT_EQ(loop.source.waitForChange(1000), ChangeSource::Wake::Stopped);
    EXPECT_EQ(loop.clock.sleeps().size(), 1u);
}

}  // namespace
}  // namespace kestrune
