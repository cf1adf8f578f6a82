#include "app/clock.h"

#include <ctime>
#include <mutex>
#include <thread>

namespace kestrune {

LocalTime SystemClock::localTime() {
    // std::localtime shares one buffer per process; copy it out under a lock.
    static std::mutex mutex;
    const std::time_t now = std::time(nullptr);
    std::lock_guard lock(mutex);
    const std::tm* tm = std::localtime(&now);
    if (tm == nullptr) {
        return {};
    }
    return {tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec};
}

void SystemClock::sleepMs(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace kestrune
