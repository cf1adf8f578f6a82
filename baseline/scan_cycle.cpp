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
            if (s.settingsKey) {
                // What an unreadable store held is kept as it was stored.
                saved = saveObservedAsBaseline(*s.settingsKey, s, scanned.unreadable);
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
    // A certificate whose DER changed under a known serial and subject is a new
    // certificate to the user: it gets the same box. Unreadable stores are not compared.
    const Changes changes = detectReadableChanges(c.state, unreadable, ChangeScope::First);
    if (!changes.added.empty()) {
        c.dialogue.certificateAdded(c.state.mqsCertificates[changes.added.front()]);
        return 1;
    }
    if (!changes.changed.empty()) {
        c.dialogue.certificateAdded(c.state.mqsCertificates[changes.changed.front().current]);
        return 1;
    }
    return 0;
}

int findMissingCertificate(CycleContext& c, std::span<const UnreadableStore> unreadable) {
    writeCountLine(c);
    if (c.state.iCertificateCountTotal_Registry <= 0) {
        return 0;
    }
    const Changes changes = detectReadableChanges(c.state, unreadable, ChangeScope::First);
    if (changes.missing.empty()) {
        return 0;
    }
    c.dialogue.certificateMissing(c.state.mqsCertificatesRegistry[changes.missing.front()]);
    return 1;
}

}  // namespace kestrune
