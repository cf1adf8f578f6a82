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
        }
        if (onSleep) {
            onSleep(ms);
        }
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
};

}  // namespace kestrune::testing
