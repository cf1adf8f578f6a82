// Local calendar time and sleep, behind a seam so schedules and time stamps are testable.
#pragma once

#include <chrono>
#include <cstdint>

#include "inventory/state.h"

namespace kestrune {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual LocalTime localTime() = 0;
    virtual void sleepMs(std::uint32_t milliseconds) = 0;
    // Milliseconds on a clock that only goes forward, from an arbitrary start: what a
    // schedule measures its waits with, whatever the wall clock is set to.
    virtual std::uint64_t monotonicMs() {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }
};

}  // namespace kestrune
