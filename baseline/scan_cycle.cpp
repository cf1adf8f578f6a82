#include "baseline/scan_cycle.h"

#include "baseline/store_carry_over.h"
#include "inventory/scanner.h"

namespace kestrune {

namespace {

constexpr const char* kSeparator = "========================================\r\n\r\n";

void writeCountLine(CycleContext& c) {
    c.trace.outf("iCertificateCountTotal_Registry = %d and iCertificateCountTotal = %d\r\n",
                 c.state.iCertificateCountTotal_Registry.load(),
                 c.state.iCertificateCountTotal.load());
}

// The records to compare: all of them, or a copy without the unreadable stores' records.
struct Readable {
    Readable(std::span<const CertificateRecord> all, std::span<const UnreadableStore> unreadable)
        : records(all) {
        if (!unreadable.empty()) {
            kept = readableRecords(all, unreadable);
            records = kept;
        }
    }
    std::span<const CertificateRecord> records;
    std::vector<CertificateRecord> kept;
};

CycleOutcome runCycle(CycleContext& c, int userInitiated) {
    KestruneState& s = c.state;
    s.resetScanCounters();
    const ScanResult scanned = scan(s, c.stores, c.trace);
    if (scanned.outOfMemory) {
        return CycleOutcome::OutOfMemory;  // a partial scan is never compared or saved
    }
    s.lastScanTime = c.clock.localTime();
    c.coordinator.publish(s);

    if (!scanned.unreadable.empty()) {
        for (const UnreadableStore& store : scanned.unreadable) {
            c.trace.errf("Could not read the store %s\\%s: %s\r\n", store.location.c_str(),
                         store.store.c_str(), store.reason.c_str());
        }
        c.dialogue.storesUnreadable(scanned.unreadable);
    }
    c.trace.out(kSeparator);
    const int added = findAddedCertificate(c, scanned.unreadable);
    const int missing = findMissingCertificate(c, scanned.unreadable);
    c.trace.out(kSeparator);

    if (added || missing) {
        if (c.dialogue.askToSave()) {
            // A save the user asked for that did not happen must not look like one that
            // did. The baseline in memory stays, so the next cycle reports the same
            // changes again.
            SaveResult saved{false, "no settings key is open"};
            if (s.settingsKey && scanned.unreadable.empty()) {
                saved = saveBaseline(*s.settingsKey, s.mqsCertificates, s.iCertificateCountTotal);
            } else if (s.settingsKey) {
                // What an unreadable store held is kept as it was stored.
                saved = saveRecords(
                    *s.settingsKey,
                    recordsToSave(baselineRecords(s), currentRecords(s), scanned.unreadable));
            }
            if (saved) {
                c.dialogue.baselineSaved();
            } else {
                c.trace.errf("Could not save the certificate baseline: %s\r\n", saved.why.c_str());
                c.dialogue.saveFailed(saved.why);
            }
        }
    } else {
        c.dialogue.scanComplete(userInitiated);
    }

    const BaselineLoad load = loadBaseline(s, c.trace);
    if (!load.ok()) {
        c.dialogue.loadFailed(load);
    }
    c.coordinator.publish(s);
    return CycleOutcome::Done;
}

}  // namespace

CycleOutcome scanCycle(CycleContext& context, int userInitiated) {
    const auto turn = context.coordinator.begin();
    return runCycle(context, userInitiated);
}

std::optional<CycleOutcome> tryScanCycle(CycleContext& context, int userInitiated) {
    const auto turn = context.coordinator.tryBegin();
    if (!turn) {
        return std::nullopt;
    }
    return runCycle(context, userInitiated);
}

int findAddedCertificate(CycleContext& c, std::span<const UnreadableStore> unreadable) {
    writeCountLine(c);
    if (c.state.iCertificateCountTotal_Registry <= 0 || c.state.iCertificateCountTotal <= 0) {
        return 0;
    }
    const Readable baseline(baselineRecords(c.state), unreadable);
    const Readable current(currentRecords(c.state), unreadable);
    const Changes changes = detectChanges(baseline.records, current.records, ChangeScope::First);
    if (changes.added.empty()) {
        return 0;
    }
    c.dialogue.certificateAdded(current.records[changes.added.front()]);
    return 1;
}

int findMissingCertificate(CycleContext& c, std::span<const UnreadableStore> unreadable) {
    writeCountLine(c);
    if (c.state.iCertificateCountTotal_Registry <= 0) {
        return 0;
    }
    const Readable baseline(baselineRecords(c.state), unreadable);
    const Readable current(currentRecords(c.state), unreadable);
    const Changes changes = detectChanges(baseline.records, current.records, ChangeScope::First);
    if (changes.missing.empty()) {
        return 0;
    }
    c.dialogue.certificateMissing(baseline.records[changes.missing.front()]);
    return 1;
}

}  // namespace kestrune
