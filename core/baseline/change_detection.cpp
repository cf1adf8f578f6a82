#include "baseline/change_detection.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "inventory/record_key_set.h"

namespace kestrune {

namespace {

std::span<const CertificateRecord> usable(const RecordTable& table, std::int32_t count) {
    const std::size_t n =
        count <= 0 ? 0 : std::min(table.validCount(), static_cast<std::size_t>(count));
    return table.valid().first(n);
}

std::span<const Fingerprint> fitting(const std::vector<Fingerprint>& fingerprints,
                                     std::size_t records) {
    if (fingerprints.size() < records) {
        return {};
    }
    return std::span<const Fingerprint>(fingerprints).first(records);
}

// The serial's valid bytes, zero-padded: stored records may carry anything past the
// valid length, and a short serial must never match a longer one that starts the same.
struct Identity {
    std::uint8_t serial[kSerialBytes] = {};
    std::size_t serialLength = 0;
    const std::uint8_t* subject = nullptr;  // kSubjectHashCompareBytes bytes

    explicit Identity(const CertificateRecord& r)
        : serialLength(validSerialLength(r)), subject(r.subjectNameHash) {
        std::memcpy(serial, r.serialNumber, serialLength);
    }
    bool operator==(const Identity& o) const {
        return serialLength == o.serialLength && std::memcmp(serial, o.serial, kSerialBytes) == 0 &&
               std::memcmp(subject, o.subject, kSubjectHashCompareBytes) == 0;
    }
    std::uint64_t hash() const {
        return hashKey64(serial) ^ (hashKey64(subject) * 0x94D049BB133111EBull) ^ serialLength;
    }
};

// Open addressing over record indexes; lookups walk every index of an equal key, so
// duplicates (one certificate in several stores) are all found.
template <typename Key>
class IndexByKey {
  public:
    template <typename KeyOf>
    IndexByKey(std::size_t count, KeyOf keyOf) {
        std::size_t capacity = 16;
        while (capacity < count * 2) {
            capacity *= 2;
        }
        mask_ = capacity - 1;
        slots_.assign(capacity, 0);
        keys_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            keys_.push_back(keyOf(i));
            std::size_t slot = keys_.back().hash() & mask_;
            while (slots_[slot] != 0) {
                slot = (slot + 1) & mask_;
            }
            slots_[slot] = i + 1;
        }
    }
    // Calls f(index) for every index with an equal key, until f returns false.
    template <typename F>
    void forEach(const Key& key, F f) const {
        for (std::size_t slot = key.hash() & mask_; slots_[slot] != 0; slot = (slot + 1) & mask_) {
            const std::size_t i = slots_[slot] - 1;
            if (keys_[i] == key && !f(i)) {
                return;
            }
        }
    }
    bool contains(const Key& key) const {
        bool found = false;
        forEach(key, [&](std::size_t) {
            found = true;
            return false;
        });
        return found;
    }

  private:
    std::vector<Key> keys_;
    std::size_t mask_ = 0;
    std::vector<std::size_t> slots_;  // index + 1; 0 is empty
};

struct FingerprintKey {
    const Fingerprint* fp;
    bool operator==(const FingerprintKey& o) const { return *fp == *o.fp; }
    std::uint64_t hash() const {
        std::uint64_t h;
        std::memcpy(&h, fp->data(), sizeof h);  // already uniformly spread
        return h;
    }
};

class AddedFinder {
  public:
    AddedFinder(RecordsWithFingerprints baseline, RecordsWithFingerprints current)
        : baseline_(baseline),
          current_(current),
          withFingerprints_(baseline.fingerprints.size() == baseline.records.size() &&
                            current.fingerprints.size() == current.records.size()),
          identities_(baseline.records.size(),
                      [&](std::size_t i) { return Identity(baseline.records[i]); }) {}

    void run(ChangeScope scope, Changes& changes) {
        for (std::size_t i = 0; i < current_.records.size(); ++i) {
            const Difference d = classify(i);
            if (d.kind == Kind::Added) {
                changes.added.push_back(i);
            } else if (d.kind == Kind::Changed) {
                changes.changed.push_back({i, d.baseline});
            } else {
                continue;
            }
            if (scope == ChangeScope::First) {
                return;
            }
        }
    }

  private:
    enum class Kind { Present, Added, Changed };
    struct Difference {
        Kind kind = Kind::Present;
        std::size_t baseline = 0;
    };

    Difference classify(std::size_t i) {
        const Identity identity(current_.records[i]);
        const Fingerprint* mine = withFingerprints_ ? &current_.fingerprints[i] : nullptr;
        if (mine && !isKnown(*mine)) {
            mine = nullptr;
        }
        bool twin = false;                // a baseline record of this identity
        bool same = false;                // ... with this fingerprint, or one not known
        std::optional<std::size_t> gone;  // ... whose certificate no current record has
        identities_.forEach(identity, [&](std::size_t b) {
            twin = true;
            const Fingerprint* theirs = withFingerprints_ ? &baseline_.fingerprints[b] : nullptr;
            if (!mine || !isKnown(*theirs) || *theirs == *mine) {
                same = true;
                return false;
            }
            if (!gone && !currentHas(*theirs)) {
                gone = b;
            }
            return true;
        });
        if (!twin) {
            return {Kind::Added};
        }
        if (same) {
            return {Kind::Present};
        }
        if (gone) {
            return {Kind::Changed, *gone};
        }
        return {Kind::Added};
    }

    bool currentHas(const Fingerprint& fingerprint) {
        if (!currentFingerprints_) {
            currentFingerprints_.emplace(current_.fingerprints.size(), [&](std::size_t i) {
                return FingerprintKey{&current_.fingerprints[i]};
            });
        }
        return currentFingerprints_->contains(FingerprintKey{&fingerprint});
    }

    RecordsWithFingerprints baseline_;
    RecordsWithFingerprints current_;
    bool withFingerprints_;
    IndexByKey<Identity> identities_;
    std::optional<IndexByKey<FingerprintKey>> currentFingerprints_;  // built when first needed
};

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

Changes detectChanges(RecordsWithFingerprints baseline, RecordsWithFingerprints current,
                      ChangeScope scope) {
    Changes changes;
    AddedFinder(baseline, current).run(scope, changes);
    findMissing(baseline.records, current.records, scope, changes.missing);
    return changes;
}

Changes detectChanges(std::span<const CertificateRecord> baseline,
                      std::span<const CertificateRecord> current, ChangeScope scope) {
    return detectChanges(RecordsWithFingerprints{baseline, {}},
                         RecordsWithFingerprints{current, {}}, scope);
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

Changes detectChanges(const KestruneState& state, ChangeScope scope) {
    return detectChanges(
        RecordsWithFingerprints{baselineRecords(state), baselineFingerprints(state)},
        RecordsWithFingerprints{currentRecords(state), currentFingerprints(state)}, scope);
}

}  // namespace kestrune
