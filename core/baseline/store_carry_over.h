// What a scan with unreadable stores may compare and save. Nothing is known of an
// unreadable store this time, so its records are neither compared (not missing, not
// present) nor replaced: a save keeps the baseline's records of it byte for byte.
#pragma once

#include <span>
#include <vector>

#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
#include "inventory/certificate_record.h"
#include "inventory/scanner.h"

namespace kestrune {

// Whether the record was taken from one of the stores (by the names records carry).
bool inUnreadableStore(const CertificateRecord& record,
                       std::span<const UnreadableStore> unreadable);

// The changes between the readable parts of both tables of a state, fingerprints
// included where they fit; the indexes point into the whole tables.
Changes detectReadableChanges(const KestruneState& state,
                              std::span<const UnreadableStore> unreadable);

// Stores the observed state as the baseline: the latest scan, where every store could be
// read; else the readable stores' observed records and the unreadable ones' baseline
// records, each with its fingerprint (unknown where its side has none).
Status saveObservedAsBaseline(BaselineStore& key, const KestruneState& state,
                              std::span<const UnreadableStore> unreadable);

}  // namespace kestrune
