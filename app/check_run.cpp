#include "app/check_run.h"

#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
#include "baseline/store_carry_over.h"
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

std::string incompleteNote(std::size_t unreadable, bool accepted) {
    if (unreadable == 0) {
        return {};
    }
    const bool one = unreadable == 1;
    return formatText("; incomplete: %zu %s could not be read%s", unreadable,
                      one ? "store" : "stores",
                      !accepted ? ""
                      : one     ? " (its baseline records were kept)"
                                : " (their baseline records were kept)");
}

std::string unreadableLines(const std::vector<UnreadableStore>& stores, bool json) {
    std::string out;
    for (const UnreadableStore& s : stores) {
        out += unreadableLine(s, json);
    }
    return out;
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

    KestruneState state;
    state.settingsKey = openSettingsKey(settings);
    if (!state.settingsKey) {
        return fail(
            "no settings could be opened or created, neither the machine's nor this user's");
    }
    SettingsKey& key = *state.settingsKey;

    // A store that cannot answer is an error at once, not a reason to wait through
    // every later read too.
    SettingsStatus probe = SettingsStatus::Ok;
    const BaselinePresence presence = baselinePresence(key, &probe);
    if (presence == BaselinePresence::Unreadable) {
        return fail(storeProblem(key, probe));
    }
    if (presence == BaselinePresence::Absent) {
        const ScanResult scanned = scan(state, stores, trace);
        if (scanned.outOfMemory) {
            return fail("out of memory while scanning; nothing was stored");
        }
        // What could be read is recorded; the stores that could not be are named.
        result.out = unreadableLines(scanned.unreadable, options.json);
        if (!saveBaseline(key, state.mqsCertificates, state.iCertificateCountTotal)) {
            return fail("could not store the first baseline in " + key.describe() +
                        (key.lastError().empty() ? "" : ": " + key.lastError()));
        }
        const int unique = state.uniqueCertificateCount;
        const int total = state.iCertificateCountTotal;
        if (options.json) {
            result.out += formatText(
                "{\"event\":\"baseline\",\"unique_certificates\":%d,\"all_certificates\":%d,"
                "\"settings\":%s}\n",
                unique, total, jsonString(key.describe()).c_str());
        } else {
            result.out += formatText(
                "No baseline yet: recorded this scan as the baseline in %s.\n"
                "Unique Certificates: %d certificates\n"
                "All certificates in all stores: %d certificates\n",
                key.describe().c_str(), unique, total);
        }
        result.facts = firstBaselineFacts(state);
        result.facts.unreadable = scanned.unreadable;
        if (!scanned.unreadable.empty()) {
            result.status = kCheckExitIncomplete;
        }
        return result;
    }

    const BaselineLoad load = loadBaseline(state, trace);
    if (!load.ok()) {
        return fail(storeProblem(key, load.status));
    }
    if (!load.consistent()) {
        result.err += formatText(
            "kestrune-check: warning: the stored baseline in %s is inconsistent: "
            "\"Certificate Count\" says %d records but \"Certificate Data\" holds %u bytes; "
            "compared against the %zu whole records it holds.\n",
            key.describe().c_str(), load.storedCount, load.dataBytes, load.loaded);
    }

    state.resetScanCounters();
    const ScanResult scanned = scan(state, stores, trace);
    if (scanned.outOfMemory) {
        return fail("out of memory while scanning; nothing was compared");
    }

    // Nothing is known of an unreadable store: its records are left out of both sides.
    const std::vector<CertificateRecord> baselineKept =
        readableRecords(baselineRecords(state), scanned.unreadable);
    const std::vector<CertificateRecord> currentKept =
        readableRecords(currentRecords(state), scanned.unreadable);
    const Changes changes = detectChanges(baselineKept, currentKept);
    const auto& added = changes.added;
    const auto& missing = changes.missing;
    result.out += unreadableLines(scanned.unreadable, options.json);
    for (const std::size_t i : added) {
        result.out += differenceLine("added", currentKept[i], options.json);
    }
    for (const std::size_t i : missing) {
        result.out += differenceLine("missing", baselineKept[i], options.json);
    }
    const bool changed = !added.empty() || !missing.empty();
    bool accepted = false;
    if (changed && options.accept) {
        const SaveResult saved =
            scanned.unreadable.empty()
                ? saveBaseline(key, state.mqsCertificates, state.iCertificateCountTotal)
                : saveRecords(key, recordsToSave(baselineRecords(state), currentRecords(state),
                                                 scanned.unreadable));
        if (!saved) {
            result.err += "kestrune-check: could not store the observed state as the baseline in " +
                          key.describe() + (key.lastError().empty() ? "" : ": " + key.lastError()) +
                          "\n";
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
            "\"observed_certificates\":%d,\"unique_certificates\":%d,\"accepted\":%s,"
            "\"unreadable_stores\":%zu}\n",
            added.size(), missing.size(), baseline, observed, state.uniqueCertificateCount.load(),
            accepted ? "true" : "false", scanned.unreadable.size());
    } else {
        result.out += formatText(
            "%zu added, %zu missing (baseline: %d certificates, observed: %d certificates, %d "
            "unique)%s%s\n",
            added.size(), missing.size(), baseline, observed, state.uniqueCertificateCount.load(),
            accepted ? "; the observed state is now the baseline" : "",
            incompleteNote(scanned.unreadable.size(), accepted).c_str());
    }
    if (result.status != kCheckExitError) {
        result.status = !scanned.unreadable.empty() ? kCheckExitIncomplete
                        : changed && !accepted      ? kCheckExitChanged
                                                    : kCheckExitOk;
    }
    result.facts = checkFacts(state, {}, {}, accepted);
    for (const std::size_t i : added) {
        result.facts.added.push_back(currentKept[i]);
    }
    for (const std::size_t i : missing) {
        result.facts.missing.push_back(baselineKept[i]);
    }
    result.facts.unreadable = scanned.unreadable;
    return result;
}

}  // namespace kestrune
