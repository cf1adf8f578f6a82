#include "baseline/change_detection.h"

#include <algorithm>
#include <cstddef>
#include <memory>

#include "inventory/record_key_set.h"

namespace kestrune {

namespace {

std::span<const CertificateRecord> usable(const RecordTable& table, std::int32_t count) {
    const std::size_t n =
        count <= 0 ? 0 : std::min(table.validCount(), static_cast<std::size_t>(count));
    return table.valid().first(n);
}

// Nearly every present record has a baseline twin with the very same zero-padded
// serial, which one hash probe finds; the others are looked up among the baseline
// serials cut to their length (one set per length that occurs, built when first needed).
void findAdded(std::span<const CertificateRecord> baseline,
               std::span<const CertificateRecord> current, ChangeScope scope,
               std::vector<std::size_t>& added) {
    const RecordKeySet exact(baseline, offsetof(CertificateRecord, serialNumber));
    std::vector<std::unique_ptr<RecordKeySet>> byLength(kSerialBytes);
    for (std::size_t i = 0; i < current.size(); ++i) {
        const CertificateRecord& r = current[i];
        if (exact.contains(r.serialNumber)) {
            continue;
        }
        const std::size_t length = validSerialLength(r);
        bool present = !baseline.empty();  // length 0: any baseline record matches
        if (length > 0 && length < kSerialBytes) {
            auto& prefixes = byLength[length];
            if (!prefixes) {
                prefixes = std::make_unique<RecordKeySet>(
                    baseline, offsetof(CertificateRecord, serialNumber), length);
            }
            present = prefixes->contains(r.serialNumber);
        } else if (length == kSerialBytes) {
            present = false;  // a full-width serial has no longer twin than the exact one
        }
        if (!present) {
            added.push_back(i);
            if (scope == ChangeScope::First) {
                return;
            }
        }
    }
}

void findMissing(std::span<const CertificateRecord> baseline,
                 std::span<const CertificateRecord> current, ChangeScope scope,
                 std::vector<std::size_t>& missing) {
    const RecordKeySet hashes(current, offsetof(CertificateRecord, subjectNameHash));
    for (std::size_t i = 0; i < baseline.size(); ++i) {
        if (!hashes.contains(baseline[i].subjectNameHash)) {
            missing.push_back(i);
            if (scope == ChangeScope::First) {
                return;
            }
        }
    }
}

}  // namespace

Changes detectChanges(std::span<const CertificateRecord> baseline,
                      std::span<const CertificateRecord> current, ChangeScope scope) {
    Changes changes;
    findAdded(baseline, current, scope, changes.added);
    findMissing(baseline, current, scope, changes.missing);
    return changes;
}

std::span<const CertificateRecord> currentRecords(const KestruneState& state) {
    return usable(state.mqsCertificates, state.iCertificateCountTotal);
}

std::span<const CertificateRecord> baselineRecords(const KestruneState& state) {
    return usable(state.mqsCertificatesRegistry, state.iCertificateCountTotal_Registry);
}

Changes detectChanges(const KestruneState& state, ChangeScope scope) {
    return detectChanges(baselineRecords(state), currentRecords(state), scope);
}

}  // namespace kestrune
