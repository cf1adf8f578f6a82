// The settings key and the stored baseline: "Certificate Count" (decimal text, no
// terminator), "Certificate Data" (count * 568 bytes of records) and "Certificate
// Fingerprints" (count * 32 bytes, all zero where a fingerprint is not known). Loading and saving
// say what happened; showing it to anyone is the caller's business.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "baseline/settings_api.h"
#include "inventory/record_table.h"
#include "inventory/state.h"
#include "inventory/trace.h"

namespace kestrune {

struct SaveResult {
    bool ok = false;
    std::string why;  // empty when ok
    explicit operator bool() const { return ok; }
};

// Writes "Certificate Fingerprints", "Certificate Data" then "Certificate Count" for the
// first `count` records of `table`, all in one transaction where the store allows it.
// Where the store writes one value at a time, the count comes last, so a save cut short
// leaves values whose sizes disagree. A record without a fingerprint in `fingerprints`
// is stored as not known.
SaveResult saveBaseline(SettingsKey& key, const RecordTable& table, std::int32_t count,
                        std::span<const Fingerprint> fingerprints = {});
// The latest scan, with its fingerprints.
SaveResult saveCurrentAsBaseline(SettingsKey& key, const KestruneState& state);

// Whether the key holds a baseline: only a "Certificate Count" that is truly absent means
// none (the first start for this key); a store that cannot answer is neither.
enum class BaselinePresence { Absent, Present, Unreadable };
BaselinePresence baselinePresence(SettingsKey& key, SettingsStatus* status = nullptr);

// True when the key holds no "Certificate Count" yet: the first start for this key.
bool isFirstStart(SettingsKey& key);

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

// What a load found.
struct BaselineLoad {
    LoadFailure failure = LoadFailure::None;
    SettingsStatus status = SettingsStatus::Ok;  // the first store failure, if any
    std::int32_t storedCount = 0;                // "Certificate Count" as read
    std::uint32_t dataBytes = 0;                 // the size of "Certificate Data"
    std::size_t loaded = 0;                      // records actually loaded
    FingerprintsFound fingerprints = FingerprintsFound::None;
    std::uint32_t fingerprintBytes = 0;  // the size of an unfitting value
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
BaselineLoad loadBaseline(SettingsKey* key, KestruneState& state, Trace& trace);

}  // namespace kestrune
