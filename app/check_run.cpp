#include "app/check_run.h"

#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
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

Fingerprint fingerprintAt(const std::vector<Fingerprint>& fingerprints, std::size_t i) {
    return i < fingerprints.size() ? fingerprints[i] : Fingerprint{};
}

// `previous`: for a changed certificate, the baseline's fingerprint, after the new one.
std::string differenceLine(const char* event, const CertificateRecord& record,
                           const Fingerprint& fingerprint, bool json,
                           const Fingerprint* previous = nullptr) {
    if (json) {
        std::string line =
            "{\"event\":" + jsonString(event) + "," + listJsonLine(record, fingerprint).substr(1);
        if (previous) {
            line.insert(line.size() - 2,
                        ",\"baseline_sha256\":" + (isKnown(*previous)
                                                       ? jsonString(fingerprintHex(*previous))
                                                       : std::string("null")));
        }
        return line;
    }
    std::string line = std::string(event) + "\t" + listLine(record, fingerprint);
    if (previous) {
        line.insert(line.size() - 1, "\t" + fingerprintHex(*previous));
    }
    return line;
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
        if (scan(state, stores, trace).outOfMemory) {
            return fail("out of memory while scanning; nothing was stored");
        }
        if (!saveCurrentAsBaseline(key, state)) {
            return fail("could not store the first baseline in " + key.describe() +
                        (key.lastError().empty() ? "" : ": " + key.lastError()));
        }
        const int unique = state.uniqueCertificateCount;
        const int total = state.iCertificateCountTotal;
        if (options.json) {
            result.out = formatText(
                "{\"event\":\"baseline\",\"unique_certificates\":%d,\"all_certificates\":%d,"
                "\"settings\":%s}\n",
                unique, total, jsonString(key.describe()).c_str());
        } else {
            result.out = formatText(
                "No baseline yet: recorded this scan as the baseline in %s.\n"
                "Unique Certificates: %d certificates\n"
                "All certificates in all stores: %d certificates\n",
                key.describe().c_str(), unique, total);
        }
        result.facts = firstBaselineFacts(state);
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
    if (load.fingerprints == FingerprintsFound::Unfitting ||
        load.fingerprints == FingerprintsFound::Unreadable) {
        // A baseline from before fingerprints is no news; a damaged value is.
        result.err += formatText(
            "kestrune-check: warning: \"Certificate Fingerprints\" in %s %s; certificates are "
            "compared by serial number and subject name alone.\n",
            key.describe().c_str(),
            load.fingerprints == FingerprintsFound::Unreadable
                ? "could not be read"
                : formatText("holds %u bytes, not 32 for each of the %zu records",
                             load.fingerprintBytes, load.loaded)
                      .c_str());
    }

    state.resetScanCounters();
    if (scan(state, stores, trace).outOfMemory) {
        return fail("out of memory while scanning; nothing was compared");
    }

    const Changes changes = detectChanges(state);
    const auto& added = changes.added;
    const auto& missing = changes.missing;
    std::vector<std::size_t> replaced;  // the current side of each changed certificate
    for (const std::size_t i : added) {
        result.out += differenceLine("added", state.mqsCertificates[i],
                                     fingerprintAt(state.currentFingerprints, i), options.json);
    }
    for (const ChangedCertificate& c : changes.changed) {
        const Fingerprint previous = fingerprintAt(state.baselineFingerprints, c.baseline);
        result.out += differenceLine("changed", state.mqsCertificates[c.current],
                                     fingerprintAt(state.currentFingerprints, c.current),
                                     options.json, &previous);
        replaced.push_back(c.current);
    }
    for (const std::size_t i : missing) {
        result.out += differenceLine("missing", state.mqsCertificatesRegistry[i],
                                     fingerprintAt(state.baselineFingerprints, i), options.json);
    }
    const bool changed = changes.any();
    bool accepted = false;
    if (changed && options.accept) {
        if (!saveCurrentAsBaseline(key, state)) {
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
            "{\"event\":\"summary\",\"added\":%zu,\"missing\":%zu,\"changed\":%zu,"
            "\"baseline_certificates\":%d,\"observed_certificates\":%d,\"unique_certificates\":%d,"
            "\"accepted\":%s}\n",
            added.size(), missing.size(), replaced.size(), baseline, observed,
            state.uniqueCertificateCount.load(), accepted ? "true" : "false");
    } else {
        result.out += formatText(
            "%zu added, %zu missing, %zu changed (baseline: %d certificates, observed: %d "
            "certificates, %d unique)%s\n",
            added.size(), missing.size(), replaced.size(), baseline, observed,
            state.uniqueCertificateCount.load(),
            accepted ? "; the observed state is now the baseline" : "");
    }
    if (result.status != kCheckExitError) {
        result.status = changed && !accepted ? kCheckExitChanged : kCheckExitOk;
    }
    result.facts = checkFacts(state, added, missing, accepted);
    for (const std::size_t i : replaced) {
        result.facts.changed.push_back(state.mqsCertificates[i]);
    }
    return result;
}

}  // namespace kestrune
