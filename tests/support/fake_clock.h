// A clock that tells a set time and records sleeps instead of sleeping.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "inventory/clock.h"

namespace kestrune::testing {

class FakeClock : public Clock {
  public:
    LocalTime localTime() override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void sleepMs(std::uint32_t ms) override {
        {
            std::lock_guard lock(mutex_);
            sleeps_.push_back(ms);
            monotonic_ += ms;
        }
        if (onSleep) {
            onSleep(ms);
        }
    }
    // Fake time goes forward only by sleeps and advance().
    std::uint64_t monotonicMs() override {
        std::lock_guard lock(mutex_);
        return monotonic_;
    }
    void advance(std::uint64_t ms) {
        std::lock_guard lock(mutex_);
        monotonic_ += ms;
    }
    void set(LocalTime t) {
        std::lock_guard lock(mutex_);
        now_ = t;
    }
    std::vector<std::uint32_t> sleeps() const {
        std::lock_guard lock(mutex_);
        return sleeps_;
    }
    // Runs on every sleep, on the sleeping thread (tests use it to stop a loop).
    std::function<void(std::uint32_t)> onSleep;

  private:
    mutable std::mutex mutex_;
    LocalTime now_{2026, 12, 8, 9, 5, 7};
    std::vector<std::uint32_t> sleeps_;
    std::uint64_t monotonic_ = 0;
};

}  // namespace kestrune::testing
