// When the next cycle is due: an hour after the last one, or soon after a store changed.
// A burst of changes (a package upgrade rewriting hundreds of files) gives one cycle once
// the stores have been quiet for a while; a storm that never quiets down still gets a
// cycle now and then, never more often than the minimum gap, so noise cannot hide a new
// root for long and cannot make the program scan without pause either.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "inventory/change_source.h"
#include "inventory/clock.h"

namespace kestrune {

struct ScheduleRules {
    std::uint64_t quietMs = 2'000;         // a burst is over once nothing changed for this long
    std::uint64_t minGapMs = 10'000;       // between the starts of two cycles, at least
    std::uint64_t maxDelayMs = 10'000;     // after the first unscanned change, at most
    std::uint64_t intervalMs = 3'600'000;  // from the end of a cycle to the hourly one
};

// The pure rules over times in milliseconds of a monotonic clock.
class CycleSchedule {
  public:
    explicit CycleSchedule(ScheduleRules rules = {}) : rules_(rules) {}

    void changed(std::uint64_t now);
    // A change seen after a cycle started is left for the cycle after it: the running
    // scan may have read that store before it changed.
    void cycleStarted(std::uint64_t now);
    void cycleEnded(std::uint64_t now);
    // A change that came while the cycle waited for the user, found once it ended: it
    // has long settled, and the user's answer, not a storm, set the pace, so the next
    // cycle is due at once.
    void changedWhileAsking(std::uint64_t now);

    // When the next cycle is due; 0 before the first one (due at once).
    std::uint64_t dueAt() const;
    bool changePending() const { return pending_; }

  private:
    ScheduleRules rules_;
    bool ran_ = false;
    bool pending_ = false;
    bool dueNow_ = false;
    std::uint64_t firstChange_ = 0;
    std::uint64_t lastChange_ = 0;
    std::uint64_t lastStart_ = 0;
    std::uint64_t lastEnd_ = 0;
};

enum class NextCycle { Due, Stopped };

// The schedule over a change source and a clock: what a program's loop waits in. Each
// problem the source lists is handed to `report` once, when it first appears.
class ChangeWatch {
  public:
    ChangeWatch(ChangeSource& source, Clock& clock, std::function<void(const std::string&)> report,
                ScheduleRules rules = {});

    void cycleStarted() { schedule_.cycleStarted(clock_.monotonicMs()); }
    // askedUser: the cycle showed a box; a change that came meanwhile is due at once.
    void cycleEnded(bool askedUser = false);

    // Blocks in the source until the next cycle is due (Due) or the source is stopped.
    NextCycle waitForNextCycle();

  private:
    void reportNewProblems();

    ChangeSource& source_;
    Clock& clock_;
    std::function<void(const std::string&)> report_;
    CycleSchedule schedule_;
    std::size_t reported_ = 0;
    bool lookAfterAsking_ = false;
};

}  // namespace kestrune
