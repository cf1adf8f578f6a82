#include "ui/baseline_messages.h"

namespace kestrune {

std::shared_ptr<SettingsKey> openSettingsKey(SettingsApi& settings, Desktop& desktop,
                                             Trace* trace) {
    std::string fallback;
    auto key = openSettingsKey(settings, trace ? &fallback : nullptr);
    if (!fallback.empty()) {
        trace->errf("Kestrune: %s\n", fallback.c_str());
    }
    if (!key) {
        desktop.messageBox(kKeyErrorText, kKeyErrorCaption, kMbIconError | kMbServiceNotification,
                           kNoOwner);
    }
    return key;
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

int registry_settings_load(KestruneState& state, Desktop& desktop, Trace& trace,
                           BaselineLoad* report) {
    const BaselineLoad load = loadBaseline(state, trace);
    showLoadFailure(desktop, load);
    if (report) {
        *report = load;
    }
    return load.result();
}

}  // namespace kestrune
