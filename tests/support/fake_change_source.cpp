#include "tests/support/fake_change_source.h"

namespace kestrune::testing {

ChangeSource::Wake FakeChangeSource::waitForChange(std::uint32_t timeoutMs) {
    std::uint64_t sleepFor = timeoutMs;
    bool scriptedChange = false;
    {
        std::lock_guard lock(mutex_);
        waits_.push_back(timeoutMs);
        if (stopped_) {
            return Wake::Stopped;
        }
        if (requested_) {
            requested_ = pending_ = false;  // the check asked for covers them
            return Wake::Requested;
        }
        const std::uint64_t now = clock_.monotonicMs();
        if (pending_ || (!scripted_.empty() && *scripted_.begin() <= now)) {
            pending_ = false;
            scripted_.erase(scripted_.begin(), scripted_.upper_bound(now));
            return Wake::Changed;
        }
        if (!scripted_.empty() && *scripted_.begin() - now <= sleepFor) {
            sleepFor = *scripted_.begin() - now;
            scriptedChange = true;
        }
    }
    // Outside the lock: the clock's sleep hook may stop this source or signal a change.
    clock_.sleepMs(static_cast<std::uint32_t>(sleepFor));
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return Wake::Stopped;
    }
    if (scriptedChange || pending_) {
        pending_ = false;
        scripted_.erase(scripted_.begin(), scripted_.upper_bound(clock_.monotonicMs()));
        return Wake::Changed;
    }
    return Wake::TimedOut;
}

void FakeChangeSource::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
}

std::vector<std::string> FakeChangeSource::problems() const {
    std::lock_guard lock(mutex_);
    return problems_;
}

void FakeChangeSource::changeAt(std::uint64_t ms) {
    std::lock_guard lock(mutex_);
    scripted_.insert(ms);
}

void FakeChangeSource::request() {
    std::lock_guard lock(mutex_);
    requested_ = true;
}

void FakeChangeSource::change() {
    std::lock_guard lock(mutex_);
    pending_ = true;
}

void FakeChangeSource::addProblem(std::string line) {
    std::lock_guard lock(mutex_);
    problems_.push_back(std::move(line));
}

std::vector<std::uint32_t> FakeChangeSource::waits() const {
    std::lock_guard lock(mutex_);
    return waits_;
}

}  // namespace kestrune::testing
