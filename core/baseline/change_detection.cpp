#include "baseline/change_detection.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "inventory/certificate_identity.h"
#include "inventory/hash_index.h"

namespace kestrune {

namespace {

std::span<const CertificateRecord> usable(const RecordTable& table, std::int32_t count) {
    const std::size_t n =
        count <= 0 ? 0 : std::min(table.validCount(), static_cast<std::size_t>(count));
    return table.valid().first(n);
}

template <typename T>
std::span<const T> fitting(const std::vector<T>& values, std::size_t records) {
    if (values.size() < records) {
        return {};
    }
    return std::span<const T>(values).first(records);
}

// The names up to their terminators: what a stored record holds past them is not its name.
bool sameStore(const CertificateRecord& a, const CertificateRecord& b) {
    return recordText(a.storeName) == recordText(b.storeName) &&
           recordText(a.locationName) == recordText(b.locationName);
}

class AddedFinder {
  public:
    AddedFinder(RecordsWithFingerprints baseline, RecordsWithFingerprints current)
        : baseline_(baseline),
          current_(current),
          withFingerprints_(baseline.fingerprints.size() == baseline.records.size() &&
                            current.fingerprints.size() == current.records.size()),
          withTrust_(baseline.trust.size() == baseline.records.size() &&
                     current.trust.size() == current.records.size()),
          identities_(baseline.records.size(),
                      [&](std::size_t i) { return AddedIdentity(baseline.records[i]); }) {}

    void run(Changes& changes) {
        for (std::size_t i = 0; i < current_.records.size(); ++i) {
            const Difference d = classify(i);
            if (d.kind == Kind::Added) {
                changes.added.push_back(i);
            } else if (d.kind != Kind::Present) {
                changes.changed.push_back(
                    {i, d.baseline, d.kind == Kind::Changed, trustChange(d.baseline, i)});
            }
        }
    }

  private:
    enum class Kind { Present, Added, Changed, TrustChanged };
    struct Difference {
        Kind kind = Kind::Present;
        std::size_t baseline = 0;
    };

    Difference classify(std::size_t i) {
        const CertificateRecord& record = current_.records[i];
        const AddedIdentity identity(record);
        const Fingerprint* mine = withFingerprints_ ? &current_.fingerprints[i] : nullptr;
        if (mine && !isKnown(*mine)) {
            mine = nullptr;
        }
        bool twin = false;                // a baseline record of this identity
        bool same = false;                // ... with this fingerprint, or one not known
        std::optional<std::size_t> here;  // ... of those, one in the same store
        std::optional<std::size_t> gone;  // ... whose certificate no current record has
        identities_.forEach(identity, [&](std::size_t b) {
            twin = true;
            const Fingerprint* theirs = withFingerprints_ ? &baseline_.fingerprints[b] : nullptr;
            if (!mine || !isKnown(*theirs) || *theirs == *mine) {
                same = true;
                if (sameStore(baseline_.records[b], record)) {
                    here = b;
                    return false;
                }
                return withTrust_;  // the same store's twin is only needed for its trust
            }
            if (!same && !gone && !currentHas(*theirs)) {
                gone = b;
            }
            return true;
        });
        if (!twin) {
            return {Kind::Added};
        }
        if (same) {
            return here && trustChange(*here, i) ? Difference{Kind::TrustChanged, *here}
                                                 : Difference{Kind::Present};
        }
        if (gone) {
            return {Kind::Changed, *gone};
        }
        return {Kind::Added};
    }

    std::optional<TrustChange> trustChange(std::size_t b, std::size_t i) const {
        if (!withTrust_ || baseline_.trust[b] == current_.trust[i]) {
            return std::nullopt;
        }
        return TrustChange{baseline_.trust[b], current_.trust[i]};
    }

    bool currentHas(const Fingerprint& fingerprint) {
        if (!currentFingerprints_) {
            currentFingerprints_.emplace(current_.fingerprints.size(), [&](std::size_t i) {
                return FingerprintIdentity{&current_.fingerprints[i]};
            });
        }
        return currentFingerprints_->contains(FingerprintIdentity{&fingerprint});
    }

    RecordsWithFingerprints baseline_;
    RecordsWithFingerprints current_;
    bool withFingerprints_;
    bool withTrust_;
    HashIndex<AddedIdentity> identities_;
    std::optional<HashIndex<FingerprintIdentity>> currentFingerprints_;  // built when first needed
};

void findMissing(std::span<const CertificateRecord> baseline,
                 std::span<const CertificateRecord> current, std::vector<std::size_t>& missing) {
    const HashIndex<MissingIdentity> subjects(
        current.size(), [&](std::size_t i) { return MissingIdentity(current[i]); });
    for (std::size_t i = 0; i < baseline.size(); ++i) {
        if (!subjects.contains(MissingIdentity(baseline[i]))) {
            missing.push_back(i);
        }
    }
}

}  // namespace

Changes detectChanges(RecordsWithFingerprints baseline, RecordsWithFingerprints current) {
    Changes changes;
    AddedFinder(baseline, current).run(changes);
    findMissing(baseline.records, current.records, changes.missing);
    return changes;
}

Changes detectChanges(std::span<const CertificateRecord> baseline,
                      std::span<const CertificateRecord> current) {
    return detectChanges(RecordsWithFingerprints{baseline, {}},
                         RecordsWithFingerprints{current, {}});
}

std::span<const CertificateRecord> currentRecords(const KestruneState& state) {
    return usable(state.mqsCertificates, state.iCertificateCountTotal);
}

std::span<const CertificateRecord> baselineRecords(const KestruneState& state) {
    return usable(state.mqsCertificatesRegistry, state.iCertificateCountTotal_Registry);
}

std::span<const Fingerprint> currentFingerprints(const KestruneState& state) {
    return fitting(state.currentFingerprints, currentRecords(state).size());
}

std::span<const Fingerprint> baselineFingerprints(const KestruneState& state) {
    return fitting(state.baselineFingerprints, baselineRecords(state).size());
}

std::span<const std::string> currentTrust(const KestruneState& state) {
    return fitting(state.currentTrust, currentRecords(state).size());
}

std::span<const std::string> baselineTrust(const KestruneState& state) {
    return fitting(state.baselineTrust, baselineRecords(state).size());
}

Changes detectChanges(const KestruneState& state) {
    return detectChanges(RecordsWithFingerprints{baselineRecords(state),
                                                 baselineFingerprints(state), baselineTrust(state)},
                         RecordsWithFingerprints{currentRecords(state), currentFingerprints(state),
                                                 currentTrust(state)});
}

}  // namespace kestrune
