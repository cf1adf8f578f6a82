#include "ui/baseline_messages.h"

namespace kestrune {

std::shared_ptr<SettingsKey> openSettingsKey(SettingsApi& settings, Notifier& notifier,
                                             Trace* trace) {
    std::string fallback;
    auto key = openSettingsKey(settings, trace ? &fallback : nullptr);
    if (!fallback.empty()) {
        trace->errf("Kestrune: %s\n", fallback.c_str());
    }
    if (!key) {
        notifier.inform({.text = kKeyErrorText,
                         .caption = kKeyErrorCaption,
                         .severity = Severity::error,
                         .asServiceNotification = true});
    }
    return key;
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

int registry_settings_load(KestruneState& state, Notifier& notifier, Trace& trace,
                           BaselineLoad* report) {
    const BaselineLoad load = loadBaseline(state, trace);
    showLoadFailure(notifier, load);
    if (report) {
        *report = load;
    }
    return load.result();
}

}  // namespace kestrune
