// Change detection: which current records the baseline lacks (added) and which baseline
// records no current record has (missing). Pure: records in, indexes out, nothing shown.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "inventory/certificate_record.h"
#include "inventory/fingerprint.h"
#include "inventory/state.h"

namespace kestrune {

// A certificate present by serial and subject whose DER is not the baseline's.
struct ChangedCertificate {
    std::size_t current;   // index into the current records
    std::size_t baseline;  // the baseline record it replaces
};

struct Changes {
    std::vector<std::size_t> added;           // indexes into the current records, in table order
    std::vector<std::size_t> missing;         // indexes into the baseline records, in table order
    std::vector<ChangedCertificate> changed;  // in current table order
    bool any() const { return !added.empty() || !missing.empty() || !changed.empty(); }
};

// Records with their fingerprints: none, or one per record (all zero where not known).
struct RecordsWithFingerprints {
    std::span<const CertificateRecord> records;
    std::span<const Fingerprint> fingerprints;
};

// Added: no baseline record has the current record's AddedIdentity. Where both have
// known fingerprints and none of the baseline records of that identity has the current
// one's: changed when one of those baseline certificates is no longer present anywhere
// (it was replaced), else added (a second certificate under a taken identity).
// Missing: no current record has the baseline record's MissingIdentity.
// (The rules themselves: inventory/certificate_identity.h.)
Changes detectChanges(RecordsWithFingerprints baseline, RecordsWithFingerprints current);
// Without fingerprints: by identity alone.
Changes detectChanges(std::span<const CertificateRecord> baseline,
                      std::span<const CertificateRecord> current);

// The records a reader may use: never more than the table holds, nor than its counter.
std::span<const CertificateRecord> currentRecords(const KestruneState& state);
std::span<const CertificateRecord> baselineRecords(const KestruneState& state);
// Their fingerprints: one per record, or empty when the table has none that fit.
std::span<const Fingerprint> currentFingerprints(const KestruneState& state);
std::span<const Fingerprint> baselineFingerprints(const KestruneState& state);

// Both tables of a state, with their fingerprints.
Changes detectChanges(const KestruneState& state);

}  // namespace kestrune
