// kestrune-check's choice of settings key. Unlike the tray program it never starts a new
// baseline while an existing one can be read: the machine's key is read even where it
// cannot be written, and this user's key is used only where the machine has no baseline.
#pragma once

#include <memory>
#include <string>

#include "baseline/settings_api.h"
#include "baseline/stored_values.h"

namespace kestrune {

struct CheckKey {
    std::shared_ptr<SettingsKey> key;  // null when no key could be read or made
    SettingsRoot root = SettingsRoot::Machine;
    bool writable = false;
    std::string whyReadOnly;                     // when !writable: why, naming the store
    SettingsStatus status = SettingsStatus::Ok;  // a key that could not be read
    StoredVerdict verdict;                       // what the key holds
    std::string note;   // which store is used and why, when not the first one tried
    std::string error;  // when key is null: why, naming each store
};

// Per root, machine first: an existing key is judged by reading only; it is then opened
// for writing where it can be, else used read-only (a key holding no baseline that
// cannot be written passes to the next root). Where nothing exists, the key is created.
CheckKey openCheckKey(SettingsApi& settings);

}  // namespace kestrune
