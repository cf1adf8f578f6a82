#include "baseline/check_key.h"

namespace kestrune {

namespace {

std::string reason(SettingsApi& settings, SettingsRoot root, const char* fallback) {
    std::string why = settings.openError();
    return why.empty() ? settings.where(root, kSettingsKeyPath) + ": " + fallback : why;
}

}  // namespace

CheckKey openCheckKey(SettingsApi& settings) {
    std::string skipped;  // why earlier roots were passed over
    for (const SettingsRoot root : {SettingsRoot::Machine, SettingsRoot::User}) {
        CheckKey chosen;
        chosen.root = root;
        if (!skipped.empty()) {
            chosen.note = "using " + settings.where(root, kSettingsKeyPath) + ": " + skipped;
        }
        std::unique_ptr<SettingsKey> reader = settings.openKeyForReading(root, kSettingsKeyPath);
        if (!reader) {
            // Nothing there to read: the first run makes it here if it can.
            const std::string unreadable = settings.openError();
            if (auto made = settings.createKey(root, kSettingsKeyPath)) {
                chosen.key = std::move(made);
                chosen.writable = true;
                const StoredRead read = readStoredValues(*chosen.key);
                chosen.status = read.status;
                chosen.verdict = judgeStoredValues(read.values);
                return chosen;
            }
            const std::string why = reason(settings, root, "cannot be created");
            skipped += (skipped.empty() ? "" : "; ") +
                       (unreadable.empty() ? why : unreadable + "; " + why);
            continue;
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
            skipped += (skipped.empty() ? "" : "; ") + why + ", and it holds no baseline";
            continue;
        }
        chosen.key = std::move(reader);
        chosen.whyReadOnly = why;
        return chosen;
    }
    CheckKey none;
    none.error = "no settings could be read, opened or created: " + skipped;
    return none;
}

}  // namespace kestrune
