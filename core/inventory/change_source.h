// "Wait until a store may have changed, or until this deadline": the seam that lets the
// hourly wait end early. Each platform watches its own stores (Linux: inotify on the
// trust sources; Windows: registry change notifications on the store keys); tests use a
// fake. The source only says "maybe changed"; a scan decides what changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune {

class ChangeSource {
  public:
    enum class Wake {
        Changed,    // a store may have changed since the previous wait returned
        TimedOut,   // nothing was seen before the deadline
        Stopped,    // stop() was called; every later wait returns this at once
        Requested,  // a check was asked for now (Linux: SIGHUP); the watches were rebuilt
    };

    virtual ~ChangeSource() = default;

    // Blocks until a store may have changed, until timeoutMs have passed, or until
    // stop(). A change seen while nobody was waiting is kept for the next wait, never
    // lost; any number of changes before a wait returns count as one.
    virtual Wake waitForChange(std::uint32_t timeoutMs) = 0;

    // Ends the current wait and every later one with Stopped. Callable from any thread;
    // the platform sources also allow it from a signal or console-control handler.
    virtual void stop() = 0;

    // Stores or folders that could not be watched, one line each, for the caller to
    // report once; the hourly schedule goes on regardless.
    virtual std::vector<std::string> problems() const = 0;
};

}  // namespace kestrune
