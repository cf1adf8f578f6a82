// Scan Now, the same in every view: the list's controls go disabled, a user cycle is
// tried on the UI thread and, while another thread's cycle runs, tried again every
// kScanRetryMs from the view's event loop; once it ran, the list is refilled and the
// controls come back. The UI thread never waits for a cycle: the running one may be
// waiting for this thread to show its message box.
#pragma once

#include <functional>

namespace kestrune {

inline constexpr int kScanRetryMs = 100;

class ScanNow {
  public:
    struct Actions {
        std::function<void()> disable;  // the controls off, the wait cursor on
        // One user cycle; false at once when another is running. None: nothing to run,
        // the list is only refilled.
        std::function<bool()> tryScan;
        std::function<void()> refill;
        std::function<void()> enable;
        std::function<void()> scheduleRetry;  // attempt() once more in kScanRetryMs
    };

    explicit ScanNow(Actions actions);

    // The button: disables the controls and makes a scan pending; false, doing nothing,
    // while one is pending already. The view then calls attempt(), at once or from its
    // event loop.
    bool start();
    // Tries the pending scan. True once it ran (list refilled, controls enabled); false
    // when none is pending or its turn has to wait (a retry is scheduled then).
    bool attempt();
    // The dialog closes: a scan still waiting for its turn gives the turn up.
    void cancel() { pending_ = false; }
    bool pending() const { return pending_; }

  private:
    Actions actions_;
    bool pending_ = false;
};

}  // namespace kestrune
