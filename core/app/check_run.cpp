#include "app/check_run.h"

#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
#include "baseline/check_key.h"
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

CheckOutput runCheck(const CheckOptions& options, StoreCatalogue& stores, SettingsApi& settings,
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

    // A baseline that looked whole may still fail to load: a malformed database, or one
    // changed between the look and the load. That is damage like any other.
    BaselineLoad load;
    if (chosen.verdict.state == StoredState::Whole) {
        load = loadBaseline(state, trace);
        if (!load.ok() && chosen.key->damage().empty()) {
            return fail(storeProblem(*chosen.key, load.status));
        }
        if (!load.ok() || !load.consistent()) {
            chosen.verdict.state = StoredState::Damaged;
            chosen.verdict.what =
                !load.ok() ? chosen.key->damage()
                           : formatText(
                                 "\"Certificate Count\" says %d records but \"Certificate "
                                 "Data\" holds %u bytes",
                                 load.storedCount, load.dataBytes);
        }
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
        state.resetScanCounters();  // nothing of a failed load is kept
    }
    SettingsKey& store = *state.settingsKey;

    if (chosen.verdict.state != StoredState::Whole) {
        if (!chosen.writable) {
            return fail("no baseline in " + store.describe() +
                        " and it cannot be written: " + chosen.whyReadOnly);
        }
        const ScanResult scanned = scan(state, stores, trace);
        if (scanned.outOfMemory) {
            return fail("out of memory while scanning; nothing was stored");
        }
        // What could be read is recorded; the stores that could not be are named.
        if (!saveCurrentAsBaseline(store, state)) {
            return fail("could not store the first baseline in " + store.describe() +
                        (store.lastError().empty() ? "" : ": " + store.lastError()));
        }
        const int unique = state.uniqueCertificateCount;
        const int total = state.iCertificateCountTotal;
        if (options.json) {
            result.out =
                unreadableLines(scanned.unreadable, true) +
                formatText(
                    "{\"event\":\"baseline\",\"unique_certificates\":%d,\"all_certificates\":%d,"
                    "\"settings\":%s}\n",
                    unique, total, jsonString(store.describe()).c_str());
        } else {
            result.out = unreadableLines(scanned.unreadable, false);
            result.out += replaced.empty()
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
        result.facts.unreadable = scanned.unreadable;
        if (!scanned.unreadable.empty()) {
            result.status = kCheckExitIncomplete;
        }
        return result;
    }

    if (load.fingerprints == FingerprintsFound::Unfitting ||
        load.fingerprints == FingerprintsFound::Unreadable) {
        // A baseline from before fingerprints is no news; a damaged value is.
        result.err += formatText(
            "kestrune-check: warning: \"Certificate Fingerprints\" in %s %s; certificates are "
            "compared by serial number and subject name alone.\n",
            store.describe().c_str(),
            load.fingerprints == FingerprintsFound::Unreadable
                ? "could not be read"
                : formatText("holds %u bytes, not 32 for each of the %zu records",
                             load.fingerprintBytes, load.loaded)
                      .c_str());
    }

    state.resetScanCounters();
    const ScanResult scanned = scan(state, stores, trace);
    if (scanned.outOfMemory) {
        return fail("out of memory while scanning; nothing was compared");
    }

    // Nothing is known of an unreadable store: its records are left out of both sides.
    const Changes changes = detectReadableChanges(state, scanned.unreadable, ChangeScope::All);
    const auto& added = changes.added;
    const auto& missing = changes.missing;
    std::vector<std::size_t> changedCurrent;   // the current side of each changed certificate
    std::vector<Fingerprint> changedBaseline;  // the baseline's fingerprint of each of those
    result.out += unreadableLines(scanned.unreadable, options.json);
    for (const std::size_t i : added) {
        result.out += differenceLine("added", state.mqsCertificates[i],
                                     fingerprintAt(state.currentFingerprints, i), options.json);
    }
    for (const ChangedCertificate& c : changes.changed) {
        const Fingerprint previous = fingerprintAt(state.baselineFingerprints, c.baseline);
        result.out += differenceLine("changed", state.mqsCertificates[c.current],
                                     fingerprintAt(state.currentFingerprints, c.current),
                                     options.json, &previous);
        changedCurrent.push_back(c.current);
        changedBaseline.push_back(previous);
    }
    for (const std::size_t i : missing) {
        result.out += differenceLine("missing", state.mqsCertificatesRegistry[i],
                                     fingerprintAt(state.baselineFingerprints, i), options.json);
    }
    const bool changed = changes.any();
    bool accepted = false;
    if (changed && options.accept && !chosen.writable) {
        result.err += "kestrune-check: could not store the observed state as the baseline: " +
                      chosen.whyReadOnly + "; it was compared read-only\n";
        result.status = kCheckExitError;
    } else if (changed && options.accept) {
        if (!saveObservedAsBaseline(store, state, scanned.unreadable)) {
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
            "{\"event\":\"summary\",\"added\":%zu,\"missing\":%zu,\"changed\":%zu,"
            "\"baseline_certificates\":%d,\"observed_certificates\":%d,\"unique_certificates\":%d,"
            "\"accepted\":%s,\"unreadable_stores\":%zu}\n",
            added.size(), missing.size(), changedCurrent.size(), baseline, observed,
            state.uniqueCertificateCount.load(), accepted ? "true" : "false",
            scanned.unreadable.size());
    } else {
        result.out += formatText(
            "%zu added, %zu missing, %zu changed (baseline: %d certificates, observed: %d "
            "certificates, %d unique)%s%s\n",
            added.size(), missing.size(), changedCurrent.size(), baseline, observed,
            state.uniqueCertificateCount.load(),
            accepted ? "; the observed state is now the baseline" : "",
            incompleteNote(scanned.unreadable.size(), accepted).c_str());
    }
    if (result.status != kCheckExitError) {
        result.status = !scanned.unreadable.empty() ? kCheckExitIncomplete
                        : changed && !accepted      ? kCheckExitChanged
                                                    : kCheckExitOk;
    }
    result.facts = checkFacts(state, added, missing, accepted);
    for (const std::size_t i : changedCurrent) {
        result.facts.changed.push_back(state.mqsCertificates[i]);
        result.facts.changedSha256.push_back(fingerprintAt(state.currentFingerprints, i));
    }
    result.facts.changedBaselineSha256 = std::move(changedBaseline);
    result.facts.unreadable = scanned.unreadable;
    if (accepted) {
        // What saveObservedAsBaseline stored: the readable stores' scan, the unreadable
        // ones' baseline records.
        for (const CertificateRecord& r : currentRecords(state)) {
            result.facts.acceptedBaseline += inUnreadableStore(r, scanned.unreadable) ? 0 : 1;
        }
        for (const CertificateRecord& r : baselineRecords(state)) {
            result.facts.acceptedBaseline += inUnreadableStore(r, scanned.unreadable) ? 1 : 0;
        }
    }
    return result;
}

}  // namespace kestrune
