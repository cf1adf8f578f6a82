// The boxes the tray programs show when the settings key or the stored baseline fails.
#pragma once

#include <memory>

#include "baseline/baseline_storage.h"
#include "baseline/key_choice.h"
#include "ui/notifier.h"

namespace kestrune {

inline constexpr const char* kKeyErrorText =
    "An error occured reading settings from the registry.\r\n\r\nThe program will now exit.";
inline constexpr const char* kKeyErrorCaption = "Brimtal Software";
inline constexpr const char* kNoKeyText = "Could not open registry to query information.";
inline constexpr const char* kNoKeyCaption = "Brimtal Pellivor Configurator";
inline constexpr const char* kNoCountText = "Could not load Certificate Count from registry";
inline constexpr const char* kNoCountCaption = "Brimtal Kestrune";
inline constexpr const char* kLoadFailedText =
    "An error occured while attempting to read settings from the registry.  The settings were "
    "either not found or invalid.\r\n\r\nThe program will now exit.";
inline constexpr const char* kLoadFailedCaption = "Brimtal Software - Kestrune Error";

// The tray program's settings key (chooseSettingsKey), with the error box when no key
// could be opened or created (the caller then ends the process with status -1). Passing
// over the machine's baseline for the user's is written to `trace`'s error stream.
std::shared_ptr<BaselineStore> openSettingsKey(BaselineStores& settings, Notifier& notifier,
                                               Trace* trace = nullptr);

// A failed load's boxes: the specific one where there is one, then the general one.
void showLoadFailure(Notifier& notifier, const BaselineLoad& load);

// loadBaseline with its boxes. 1 on success, 0 on failure.
int registry_settings_load(BaselineStore* key, KestruneState& state, Notifier& notifier,
                           Trace& trace, BaselineLoad* report = nullptr);

}  // namespace kestrune
