// The settings key and the stored baseline: "Certificate Count" (decimal text, no
// terminator), "Certificate Data" (count * 568 bytes of records) and "Certificate
// Fingerprints" (count * 32 bytes, all zero where a fingerprint is not known) and "Certificate
// Trust" (each record's trust text, length-prefixed; no bytes where none was known). Loading
// and saving say what happened; showing it to anyone is the caller's business.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "baseline/baseline_store.h"
#include "inventory/record_table.h"
#include "inventory/state.h"
#include "inventory/trace.h"

namespace kestrune {

// Writes "Certificate Fingerprints", "Certificate Trust", "Certificate Data" then
// "Certificate Count" for the first `count` records of `table`, all in one transaction
// where the store allows it. Where the store writes one value at a time, the count comes
// last, so a save cut short leaves values whose sizes disagree. A record without a
// fingerprint in `fingerprints` is stored as not known. Trust is stored only when `trust`
// has one text per record (each cut to kTrustTextBytes); otherwise the value is written
// empty, so no older trust is left beside the new records.
// A failure's message is the store's own words, or where the store is when it has none.
Status saveBaseline(BaselineStore& key, const RecordTable& table, std::int32_t count,
                    std::span<const Fingerprint> fingerprints = {},
                    std::span<const std::string> trust = {});
// The latest scan, with its fingerprints.
Status saveCurrentAsBaseline(BaselineStore& key, const KestruneState& state);

// Whether the key holds a baseline: only a "Certificate Count" that is truly absent means
// none (the first start for this key); a store that cannot answer is neither.
enum class BaselinePresence { Absent, Present, Unreadable };
BaselinePresence baselinePresence(BaselineStore& key);

// True when the key holds no "Certificate Count" yet: the first start for this key.
bool isFirstStart(BaselineStore& key);

enum class LoadFailure {
    None,
    NoKey,            // no settings key is open
    CountUnreadable,  // "Certificate Count" absent, unreadable or too long
    DataTooLarge,     // no memory for "Certificate Data"; the old baseline stays
    DataUnreadable,   // "Certificate Data" absent or unreadable
};

// What a load found of "Certificate Fingerprints".
enum class FingerprintsFound {
    None,        // no baseline was loaded
    Loaded,      // one per loaded record
    Absent,      // a baseline from before fingerprints
    Unfitting,   // a size that does not fit the records (damage, or a save cut short)
    Unreadable,  // the store failed, or no memory
};

// What a load found of "Certificate Trust".
enum class TrustFound {
    None,        // no baseline was loaded
    Loaded,      // one text per loaded record
    Absent,      // a baseline from before trust, or saved without it
    Unfitting,   // not one bounded text per record (damage, or a save cut short)
    Unreadable,  // the store failed, or no memory
};

// "Certificate Trust" as stored (`bytes`) for `records` records: one text each, or why
// not. Never reads past `bytes`; a text over kTrustTextBytes is refused.
Result<std::vector<std::string>> decodeTrust(std::span<const std::uint8_t> bytes,
                                             std::size_t records);
// One text per record as "Certificate Trust" stores them, each cut to kTrustTextBytes.
std::vector<std::uint8_t> encodeTrust(std::span<const std::string> trust);

// What a load found.
struct BaselineLoad {
    LoadFailure failure = LoadFailure::None;
    SettingsError storeError;      // when !ok() and the store failed: how
    std::int32_t storedCount = 0;  // "Certificate Count" as read
    std::uint32_t dataBytes = 0;   // the size of "Certificate Data"
    std::size_t loaded = 0;        // records actually loaded
    FingerprintsFound fingerprints = FingerprintsFound::None;
    std::uint32_t fingerprintBytes = 0;  // the size of an unfitting value
    TrustFound trust = TrustFound::None;
    bool ok() const { return failure == LoadFailure::None; }
    // registry_settings_load's result: 1 on success, 0 on failure.
    int result() const { return ok() ? 1 : 0; }
    bool consistent() const {
        return static_cast<std::uint64_t>(storedCount) * kRecordSize == dataBytes;
    }
};

// Loads the baseline stored under `key` (null: none is open) into mqsCertificatesRegistry
// (and over the front of mqsCertificates), writing the load's diagnostic lines. A failed
// load keeps the baseline already in memory.
BaselineLoad loadBaseline(BaselineStore* key, KestruneState& state, Trace& trace);

}  // namespace kestrune
