#include "baseline/key_choice.h"

#include <optional>

#include "baseline/baseline_storage.h"

namespace kestrune {

namespace {

std::string reason(SettingsApi& settings, SettingsRoot root, const char* fallback) {
    std::string why = settings.openError();
    return why.empty() ? settings.where(root, kSettingsKeyPath) + ": " + fallback : why;
}

void addReason(std::string& skipped, const std::string& why) {
    skipped += (skipped.empty() ? "" : "; ") + why;
}

ChosenKey writableKey(std::shared_ptr<SettingsKey> key, SettingsRoot root) {
    ChosenKey chosen;
    chosen.key = std::move(key);
    chosen.root = root;
    chosen.writable = true;
    return chosen;
}

// The tray program's step for one root: the machine's key is opened with full access
// before it is created; this user's is only created (which opens it when it exists).
std::optional<ChosenKey> trayStep(SettingsApi& settings, SettingsRoot root, std::string& skipped) {
    if (root == SettingsRoot::Machine) {
        if (auto key = settings.openKey(root, kSettingsKeyPath)) {
            return writableKey(std::move(key), root);
        }
    }
    if (auto key = settings.createKey(root, kSettingsKeyPath)) {
        return writableKey(std::move(key), root);
    }
    addReason(skipped, reason(settings, root, "cannot be created"));
    return std::nullopt;
}

// Passing over a machine baseline is allowed, but never silently.
std::string passedOverNote(SettingsApi& settings, const std::string& machineWhy,
                           const SettingsKey& user) {
    auto machine = settings.openKeyForReading(SettingsRoot::Machine, kSettingsKeyPath);
    if (!machine || baselinePresence(*machine) != BaselinePresence::Present) {
        return {};
    }
    return "Not using the machine's baseline: " +
           (machineWhy.empty() ? machine->describe() + ": cannot be opened for writing"
                               : machineWhy) +
           "; using " + user.describe() + " instead.";
}

// kestrune-check's step for one root.
std::optional<ChosenKey> checkStep(SettingsApi& settings, SettingsRoot root, std::string& skipped) {
    ChosenKey chosen;
    chosen.root = root;
    std::unique_ptr<SettingsKey> reader = settings.openKeyForReading(root, kSettingsKeyPath);
    if (!reader) {
        // Nothing there to read: the first run makes it here if it can.
        const std::string unreadable = settings.openError();
        if (auto made = settings.createKey(root, kSettingsKeyPath)) {
            chosen = writableKey(std::move(made), root);
            const StoredRead read = readStoredValues(*chosen.key);
            chosen.status = read.status;
            chosen.verdict = judgeStoredValues(read.values);
            return chosen;
        }
        const std::string why = reason(settings, root, "cannot be created");
        addReason(skipped, unreadable.empty() ? why : unreadable + "; " + why);
        return std::nullopt;
    }
    const StoredRead read = readStoredValues(*reader);
    chosen.status = read.status;
    chosen.verdict = judgeStoredValues(read.values);
    if (!read.ok() || chosen.verdict.state == StoredState::Damaged) {
        chosen.key = std::move(reader);  // reported as it is, never written here
        return chosen;
    }
    const bool empty = chosen.verdict.state == StoredState::Empty;
    auto writer = empty ? settings.createKey(root, kSettingsKeyPath)
                        : settings.openKey(root, kSettingsKeyPath);
    if (writer) {
        chosen.key = std::move(writer);
        chosen.writable = true;
        return chosen;
    }
    const std::string why = reason(settings, root, "cannot be opened for writing");
    if (empty) {
        addReason(skipped, why + ", and it holds no baseline");
        return std::nullopt;
    }
    chosen.key = std::move(reader);
    chosen.whyReadOnly = why;
    return chosen;
}

}  // namespace

ChosenKey chooseSettingsKey(SettingsApi& settings, KeyUse use) {
    std::string skipped;  // why earlier roots were passed over
    std::string machineWhy;
    for (const SettingsRoot root : {SettingsRoot::Machine, SettingsRoot::User}) {
        const bool first = skipped.empty();
        std::optional<ChosenKey> chosen = use == KeyUse::Tray ? trayStep(settings, root, skipped)
                                                              : checkStep(settings, root, skipped);
        if (root == SettingsRoot::Machine) {
            machineWhy = settings.openError();
        }
        if (!chosen) {
            continue;
        }
        if (use == KeyUse::Check && !first) {
            chosen->note = "using " + settings.where(root, kSettingsKeyPath) + ": " + skipped;
        } else if (use == KeyUse::Tray && root == SettingsRoot::User) {
            chosen->note = passedOverNote(settings, machineWhy, *chosen->key);
        }
        return *chosen;
    }
    ChosenKey none;
    none.error = "no settings could be read, opened or created: " + skipped;
    return none;
}

}  // namespace kestrune
