// kestrune-check's monitoring run: one scan against the stored baseline the tray program
// keeps, every difference printed, the exit status telling changed, unchanged or error.
#pragma once

#include <string>

#include "app/check_metrics.h"
#include "app/check_report.h"
#include "baseline/baseline_store.h"
#include "inventory/store_catalogue.h"
#include "inventory/trace.h"

namespace kestrune {

inline constexpr int kCheckExitChanged = 1;
// Some store could not be read: the report is partial, whatever else it says.
inline constexpr int kCheckExitIncomplete = 3;

struct CheckOutput {
    int status = kCheckExitOk;
    std::string out;   // the report
    std::string err;   // what went wrong, for people
    CheckFacts facts;  // the same for the journal and the metrics file
};

// Without a stored baseline: records this scan as the baseline and prints the two
// figures (exit 0). Otherwise: compares in both directions with the tray program's
// identities and prints every difference, then a summary; exit 1 when something
// differs. With options.accept the observed state becomes the baseline after the report.
// A damaged baseline is an error (exit 2) unless options.accept replaces it; the key is
// chosen by chooseSettingsKey, and a read-only one refuses options.accept.
// A store that could not be read gets an "unreadable" line instead of comparisons, its
// baseline records are kept by --accept, and the exit status is 3 (incomplete).
CheckOutput runCheck(const CheckOptions& options, StoreCatalogue& stores, BaselineStores& settings,
                     Trace& trace);

}  // namespace kestrune
