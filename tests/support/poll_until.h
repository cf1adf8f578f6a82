// Waiting for something another thread or process does, however slow the machine is.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace kestrune::testing {

// Checks `done` until it holds or `bound` has passed; whether it held. The bound only
// stops a wait for something that never comes: it is no guess at how long things take.
inline bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kestrune::testing
