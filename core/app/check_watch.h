// kestrune-check --watch: a check at once, then one after every change of the stores on
// the tray program's schedule (two quiet seconds, at most one each ten seconds, hourly
// without changes), each handed over as soon as it is made, until the source is stopped.
#pragma once

#include <functional>
#include <string>

#include "app/check_metrics.h"
#include "app/check_run.h"
#include "inventory/change_source.h"
#include "inventory/clock.h"

namespace kestrune {

struct WatchCheckPorts {
    StoreCatalogue& stores;
    SettingsApi& settings;
    Trace& trace;
    ChangeSource& changes;
    Clock& clock;
};

// Each check goes to `deliver` with the time it finished and how long it took; what the
// source cannot watch goes to `problem`, each line once.
void watchChecks(const CheckOptions& options, const WatchCheckPorts& ports,
                 const std::function<void(const CheckOutput&, const CheckTiming&)>& deliver,
                 const std::function<void(const std::string&)>& problem);

// The line that opens each report of a watch: "check", tab, the UTC time
// ("2026-12-09T00:15:26Z"); or {"event":"check","time":"..."} for --json.
std::string watchStampLine(double unixSeconds, bool json);

}  // namespace kestrune
