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

// Loads the stored baseline into mqsCertificatesRegistry (and over the front of
// mqsCertificates). 1 on success, 0 on failure after its messages; a failed load keeps
// the baseline already in memory.
int registry_settings_load(KestruneState& state, Desktop& desktop, Trace& trace);

}  // namespace kestrune
