#include "app/cycle_schedule.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace kestrune {

void CycleSchedule::changed(std::uint64_t now) {
    if (!pending_) {
        pending_ = true;
        firstChange_ = now;
    }
    lastChange_ = now;
}

void CycleSchedule::cycleStarted(std::uint64_t now) {
    ran_ = true;
    pending_ = false;
    dueNow_ = false;
    lastStart_ = now;
    lastEnd_ = now;
}

void CycleSchedule::cycleEnded(std::uint64_t now) {
    lastEnd_ = std::max(now, lastStart_);
}

void CycleSchedule::changedWhileAsking(std::uint64_t now) {
    changed(now);
    dueNow_ = true;
}

std::uint64_t CycleSchedule::dueAt() const {
    if (!ran_) {
        return 0;
    }
    if (dueNow_) {
        return lastEnd_;
    }
    const std::uint64_t hourly = lastEnd_ + rules_.intervalMs;
    if (!pending_) {
        return hourly;
    }
    const std::uint64_t settled =
        std::min(lastChange_ + rules_.quietMs, firstChange_ + rules_.maxDelayMs);
    return std::min(hourly, std::max(settled, lastStart_ + rules_.minGapMs));
}

ChangeWatch::ChangeWatch(ChangeSource& source, Clock& clock,
                         std::function<void(const std::string&)> report, ScheduleRules rules)
    : source_(source), clock_(clock), report_(std::move(report)), schedule_(rules) {}

void ChangeWatch::reportNewProblems() {
    const std::vector<std::string> problems = source_.problems();
    for (; reported_ < problems.size(); ++reported_) {
        if (report_) {
            report_(problems[reported_]);
        }
    }
}

void ChangeWatch::cycleEnded(bool askedUser) {
    schedule_.cycleEnded(clock_.monotonicMs());
    lookAfterAsking_ = askedUser;
}

NextCycle ChangeWatch::waitForNextCycle() {
    if (std::exchange(lookAfterAsking_, false)) {
        // The source kept what it saw while nobody waited: a look without waiting tells.
        switch (source_.waitForChange(0)) {
            case ChangeSource::Wake::Stopped:
                reportNewProblems();
                return NextCycle::Stopped;
            case ChangeSource::Wake::Requested:
                reportNewProblems();
                return NextCycle::Due;
            case ChangeSource::Wake::Changed:
                schedule_.changedWhileAsking(clock_.monotonicMs());
                break;
            case ChangeSource::Wake::TimedOut:
                break;
        }
    }
    for (;;) {
        reportNewProblems();
        const std::uint64_t now = clock_.monotonicMs();
        const std::uint64_t due = schedule_.dueAt();
        if (due <= now) {
            return NextCycle::Due;
        }
        const std::uint64_t left =
            std::min<std::uint64_t>(due - now, std::numeric_limits<std::uint32_t>::max());
        switch (source_.waitForChange(static_cast<std::uint32_t>(left))) {
            case ChangeSource::Wake::Stopped:
                reportNewProblems();
                return NextCycle::Stopped;
            case ChangeSource::Wake::Requested:
                reportNewProblems();    // what the rebuilt watches could not cover
                return NextCycle::Due;  // asked for by the operator: no settling, no gap
            case ChangeSource::Wake::Changed:
                schedule_.changed(clock_.monotonicMs());
                break;
            case ChangeSource::Wake::TimedOut:
                break;
        }
    }
}

}  // namespace kestrune
