// Whether a graphical session is there for the tray program, checked before Qt is
// asked to connect: a missing display must end with a clear message and status 2, not
// with Qt's abort.
#pragma once

namespace kestrune {

inline constexpr int kExitNoDisplay = 2;

// The message for stderr when there is no display; names the headless companion.
extern const char* const kNoDisplayMessage;

// DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM set and not empty.
bool displayConfigured();

// While alive, a fatal Qt message (the platform plugin could not connect to the display
// that was configured) prints kNoDisplayMessage with Qt's reason and ends the process
// with kExitNoDisplay. Hold it only around the QApplication constructor.
class DisplayFailureGuard {
  public:
    DisplayFailureGuard();
    ~DisplayFailureGuard();
    DisplayFailureGuard(const DisplayFailureGuard&) = delete;
    DisplayFailureGuard& operator=(const DisplayFailureGuard&) = delete;
};

}  // namespace kestrune
