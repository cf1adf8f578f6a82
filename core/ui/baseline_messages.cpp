#include "ui/baseline_messages.h"

namespace kestrune {

std::shared_ptr<SettingsKey> openSettingsKey(SettingsApi& settings, Desktop& desktop,
                                             Trace* trace) {
    const ChosenKey chosen = chooseSettingsKey(settings, KeyUse::Tray);
    if (trace && !chosen.note.empty()) {
        trace->errf("Kestrune: %s\n", chosen.note.c_str());
    }
    if (!chosen.key) {
        desktop.messageBox(kKeyErrorText, kKeyErrorCaption, kMbIconError | kMbServiceNotification,
                           kNoOwner);
    }
    return chosen.key;
}

void showLoadFailure(Desktop& desktop, const BaselineLoad& load) {
    if (load.ok()) {
        return;
    }
    if (load.failure == LoadFailure::NoKey) {
        desktop.messageBox(kNoKeyText, kNoKeyCaption, kMbIconError, kNoOwner);
    } else if (load.failure == LoadFailure::CountUnreadable) {
        desktop.messageBox(kNoCountText, kNoCountCaption, kMbIconError, kNoOwner);
    }
    desktop.messageBox(kLoadFailedText, kLoadFailedCaption, kMbIconError, kNoOwner);
}

int registry_settings_load(SettingsKey* key, KestruneState& state, Desktop& desktop, Trace& trace,
                           BaselineLoad* report) {
    const BaselineLoad load = loadBaseline(key, state, trace);
    showLoadFailure(desktop, load);
    if (report) {
        *report = load;
    }
    return load.result();
}

}  // namespace kestrune
