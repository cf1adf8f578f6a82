// What each platform folder (linux, win32) makes for the programs: the ports over this
// machine, the watch over its stores, the outlets of a finished check, the real clock and
// the handling of termination. The programs, the platform folders and their tests include
// it; the core knows only the interfaces.
#pragma once

#include <memory>
#include <string>

#include "app/check_delivery.h"
#include "app/ports.h"
#include "inventory/change_source.h"
#include "inventory/clock.h"
#include "inventory/trace.h"

namespace kestrune {

struct PlatformOptions {
    // Linux: the directory the trust stores and the machine settings live under
    // ("/" by default, KESTRUNE_ROOT when set, --root for kestrune-check). Ignored on
    // Windows.
    std::string root;
    // Linux: the user's home folder, where the user's certificate databases and (unless
    // XDG_CONFIG_HOME says otherwise) the user's settings live ($HOME by default, else
    // the password database). Empty: the current user has no stores and no settings.
    // Ignored on Windows.
    std::string home;
};

// The root from KESTRUNE_ROOT, or "/"; the home from $HOME.
PlatformOptions defaultPlatformOptions();

// The platform's ports, owned; ports() lends them out as the core's bundle.
struct PlatformPorts {
    std::unique_ptr<StoreCatalogue> stores;
    std::unique_ptr<BaselineStores> settings;
    std::unique_ptr<HttpClient> http;
    std::unique_ptr<Clock> clock;
    std::unique_ptr<ChangeSource> changes;  // the stores above, watched

    Ports ports() const { return {*stores, *settings, *http, *clock, *changes}; }
};

// The trace is the scanner's, for what the stores have to say while they are made.
PlatformPorts makePorts(const PlatformOptions& options, Trace& trace);

// Watches every store the platform's scanner reads (under options' root and home on
// Linux; the machine's and the user's store keys on Windows). Never null: what cannot
// be watched is listed in problems().
std::unique_ptr<ChangeSource> makeChangeSource(const PlatformOptions& options);

// Makes SIGTERM/SIGINT (Linux) or Ctrl+C, Ctrl+Break and console close (Windows) call
// source.stop() instead of ending the process, so a long-running check ends cleanly; one
// busy with a scan or a report ends a few seconds later without it. On Linux SIGHUP
// rebuilds the watches and asks for a check at once. The source must outlive the
// process's last signal.
void stopOnTermination(ChangeSource& source);

// For a single check: the termination signals (and Ctrl+C) end it at once, whatever the
// process inherited (a signal ignored or blocked by whoever started it).
void endOnTermination();

// Where a finished check goes on this platform: its standard streams, its system log and
// the metrics file.
std::unique_ptr<CheckOutlets> makeCheckOutlets();

// The real local time and a real sleep; each platform folder implements it.
class SystemClock final : public Clock {
  public:
    LocalTime localTime() override;
    void sleepMs(std::uint32_t milliseconds) override;
};

}  // namespace kestrune
