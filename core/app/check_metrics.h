// What one kestrune-check run found, as plain facts: the numbers Prometheus scrapes
// (node_exporter's textfile format) and the differences the journal gets one entry each.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "app/check_report.h"
#include "baseline/change_detection.h"
#include "baseline/change_explanation.h"
#include "inventory/certificate_record.h"
#include "inventory/fingerprint.h"
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
    int acceptedBaseline = 0;        // when accepted: certificates in the baseline stored
    std::vector<StoreTally> stores;  // in scan order; a store without certificates is absent
    std::vector<CertificateRecord> added;
    std::vector<CertificateRecord> missing;
    std::vector<CertificateRecord> changed;   // the new side of each changed certificate
    std::vector<UnreadableStore> unreadable;  // stores this scan could not read
    // SHA-256 of each difference, index for index (all zero where not known); for a
    // changed certificate the new one, with the baseline's in changedBaselineSha256.
    std::vector<Fingerprint> addedSha256;
    std::vector<Fingerprint> missingSha256;
    std::vector<Fingerprint> changedSha256;
    std::vector<Fingerprint> changedBaselineSha256;
    // Where each difference comes from and what explains it, index for index.
    std::vector<ChangeOrigin> addedOrigins;
    std::vector<ChangeOrigin> missingOrigins;
    std::vector<ChangeOrigin> changedOrigins;
    // The trust before and after of each changed certificate, index for index; none
    // where its trust did not change.
    std::vector<std::optional<TrustChange>> changedTrust;
    std::size_t trustChanges = 0;       // changed certificates whose trust alone changed
    std::size_t unexplained = 0;        // differences no package upgrade explains
    std::vector<LocalRoot> localRoots;  // the scan's certificates no package ships
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

// node_exporter's textfile format. Every series of a scan is written whatever the outcome:
// an alert on the differences must not fall silent while a store cannot be read (the
// counts then cover what could be read; each unreadable store has a series of its own,
// and kestrune_check_completed is 0). After --accept they describe the baseline it
// stored, against which nothing differs. A run that failed before it could scan writes its
// time, duration and kestrune_check_completed 0 only: it knows no counts.
std::string metricsText(const CheckFacts& facts, bool completed, const CheckTiming& timing);

// A label value as the exposition format quotes it: backslash, quote and newline
// escaped, and each byte that is not valid UTF-8 (or is a control) as the text \xNN, since one
// invalid byte makes a scraper reject the whole file.
std::string metricLabelValue(std::string_view text);

}  // namespace kestrune
