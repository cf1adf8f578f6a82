#include "baseline/store_carry_over.h"

#include <cstring>

#include "inventory/record_table.h"

namespace kestrune {

namespace {

// The names as a record would carry them (cut to the field), so a long name still
// matches its records.
bool sameField(const char16_t (&field)[kRecordTextUnits], const std::string& name) {
    CertificateRecord probe = zeroRecord();
    setRecordText(probe.name, name);
    return recordText(field) == recordText(probe.name);
}

// Indexes of the records outside the unreadable stores, in order.
std::vector<std::size_t> readableIndexes(std::span<const CertificateRecord> records,
                                         std::span<const UnreadableStore> unreadable) {
    std::vector<std::size_t> out;
    out.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!inUnreadableStore(records[i], unreadable)) {
            out.push_back(i);
        }
    }
    return out;
}

template <typename T>
std::vector<T> pick(std::span<const T> all, const std::vector<std::size_t>& indexes) {
    std::vector<T> out;
    if (all.empty()) {
        return out;  // no fingerprints: none picked either
    }
    out.reserve(indexes.size());
    for (const std::size_t i : indexes) {
        out.push_back(all[i]);
    }
    return out;
}

}  // namespace

bool inUnreadableStore(const CertificateRecord& record,
                       std::span<const UnreadableStore> unreadable) {
    for (const UnreadableStore& store : unreadable) {
        if (store.location.empty() && store.store.empty()) {
            return true;  // no location could be listed
        }
        if (sameField(record.locationName, store.location) &&
            (store.store.empty() || sameField(record.storeName, store.store))) {
            return true;
        }
    }
    return false;
}

Changes detectReadableChanges(const KestruneState& state,
                              std::span<const UnreadableStore> unreadable) {
    if (unreadable.empty()) {
        return detectChanges(state);
    }
    const auto baseline = baselineRecords(state);
    const auto current = currentRecords(state);
    const std::vector<std::size_t> b = readableIndexes(baseline, unreadable);
    const std::vector<std::size_t> c = readableIndexes(current, unreadable);
    const auto bRecords = pick(baseline, b);
    const auto cRecords = pick(current, c);
    const auto bFingerprints = pick(baselineFingerprints(state), b);
    const auto cFingerprints = pick(currentFingerprints(state), c);
    const auto bTrust = pick(baselineTrust(state), b);
    const auto cTrust = pick(currentTrust(state), c);
    Changes changes = detectChanges(RecordsWithFingerprints{bRecords, bFingerprints, bTrust},
                                    RecordsWithFingerprints{cRecords, cFingerprints, cTrust});
    for (std::size_t& i : changes.added) {
        i = c[i];
    }
    for (std::size_t& i : changes.missing) {
        i = b[i];
    }
    for (ChangedCertificate& changed : changes.changed) {
        changed.current = c[changed.current];
        changed.baseline = b[changed.baseline];
    }
    return changes;
}

Status saveObservedAsBaseline(BaselineStore& key, const KestruneState& state,
                              std::span<const UnreadableStore> unreadable) {
    if (unreadable.empty()) {
        return saveCurrentAsBaseline(key, state);
    }
    const auto baseline = baselineRecords(state);
    const auto current = currentRecords(state);
    const auto baselinePrints = baselineFingerprints(state);
    const auto currentPrints = currentFingerprints(state);
    const auto baselineTexts = baselineTrust(state);
    const auto currentTexts = currentTrust(state);
    std::vector<CertificateRecord> records;
    std::vector<Fingerprint> prints;
    std::vector<std::string> trust;
    bool trustKnown = true;  // stored only when every record's is known
    for (const std::size_t i : readableIndexes(current, unreadable)) {
        records.push_back(current[i]);
        prints.push_back(i < currentPrints.size() ? currentPrints[i] : Fingerprint{});
        trustKnown = trustKnown && i < currentTexts.size();
        trust.push_back(trustKnown ? currentTexts[i] : std::string());
    }
    for (std::size_t i = 0; i < baseline.size(); ++i) {
        if (inUnreadableStore(baseline[i], unreadable)) {
            records.push_back(baseline[i]);
            prints.push_back(i < baselinePrints.size() ? baselinePrints[i] : Fingerprint{});
            trustKnown = trustKnown && i < baselineTexts.size();
            trust.push_back(trustKnown ? baselineTexts[i] : std::string());
        }
    }
    if (!trustKnown) {
        trust.clear();  // a guess would show as a change of trust once the store is read
    }
    RecordTable table;
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(records.data()),
                                              records.size() * kRecordSize);
    if (!table.replaceFromBlob(bytes, records.size())) {
        return fail("out of memory");
    }
    return saveBaseline(key, table, static_cast<std::int32_t>(records.size()), prints, trust);
}

}  // namespace kestrune
