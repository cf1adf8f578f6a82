// Whether a graphical session is there for the tray program, checked before Qt is
// asked to connect: a missing display must end with a clear message and status 2, not
// with Qt's abort.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kestrune {

inline constexpr int kExitNoDisplay = 2;
// How long connecting to the display may take before it counts as unreachable: a
// display that accepts the connection and never answers would otherwise hang for ever.
inline constexpr std::chrono::seconds kDisplayConnectTimeout{20};

// The message for stderr when there is no display; names the headless companion.
extern const char* const kNoDisplayMessage;

// DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM set and not empty.
bool displayConfigured();

// While alive, a fatal Qt message (the platform plugin could not connect to the display
// that was configured) prints kNoDisplayMessage with Qt's reason and ends the process
// with kExitNoDisplay; so does still being alive after `timeout`. Hold it only around
// the QApplication constructor.
class DisplayFailureGuard {
  public:
    explicit DisplayFailureGuard(std::chrono::milliseconds timeout = kDisplayConnectTimeout);
    ~DisplayFailureGuard();
    DisplayFailureGuard(const DisplayFailureGuard&) = delete;
    DisplayFailureGuard& operator=(const DisplayFailureGuard&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool connected_ = false;
    std::thread watchdog_;
};

}  // namespace kestrune
