// Local calendar time and sleep, behind a seam so schedules and time stamps are testable.
#pragma once

#include <cstdint>

#include "inventory/state.h"

namespace kestrune {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual LocalTime localTime() = 0;
    virtual void sleepMs(std::uint32_t milliseconds) = 0;
};

// The real local time and a real sleep; each platform folder implements it.
class SystemClock final : public Clock {
  public:
    LocalTime localTime() override;
    void sleepMs(std::uint32_t milliseconds) override;
};

}  // namespace kestrune
