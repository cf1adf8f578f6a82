#include "app/check_run.h"

#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
#include "baseline/check_key.h"
#include "inventory/scanner.h"
#include "inventory/text.h"

namespace kestrune {

namespace {

std::string storeProblem(const SettingsKey& key, SettingsStatus status) {
    const std::string why = key.lastError();
    std::string text = "could not read the baseline in " + key.describe();
    if (status == SettingsStatus::Busy) {
        text +=
            ": it stayed locked by another program (the tray program may be saving); "
            "try again";
    } else if (!why.empty()) {
        text += ": " + why;
    }
    return text;
}

std::string differenceLine(const char* event, const CertificateRecord& record, bool json) {
    if (json) {
        return "{\"event\":" + jsonString(event) + "," + listJsonLine(record).substr(1);
    }
    return std::string(event) + "\t" + listLine(record);
}

}  // namespace

CheckOutput runCheck(const CheckOptions& options, CertStoreApi& stores, SettingsApi& settings,
                     Trace& trace) {
    CheckOutput result;
    auto fail = [&](const std::string& message) {
        result.status = kCheckExitError;
        result.err += "kestrune-check: " + message + "\n";
        return result;
    };

    CheckKey chosen = openCheckKey(settings);
    if (!chosen.note.empty()) {
        result.err += "kestrune-check: " + chosen.note + "\n";
    }
    if (!chosen.key) {
        return fail(chosen.error);
    }
    KestruneState state;
    state.settingsKey = chosen.key;
    if (chosen.status != SettingsStatus::Ok) {
        return fail(storeProblem(*chosen.key, chosen.status));
    }

    // Damage is never compared against as if it were a baseline, and only replaced when
    // the operator says so; where the store is a file, the damaged one is kept.
    std::string replaced;
    if (chosen.verdict.state == StoredState::Damaged) {
        const std::string where = chosen.key->describe();
        if (chosen.verdict.what.rfind(where + ": ", 0) == 0) {
            chosen.verdict.what.erase(0, where.size() + 2);  // named once is enough
        }
        if (!options.accept) {
            return fail("the stored baseline in " + where + " is damaged: " + chosen.verdict.what +
                        "; nothing was compared or written (--accept records this scan as the "
                        "new baseline in its place)");
        }
        state.settingsKey.reset();
        chosen.key.reset();
        const SetAsideResult aside = settings.setAside(chosen.root, kSettingsKeyPath);
        if (!aside.ok) {
            return fail("the stored baseline in " + where + " is damaged (" + chosen.verdict.what +
                        ") and could not be set aside: " + aside.why + "; nothing was written");
        }
        state.settingsKey = settings.createKey(chosen.root, kSettingsKeyPath);
        if (!state.settingsKey) {
            const std::string why = settings.openError();
            return fail("could not make a new baseline in " + where +
                        (why.empty() ? "" : ": " + why) +
                        (aside.kept.empty() ? "" : "; the damaged one is kept as " + aside.kept));
        }
        chosen.writable = true;
        replaced = "Replaced the damaged baseline in " + where + " (" + chosen.verdict.what + ")" +
                   (aside.kept.empty() ? "" : "; it is kept as " + aside.kept) + ".\n";
    }
    SettingsKey& store = *state.settingsKey;

    if (chosen.verdict.state != StoredState::Whole) {
        if (!chosen.writable) {
            return fail("no baseline in " + store.describe() +
                        " and it cannot be written: " + chosen.whyReadOnly);
        }
        if (scan(state, stores, trace).outOfMemory) {
            return fail("out of memory while scanning; nothing was stored");
        }
        if (!saveBaseline(store, state.mqsCertificates, state.iCertificateCountTotal)) {
            return fail("could not store the first baseline in " + store.describe() +
                        (store.lastError().empty() ? "" : ": " + store.lastError()));
        }
        const int unique = state.uniqueCertificateCount;
        const int total = state.iCertificateCountTotal;
        if (options.json) {
            result.out = formatText(
                "{\"event\":\"baseline\",\"unique_certificates\":%d,\"all_certificates\":%d,"
                "\"settings\":%s}\n",
                unique, total, jsonString(store.describe()).c_str());
        } else {
            result.out = replaced.empty()
                             ? formatText(
                                   "No baseline yet: recorded this scan as the baseline in "
                                   "%s.\n",
                                   store.describe().c_str())
                             : replaced + "Recorded this scan as the baseline in " +
                                   store.describe() + ".\n";
            result.out += formatText(
                "Unique Certificates: %d certificates\n"
                "All certificates in all stores: %d certificates\n",
                unique, total);
        }
        if (!replaced.empty() && options.json) {
            result.err += "kestrune-check: " + replaced;
        }
        result.facts = firstBaselineFacts(state);
        return result;
    }

    const BaselineLoad load = loadBaseline(state, trace);
    if (!load.ok()) {
        return fail(storeProblem(store, load.status));
    }
    if (!load.consistent()) {
        // Damaged between the look and the load: still never compared against.
        return fail(
            formatText("the stored baseline in %s is damaged: \"Certificate Count\" says "
                       "%d records but \"Certificate Data\" holds %u bytes; nothing was "
                       "compared or written",
                       store.describe().c_str(), load.storedCount, load.dataBytes));
    }

    state.resetScanCounters();
    if (scan(state, stores, trace).outOfMemory) {
        return fail("out of memory while scanning; nothing was compared");
    }

    const Changes changes = detectChanges(state);
    const auto& added = changes.added;
    const auto& missing = changes.missing;
    for (const std::size_t i : added) {
        result.out += differenceLine("added", state.mqsCertificates[i], options.json);
    }
    for (const std::size_t i : missing) {
        result.out += differenceLine("missing", state.mqsCertificatesRegistry[i], options.json);
    }
    const bool changed = !added.empty() || !missing.empty();
    bool accepted = false;
    if (changed && options.accept && !chosen.writable) {
        result.err += "kestrune-check: could not store the observed state as the baseline: " +
                      chosen.whyReadOnly + "; it was compared read-only\n";
        result.status = kCheckExitError;
    } else if (changed && options.accept) {
        if (!saveBaseline(store, state.mqsCertificates, state.iCertificateCountTotal)) {
            result.err += "kestrune-check: could not store the observed state as the baseline in " +
                          store.describe() +
                          (store.lastError().empty() ? "" : ": " + store.lastError()) + "\n";
            result.status = kCheckExitError;
        } else {
            accepted = true;
        }
    }
    const int baseline = state.iCertificateCountTotal_Registry;
    const int observed = state.iCertificateCountTotal;
    if (options.json) {
        result.out += formatText(
            "{\"event\":\"summary\",\"added\":%zu,\"missing\":%zu,\"baseline_certificates\":%d,"
            "\"observed_certificates\":%d,\"unique_certificates\":%d,\"accepted\":%s}\n",
            added.size(), missing.size(), baseline, observed, state.uniqueCertificateCount.load(),
            accepted ? "true" : "false");
    } else {
        result.out += formatText(
            "%zu added, %zu missing (baseline: %d certificates, observed: %d certificates, %d "
            "unique)%s\n",
            added.size(), missing.size(), baseline, observed, state.uniqueCertificateCount.load(),
            accepted ? "; the observed state is now the baseline" : "");
    }
    if (result.status != kCheckExitError) {
        result.status = changed && !accepted ? kCheckExitChanged : kCheckExitOk;
    }
    result.facts = checkFacts(state, added, missing, accepted);
    return result;
}

}  // namespace kestrune
