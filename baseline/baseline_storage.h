// The settings key and the stored baseline: "Certificate Count" (decimal text, no
// terminator) and "Certificate Data" (count * 568 bytes of records).
#pragma once

#include <cstdint>
#include <memory>

#include "baseline/settings_api.h"
#include "inventory/record_table.h"
#include "inventory/state.h"
#include "inventory/trace.h"
#include "ui/desktop.h"

namespace kestrune {

// Machine root with full access, else created under the machine root, else created
// under the user root. Null when all three fail, after the error box; the caller then
// ends the process with status -1 (exitForMissingSettingsKey).
std::shared_ptr<SettingsKey> openSettingsKey(SettingsApi& settings, Desktop& desktop);
[[noreturn]] void exitForMissingSettingsKey();

// Writes "Certificate Data" then "Certificate Count" for the first `count` records of
// `table`, both in one transaction where the store allows it. Returns whether both
// writes succeeded (the tray program ignores it; kestrune-check does not).
bool saveBaseline(SettingsKey& key, const RecordTable& table, std::int32_t count);

// True when the key holds no "Certificate Count" yet: the first start for this key.
bool isFirstStart(SettingsKey& key);

// What a load found, for callers that report it themselves.
struct BaselineLoadReport {
    SettingsStatus status = SettingsStatus::Ok;  // the first store failure, if any
    std::int32_t storedCount = 0;                // "Certificate Count" as read
    std::uint32_t dataBytes = 0;                 // the size of "Certificate Data"
    std::size_t loaded = 0;                      // records actually loaded
    bool consistent() const {
        return static_cast<std::uint64_t>(storedCount) * kRecordSize == dataBytes;
    }
};

// Loads the stored baseline into mqsCertificatesRegistry (and over the front of
// mqsCertificates). 1 on success, 0 on failure after its messages; a failed load keeps
// the baseline already in memory.
int registry_settings_load(KestruneState& state, Desktop& desktop, Trace& trace,
                           BaselineLoadReport* report = nullptr);

}  // namespace kestrune
