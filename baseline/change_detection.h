// Change detection: which current records the baseline lacks (added) and which baseline
// records no current record has (missing). Pure: records in, indexes out, nothing shown.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "inventory/certificate_record.h"
#include "inventory/state.h"

namespace kestrune {

struct Changes {
    std::vector<std::size_t> added;    // indexes into the current records, in table order
    std::vector<std::size_t> missing;  // indexes into the baseline records, in table order
    bool any() const { return !added.empty() || !missing.empty(); }
};

enum class ChangeScope {
    First,  // at most the first difference each way (the tray cycle shows only those)
    All,
};

// Added: no baseline serial starts with the current record's own serialLength bytes.
// Missing: no current record has the same 64 bytes from the start of the hash field
// (whatever the valid length says; the zero fill makes the rest compare equal). Neither
// looks at store or location.
Changes detectChanges(std::span<const CertificateRecord> baseline,
                      std::span<const CertificateRecord> current,
                      ChangeScope scope = ChangeScope::All);

// The records a reader may use: never more than the table holds, nor than its counter.
std::span<const CertificateRecord> currentRecords(const KestruneState& state);
std::span<const CertificateRecord> baselineRecords(const KestruneState& state);

// Both tables of a state.
Changes detectChanges(const KestruneState& state, ChangeScope scope = ChangeScope::All);

}  // namespace kestrune
