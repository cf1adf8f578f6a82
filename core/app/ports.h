// What the program is given by its platform: the certificate stores, the settings, the
// HTTP client, the clock and what watches the stores. Each platform folder implements makePorts;
// the desktop is the front end's own and comes separately.
#pragma once

#include <memory>
#include <string>

#include "baseline/settings_api.h"
#include "inventory/change_source.h"
#include "inventory/clock.h"
#include "inventory/store_catalogue.h"
#include "inventory/trace.h"
#include "ui/http_client.h"

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

struct Ports {
    std::unique_ptr<StoreCatalogue> stores;
    std::unique_ptr<SettingsApi> settings;
    std::unique_ptr<HttpClient> http;
    std::unique_ptr<Clock> clock;
    std::unique_ptr<ChangeSource> changes;  // the stores above, watched
};

// The trace is the scanner's, for what the stores have to say while they are made.
Ports makePorts(const PlatformOptions& options, Trace& trace);

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

}  // namespace kestrune
