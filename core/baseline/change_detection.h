// Change detection: which current records the baseline lacks (added) and which baseline
// records no current record has (missing). Pure: records in, indexes out, nothing shown.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "inventory/certificate_record.h"
#include "inventory/fingerprint.h"
#include "inventory/state.h"

namespace kestrune {

// The trust a store gave a certificate when the baseline was saved, and gives it now.
struct TrustChange {
    std::string before;
    std::string after;
    bool operator==(const TrustChange&) const = default;
};

// A certificate present by serial and subject whose DER is not the baseline's (replaced),
// or the same certificate in the same store, trusted otherwise than the baseline says.
struct ChangedCertificate {
    std::size_t current;   // index into the current records
    std::size_t baseline;  // the baseline record it replaces, or the one trusted otherwise
    bool replaced = true;  // false: only its trust changed
    // Where both sides know the trust and it differs (a replaced certificate too).
    std::optional<TrustChange> trust{};
    bool operator==(const ChangedCertificate&) const = default;
};

struct Changes {
    std::vector<std::size_t> added;           // indexes into the current records, in table order
    std::vector<std::size_t> missing;         // indexes into the baseline records, in table order
    std::vector<ChangedCertificate> changed;  // in current table order
    bool any() const { return !added.empty() || !missing.empty() || !changed.empty(); }
};

// Records with their fingerprints: none, or one per record (all zero where not known);
// and their trust texts: none (not known), or one per record.
struct RecordsWithFingerprints {
    std::span<const CertificateRecord> records;
    std::span<const Fingerprint> fingerprints;
    std::span<const std::string> trust{};
};

// Added: no baseline record has the current record's AddedIdentity. Where both have
// known fingerprints and none of the baseline records of that identity has the current
// one's: changed when one of those baseline certificates is no longer present anywhere
// (it was replaced), else added (a second certificate under a taken identity).
// Missing: no current record has the baseline record's MissingIdentity.
// Trust, where both sides know it: a current record that is present (not added or
// replaced) is changed, not replaced, when a baseline record of its identity and
// fingerprint in the same location and store has another trust text. A certificate that
// moved stores is no difference, so neither is its trust in the new store.
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
// Their trust texts: one per record, or empty when the table has none that fit.
std::span<const std::string> currentTrust(const KestruneState& state);
std::span<const std::string> baselineTrust(const KestruneState& state);

// Both tables of a state, with their fingerprints.
Changes detectChanges(const KestruneState& state);

}  // namespace kestrune
