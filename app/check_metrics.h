// What one kestrune-check run found, as plain facts: the numbers Prometheus scrapes
// (node_exporter's textfile format) and the differences the journal gets one entry each.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "inventory/certificate_record.h"
#include "inventory/scanner.h"
#include "inventory/state.h"

namespace kestrune {

struct StoreTally {
    std::string location;
    std::string store;
    int certificates = 0;
};

struct CheckFacts {
    bool scanned = false;            // false when the run failed before it could scan
    bool baselineRecorded = false;   // this run stored the first baseline
    bool accepted = false;           // --accept stored the observed state
    int observed = 0;                // every certificate of every store
    int unique = 0;                  // certificates with a serial number seen once
    int baseline = 0;                // certificates in the baseline compared against
    std::vector<StoreTally> stores;  // in scan order; a store without certificates is absent
    std::vector<CertificateRecord> added;
    std::vector<CertificateRecord> missing;
    std::vector<CertificateRecord> changed;   // the new side of each changed certificate
    std::vector<UnreadableStore> unreadable;  // stores this scan could not read
};

// After a comparison: `added` indexes the scan, `missing` the baseline.
CheckFacts checkFacts(const KestruneState& state, const std::vector<std::size_t>& added,
                      const std::vector<std::size_t>& missing, bool accepted);
// After a first run that recorded the scan as the baseline.
CheckFacts firstBaselineFacts(const KestruneState& state);

struct CheckTiming {
    double finishedUnixSeconds = 0;
    double durationSeconds = 0;
};

// node_exporter's textfile format. A run that did not complete (an error, or a store
// that could not be read) reports that, its time and duration only: stale or partial
// counts would read as a current scan. The unreadable stores are named all the same.
std::string metricsText(const CheckFacts& facts, bool completed, const CheckTiming& timing);

// A label value as the exposition format quotes it (backslash, quote and newline escaped).
std::string metricLabelValue(std::string_view text);

}  // namespace kestrune
