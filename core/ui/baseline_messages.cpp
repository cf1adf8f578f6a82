#include "ui/baseline_messages.h"

namespace kestrune {

std::shared_ptr<BaselineStore> openSettingsKey(BaselineStores& settings, Notifier& notifier,
                                               Trace* trace) {
    const ChosenKey chosen = chooseSettingsKey(settings, KeyUse::Tray);
    if (trace && !chosen.note.empty()) {
        trace->errf("Kestrune: %s\n", chosen.note.c_str());
    }
    if (!chosen.key) {
        notifier.inform({.text = kKeyErrorText,
                         .caption = kKeyErrorCaption,
                         .severity = Severity::error,
                         .asServiceNotification = true});
    }
    return chosen.key;
}

void showLoadFailure(Notifier& notifier, const BaselineLoad& load) {
    const auto error = [&](const char* text, const char* caption) {
        notifier.inform({.text = text, .caption = caption, .severity = Severity::error});
    };
    if (load.ok()) {
        return;
    }
    if (load.failure == LoadFailure::NoKey) {
        error(kNoKeyText, kNoKeyCaption);
    } else if (load.failure == LoadFailure::CountUnreadable) {
        error(kNoCountText, kNoCountCaption);
    }
    error(kLoadFailedText, kLoadFailedCaption);
}

int registry_settings_load(BaselineStore* key, KestruneState& state, Notifier& notifier,
                           Trace& trace, BaselineLoad* report) {
    const BaselineLoad load = loadBaseline(key, state, trace);
    showLoadFailure(notifier, load);
    if (report) {
        *report = load;
    }
    return load.result();
}

}  // namespace kestrune
