// The choice of settings key: the machine's key, else this user's. Both programs take it
// from here; what each needs of the key differs, and so does how far it goes to keep an
// existing baseline.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "baseline/baseline_store.h"
#include "baseline/stored_values.h"

namespace kestrune {

enum class KeyUse {
    // The tray program: a key it can write. The machine's is opened with full access, else
    // created; else this user's is created.
    Tray,
    // kestrune-check never starts a new baseline while an existing one can be read: the
    // machine's key is read even where it cannot be written, and this user's key is used
    // only where the machine has no baseline.
    Check,
};

struct ChosenKey {
    std::shared_ptr<BaselineStore> key;  // null when no key could be read or made
    SettingsRoot root = SettingsRoot::Machine;
    bool writable = false;
    std::string whyReadOnly;                  // when !writable: why, naming the store
    std::optional<SettingsError> unreadable;  // Check: why the key could not be read
    StoredVerdict verdict;                    // Check: what the key holds
    // Check: which store is used and why, when not the first one tried. Tray: that the
    // machine's baseline was passed over for this user's key, naming both.
    std::string note;
    std::string error;  // when key is null: why, naming each store
};

// Per root, machine first. Tray: as above. Check: an existing key is judged by reading
// only; it is then opened for writing where it can be, else used read-only (a key holding
// no baseline that cannot be written passes to the next root). Where nothing exists, the
// key is created.
ChosenKey chooseSettingsKey(BaselineStores& settings, KeyUse use);

}  // namespace kestrune
