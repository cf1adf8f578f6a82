#include "baseline/scan_cycle.h"

#include <algorithm>
#include <cstring>

#include "baseline/store_carry_over.h"
#include "inventory/scanner.h"

namespace kestrune {

namespace {

constexpr const char* kSeparator = "========================================\r\n\r\n";

// Package upgrades after the stored baseline was saved explain changes.
ChangeExplainer explainerFor(CycleContext& c) {
    return ChangeExplainer(c.stores, c.settingsKey ? c.settingsKey->savedAt() : std::nullopt);
}

void writeCountLine(CycleContext& c) {
    c.trace.outf("iCertificateCountTotal_Registry = %d and iCertificateCountTotal = %d\r\n",
                 c.state.iCertificateCountTotal_Registry.load(),
                 c.state.iCertificateCountTotal.load());
}

// What a question showed: the observed records with their fingerprints and the stores
// that could not be read.
struct Observed {
    std::vector<CertificateRecord> records;
    std::vector<Fingerprint> fingerprints;
    std::vector<std::string> trust;
    std::vector<UnreadableStore> unreadable;

    static Observed of(const KestruneState& s, const std::vector<UnreadableStore>& unreadable) {
        const auto records = currentRecords(s);
        const auto fingerprints = currentFingerprints(s);
        const auto trust = currentTrust(s);
        return {{records.begin(), records.end()},
                {fingerprints.begin(), fingerprints.end()},
                {trust.begin(), trust.end()},
                unreadable};
    }
    bool operator==(const Observed& o) const {
        return unreadable == o.unreadable && fingerprints == o.fingerprints && trust == o.trust &&
               records.size() == o.records.size() &&
               std::equal(records.begin(), records.end(), o.records.begin(),
                          [](const CertificateRecord& a, const CertificateRecord& b) {
                              return std::memcmp(&a, &b, sizeof a) == 0;
                          });
    }
};

// The scan and what follows it at once: the time stamp, a published copy and the
// unreadable stores named. nullopt: out of memory.
std::optional<ScanResult> scanAndPublish(CycleContext& c) {
    KestruneState& s = c.state;
    s.resetScanCounters();
    ScanResult scanned = scan(s, c.stores, c.trace);
    if (scanned.outOfMemory) {
        return std::nullopt;  // a partial scan is never compared or saved
    }
    s.lastScanTime = c.clock.localTime();
    c.coordinator.publish(s);
    for (const UnreadableStore& store : scanned.unreadable) {
        c.trace.errf("Could not read the store %s\\%s: %s\r\n", store.location.c_str(),
                     store.store.c_str(), store.reason.c_str());
    }
    return scanned;
}

void saveObserved(CycleContext& c, const std::vector<UnreadableStore>& unreadable) {
    KestruneState& s = c.state;
    // A save the user asked for that did not happen must not look like one that did. The
    // baseline in memory stays, so the next cycle reports the same changes again.
    Status saved = fail("no settings key is open");
    if (c.settingsKey) {
        // What an unreadable store held is kept as it was stored.
        saved = saveObservedAsBaseline(*c.settingsKey, s, unreadable);
    }
    if (saved) {
        c.dialogue.baselineSaved();
    } else {
        c.trace.errf("Could not save the certificate baseline: %s\r\n", saved.error().c_str());
        c.dialogue.saveFailed(saved.error());
    }
}

CycleOutcome runCycle(CycleContext& c, int userInitiated) {
    KestruneState& s = c.state;
    std::optional<ScanResult> scanned = scanAndPublish(c);
    if (!scanned) {
        return CycleOutcome::OutOfMemory;
    }
    c.dialogue.storesUnreadable(scanned->unreadable);
    // One comparison per scan: both boxes and the question read from it.
    const Changes changes = detectReadableChanges(s, scanned->unreadable);
    c.trace.out(kSeparator);
    const int added = findAddedCertificate(c, changes);
    const int missing = findMissingCertificate(c, changes);
    c.trace.out(kSeparator);
    // A change of trust has no box of its own; the question lists it.
    const bool trust = std::any_of(changes.changed.begin(), changes.changed.end(),
                                   [](const ChangedCertificate& ch) { return !ch.replaced; });

    if (added || missing || trust) {
        bool save = c.dialogue.askToSave(reportedChanges(s, changes, explainerFor(c)));
        while (save && c.recheckBeforeSave) {
            // The stores may have changed while the question waited: Yes stands only for
            // what it showed.
            const Observed shown = Observed::of(s, scanned->unreadable);
            scanned = scanAndPublish(c);
            if (!scanned) {
                return CycleOutcome::OutOfMemory;
            }
            if (Observed::of(s, scanned->unreadable) == shown) {
                break;
            }
            c.trace.err(
                "The certificate stores changed while the question was open; asking again\r\n");
            std::vector<ReportedChange> now =
                reportedChanges(s, detectReadableChanges(s, scanned->unreadable), explainerFor(c));
            if (now.empty()) {
                save = false;  // back as stored: nothing left to save
                c.dialogue.scanComplete(userInitiated);
                break;
            }
            save = c.dialogue.askToSave(now);
        }
        if (save) {
            saveObserved(c, scanned->unreadable);
        }
    } else {
        c.dialogue.scanComplete(userInitiated);
    }

    const BaselineLoad load = loadBaseline(c.settingsKey.get(), s, c.trace);
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

std::vector<ReportedChange> reportedChanges(const KestruneState& state, const Changes& changes,
                                            const ChangeExplainer& explainer) {
    const auto current = currentRecords(state);
    const auto baseline = baselineRecords(state);
    const auto currentPrints = currentFingerprints(state);
    const auto baselinePrints = baselineFingerprints(state);
    const auto printOf = [](std::span<const Fingerprint> prints, std::size_t i) {
        return i < prints.size() ? prints[i] : Fingerprint{};
    };
    // Added and changed, in current table order, as the boxes walk it.
    std::vector<ReportedChange> out;
    std::size_t a = 0;
    std::size_t k = 0;
    while (a < changes.added.size() || k < changes.changed.size()) {
        const bool takeAdded =
            k >= changes.changed.size() ||
            (a < changes.added.size() && changes.added[a] < changes.changed[k].current);
        if (takeAdded) {
            const std::size_t i = changes.added[a++];
            out.push_back({ReportedChange::Kind::Added,
                           current[i],
                           printOf(currentPrints, i),
                           {},
                           explainer.current(state, i)});
        } else {
            const ChangedCertificate& ch = changes.changed[k++];
            ChangeOrigin origin = explainer.current(state, ch.current);
            if (!ch.replaced) {
                origin.explainedBy.reset();  // trust is local configuration, no package's
            }
            out.push_back(
                {ch.replaced ? ReportedChange::Kind::Changed : ReportedChange::Kind::Trust,
                 current[ch.current], printOf(currentPrints, ch.current),
                 printOf(baselinePrints, ch.baseline), origin, ch.trust});
        }
    }
    for (const std::size_t i : changes.missing) {
        out.push_back({ReportedChange::Kind::Missing,
                       baseline[i],
                       printOf(baselinePrints, i),
                       {},
                       explainer.missing(state, i)});
    }
    return out;
}

int findAddedCertificate(CycleContext& c, const Changes& changes) {
    writeCountLine(c);
    if (c.state.iCertificateCountTotal_Registry <= 0 || c.state.iCertificateCountTotal <= 0) {
        return 0;
    }
    // A certificate whose DER changed under a known serial and subject is a new
    // certificate to the user: it gets the same box. The box shows the first in table
    // order of either kind (each list is in table order).
    // A change of trust alone is no new certificate: the question tells it.
    std::optional<std::size_t> first;
    if (!changes.added.empty()) {
        first = changes.added.front();
    }
    const auto replaced = std::find_if(changes.changed.begin(), changes.changed.end(),
                                       [](const ChangedCertificate& ch) { return ch.replaced; });
    if (replaced != changes.changed.end() && (!first || replaced->current < *first)) {
        first = replaced->current;
    }
    if (!first) {
        return 0;
    }
    c.dialogue.certificateAdded(c.state.mqsCertificates[*first]);
    return 1;
}

int findMissingCertificate(CycleContext& c, const Changes& changes) {
    writeCountLine(c);
    if (c.state.iCertificateCountTotal_Registry <= 0 || changes.missing.empty()) {
        return 0;
    }
    c.dialogue.certificateMissing(c.state.mqsCertificatesRegistry[changes.missing.front()]);
    return 1;
}

}  // namespace kestrune
