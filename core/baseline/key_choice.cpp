#include "baseline/key_choice.h"

#include <optional>

#include "baseline/baseline_storage.h"

namespace kestrune {

namespace {

using Opened = StoreResult<std::unique_ptr<BaselineStore>>;

// What the steps learn on the way: why roots were passed over, and why the last open
// failed.
struct Attempts {
    std::string skipped;
    std::string lastOpenError;

    Opened open(BaselineStores& settings, SettingsRoot root, StoreAccess access) {
        Opened opened = settings.open(root, access);
        lastOpenError = opened ? std::string() : opened.error();
        return opened;
    }
    std::string reason(BaselineStores& settings, SettingsRoot root, const char* fallback) const {
        return lastOpenError.empty() ? settings.where(root) + ": " + fallback : lastOpenError;
    }
    void skip(const std::string& why) { skipped += (skipped.empty() ? "" : "; ") + why; }
};

ChosenKey writableKey(std::unique_ptr<BaselineStore> key, SettingsRoot root) {
    ChosenKey chosen;
    chosen.key = std::move(key);
    chosen.root = root;
    chosen.writable = true;
    return chosen;
}

// The tray program's step for one root: the machine's key is opened with full access
// before it is created; this user's is only created (which opens it when it exists).
std::optional<ChosenKey> trayStep(BaselineStores& settings, SettingsRoot root, Attempts& tried) {
    if (root == SettingsRoot::Machine) {
        if (Opened key = tried.open(settings, root, StoreAccess::Write)) {
            return writableKey(std::move(*key), root);
        }
    }
    if (Opened key = tried.open(settings, root, StoreAccess::Create)) {
        return writableKey(std::move(*key), root);
    }
    tried.skip(tried.reason(settings, root, "cannot be created"));
    return std::nullopt;
}

// Passing over a machine baseline is allowed, but never silently.
std::string passedOverNote(BaselineStores& settings, const std::string& machineWhy,
                           const BaselineStore& user) {
    Opened machine = settings.open(SettingsRoot::Machine, StoreAccess::Read);
    if (!machine || baselinePresence(**machine) != BaselinePresence::Present) {
        return {};
    }
    return "Not using the machine's baseline: " +
           (machineWhy.empty() ? (*machine)->describe() + ": cannot be opened for writing"
                               : machineWhy) +
           "; using " + user.describe() + " instead.";
}

// What a key the check reads holds.
void judge(ChosenKey& chosen, BaselineStore& key) {
    const StoreResult<StoredValues> read = readStoredValues(key);
    if (!read) {
        chosen.unreadable = read.failure();
        chosen.verdict = judgeStoredValues(StoredValues{});
        return;
    }
    chosen.verdict = judgeStoredValues(*read);
}

// kestrune-check's step for one root.
std::optional<ChosenKey> checkStep(BaselineStores& settings, SettingsRoot root, Attempts& tried) {
    ChosenKey chosen;
    chosen.root = root;
    Opened reader = tried.open(settings, root, StoreAccess::Read);
    if (!reader) {
        // Nothing there to read: the first run makes it here if it can.
        const std::string unreadable = tried.lastOpenError;
        if (Opened made = tried.open(settings, root, StoreAccess::Create)) {
            chosen = writableKey(std::move(*made), root);
            judge(chosen, *chosen.key);
            return chosen;
        }
        const std::string why = tried.reason(settings, root, "cannot be created");
        tried.skip(unreadable.empty() ? why : unreadable + "; " + why);
        return std::nullopt;
    }
    judge(chosen, **reader);
    if (chosen.unreadable || chosen.verdict.state == StoredState::Damaged) {
        chosen.key = std::move(*reader);  // reported as it is, never written here
        return chosen;
    }
    const bool empty = chosen.verdict.state == StoredState::Empty;
    if (Opened writer =
            tried.open(settings, root, empty ? StoreAccess::Create : StoreAccess::Write)) {
        chosen.key = std::move(*writer);
        chosen.writable = true;
        return chosen;
    }
    const std::string why = tried.reason(settings, root, "cannot be opened for writing");
    if (empty) {
        tried.skip(why + ", and it holds no baseline");
        return std::nullopt;
    }
    chosen.key = std::move(*reader);
    chosen.whyReadOnly = why;
    return chosen;
}

}  // namespace

ChosenKey chooseSettingsKey(BaselineStores& settings, KeyUse use) {
    Attempts tried;
    std::string machineWhy;
    for (const SettingsRoot root : {SettingsRoot::Machine, SettingsRoot::User}) {
        const bool first = tried.skipped.empty();
        std::optional<ChosenKey> chosen = use == KeyUse::Tray ? trayStep(settings, root, tried)
                                                              : checkStep(settings, root, tried);
        if (root == SettingsRoot::Machine) {
            machineWhy = tried.lastOpenError;
        }
        if (!chosen) {
            continue;
        }
        if (use == KeyUse::Check && !first) {
            chosen->note = "using " + settings.where(root) + ": " + tried.skipped;
        } else if (use == KeyUse::Tray && root == SettingsRoot::User) {
            chosen->note = passedOverNote(settings, machineWhy, *chosen->key);
        }
        return *chosen;
    }
    ChosenKey none;
    none.error = "no settings could be read, opened or created: " + tried.skipped;
    return none;
}

}  // namespace kestrune
