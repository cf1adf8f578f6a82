#include "app/check_run.h"

#include <algorithm>

#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
#include "baseline/change_explanation.h"
#include "baseline/key_choice.h"
#include "baseline/store_carry_over.h"
#include "inventory/scanner.h"
#include "inventory/text.h"

namespace kestrune {

namespace {

std::string storeProblem(const BaselineStore& key, const SettingsError& error) {
    const std::string& why = error.message;
    std::string text = "could not read the baseline in " + key.describe();
    if (error.fault == StoreFault::Busy) {
        text +=
            ": it stayed locked by another program (the tray program may be saving); "
            "try again";
    } else if (!why.empty()) {
        text += ": " + why;
    }
    return text;
}

// ": " and the store's own words on a failed save; nothing where it gave none (the
// message is then where the store is, named already).
std::string storeWords(const BaselineStore& store, const Status& saved) {
    return saved.error() == store.describe() ? std::string() : ": " + saved.error();
}

Fingerprint fingerprintAt(const std::vector<Fingerprint>& fingerprints, std::size_t i) {
    return i < fingerprints.size() ? fingerprints[i] : Fingerprint{};
}

// A changed certificate's baseline fingerprint, and its trust before and after where the
// trust changed.
struct ChangedSide {
    Fingerprint previous;
    std::optional<TrustChange> trust;
};

// `changed`: for a changed certificate, the baseline's fingerprint, after the new one.
// Where it comes from and what explains it follow, and a changed line ends with the trust.
std::string differenceLine(const char* event, const CertificateRecord& record,
                           const Fingerprint& fingerprint, const ChangeOrigin& origin, bool json,
                           const ChangedSide* changed = nullptr) {
    const Fingerprint* previous = changed ? &changed->previous : nullptr;
    if (json) {
        std::string line =
            "{\"event\":" + jsonString(event) + "," + listJsonLine(record, fingerprint).substr(1);
        std::string more;
        if (previous) {
            more +=
                ",\"baseline_sha256\":" +
                (isKnown(*previous) ? jsonString(fingerprintHex(*previous)) : std::string("null"));
        }
        more += ",\"origin\":" + originJson(origin.origin) +
                ",\"explained_by\":" + explainedJson(origin.explainedBy);
        if (changed && changed->trust) {
            more += ",\"trust\":{\"old\":" + jsonString(changed->trust->before) +
                    ",\"new\":" + jsonString(changed->trust->after) + "}";
        }
        line.insert(line.size() - 2, more);
        return line;
    }
    std::string line = std::string(event) + "\t" + listLine(record, fingerprint);
    std::string more;
    if (previous) {
        more += "\t" + fingerprintHex(*previous);
    }
    more += "\t" + plainField(originText(origin.origin)) + "\t" +
            (origin.explainedBy ? plainField(packageChangeText(*origin.explainedBy)) : "");
    if (changed) {
        const TrustChange trust = changed->trust.value_or(TrustChange{});
        more += "\t" + plainField(trust.before) + "\t" + plainField(trust.after);
    }
    line.insert(line.size() - 1, more);
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

// One run, in the order it happens: open the baseline, set a damaged one aside, record a
// first baseline or compare with the stored one, accept when asked, summarise. A step
// that returns false has ended the run; `result` then holds what it printed.
class CheckRun {
  public:
    CheckRun(const CheckOptions& options, StoreCatalogue& stores, BaselineStores& settings,
             Trace& trace)
        : options_(options), stores_(stores), settings_(settings), trace_(trace) {}

    CheckOutput run() {
        if (!openBaseline() || !replaceDamaged()) {
            return std::move(result_);
        }
        if (chosen_.verdict.state != StoredState::Whole) {
            recordFirstBaseline();
            return std::move(result_);
        }
        warnAboutFingerprints();
        warnAboutTrust();
        state_.resetScanCounters();
        scanned_ = scan(state_, stores_, trace_);
        if (scanned_.outOfMemory) {
            fail("out of memory while scanning; nothing was compared");
            return std::move(result_);
        }
        // Nothing is known of an unreadable store: its records are left out of both sides.
        changes_ = detectReadableChanges(state_, scanned_.unreadable);
        reportDifferences();
        acceptIfAsked();
        summarise();
        return std::move(result_);
    }

  private:
    bool fail(const std::string& message) {
        result_.status = kCheckExitError;
        result_.err += "kestrune-check: " + message + "\n";
        return false;
    }

    // The key the check uses and what it holds.
    bool openBaseline() {
        chosen_ = chooseSettingsKey(settings_, KeyUse::Check);
        if (!chosen_.note.empty()) {
            result_.err += "kestrune-check: " + chosen_.note + "\n";
        }
        if (!chosen_.key) {
            return fail(chosen_.error);
        }
        key_ = chosen_.key;
        if (chosen_.unreadable) {
            return fail(storeProblem(*chosen_.key, *chosen_.unreadable));
        }
        // A baseline that looked whole may still fail to load: a malformed database, or
        // one changed between the look and the load. That is damage like any other.
        if (chosen_.verdict.state == StoredState::Whole) {
            load_ = loadBaseline(key_.get(), state_, trace_);
            const bool damaged = load_.storeError.fault == StoreFault::Damaged;
            if (!load_.ok() && !damaged) {
                return fail(storeProblem(*chosen_.key, load_.storeError));
            }
            if (!load_.ok() || !load_.consistent()) {
                chosen_.verdict.state = StoredState::Damaged;
                chosen_.verdict.what =
                    !load_.ok() ? load_.storeError.message
                                : formatText(
                                      "\"Certificate Count\" says %d records but \"Certificate "
                                      "Data\" holds %u bytes",
                                      load_.storedCount, load_.dataBytes);
            }
        }
        return true;
    }

    // Damage is never compared against as if it were a baseline, and only replaced when
    // the operator says so; where the store is a file, the damaged one is kept.
    bool replaceDamaged() {
        if (chosen_.verdict.state != StoredState::Damaged) {
            return true;
        }
        const std::string where = chosen_.key->describe();
        std::string& what = chosen_.verdict.what;
        if (what.rfind(where + ": ", 0) == 0) {
            what.erase(0, where.size() + 2);  // named once is enough
        }
        if (!options_.accept) {
            return fail("the stored baseline in " + where + " is damaged: " + what +
                        "; nothing was compared or written (--accept records this scan as the "
                        "new baseline in its place)");
        }
        key_.reset();
        chosen_.key.reset();
        const Result<std::string> aside = settings_.setAside(chosen_.root);
        if (!aside) {
            return fail("the stored baseline in " + where + " is damaged (" + what +
                        ") and could not be set aside: " + aside.error() + "; nothing was written");
        }
        const std::string& kept = *aside;
        StoreResult<std::unique_ptr<BaselineStore>> made =
            settings_.open(chosen_.root, StoreAccess::Create);
        if (!made) {
            const std::string& why = made.error();
            return fail("could not make a new baseline in " + where +
                        (why.empty() ? "" : ": " + why) +
                        (kept.empty() ? "" : "; the damaged one is kept as " + kept));
        }
        key_ = std::move(*made);
        chosen_.writable = true;
        replaced_ = "Replaced the damaged baseline in " + where + " (" + what + ")" +
                    (kept.empty() ? "" : "; it is kept as " + kept) + ".\n";
        state_.resetScanCounters();  // nothing of a failed load is kept
        return true;
    }

    // No baseline (or a damaged one set aside): this scan becomes the baseline.
    void recordFirstBaseline() {
        BaselineStore& store = *key_;
        if (!chosen_.writable) {
            fail("no baseline in " + store.describe() +
                 " and it cannot be written: " + chosen_.whyReadOnly);
            return;
        }
        const ScanResult scanned = scan(state_, stores_, trace_);
        if (scanned.outOfMemory) {
            fail("out of memory while scanning; nothing was stored");
            return;
        }
        // What could be read is recorded; the stores that could not be are named.
        if (const Status saved = saveCurrentAsBaseline(store, state_); !saved) {
            fail("could not store the first baseline in " + store.describe() +
                 storeWords(store, saved));
            return;
        }
        const int unique = state_.uniqueCertificateCount;
        const int total = state_.iCertificateCountTotal;
        if (options_.json) {
            result_.out =
                unreadableLines(scanned.unreadable, true) +
                formatText(
                    "{\"event\":\"baseline\",\"unique_certificates\":%d,\"all_certificates\":%d,"
                    "\"settings\":%s}\n",
                    unique, total, jsonString(store.describe()).c_str());
            if (!replaced_.empty()) {
                result_.err += "kestrune-check: " + replaced_;
            }
        } else {
            result_.out = unreadableLines(scanned.unreadable, false);
            result_.out += replaced_.empty()
                               ? formatText(
                                     "No baseline yet: recorded this scan as the baseline in "
                                     "%s.\n",
                                     store.describe().c_str())
                               : replaced_ + "Recorded this scan as the baseline in " +
                                     store.describe() + ".\n";
            result_.out += formatText(
                "Unique Certificates: %d certificates\n"
                "All certificates in all stores: %d certificates\n",
                unique, total);
        }
        result_.facts = firstBaselineFacts(state_);
        result_.facts.unreadable = scanned.unreadable;
        if (!scanned.unreadable.empty()) {
            result_.status = kCheckExitIncomplete;
        }
    }

    // A baseline from before fingerprints is no news; a damaged value is.
    void warnAboutFingerprints() {
        if (load_.fingerprints != FingerprintsFound::Unfitting &&
            load_.fingerprints != FingerprintsFound::Unreadable) {
            return;
        }
        result_.err += formatText(
            "kestrune-check: warning: \"Certificate Fingerprints\" in %s %s; certificates are "
            "compared by serial number and subject name alone.\n",
            key_->describe().c_str(),
            load_.fingerprints == FingerprintsFound::Unreadable
                ? "could not be read"
                : formatText("holds %u bytes, not 32 for each of the %zu records",
                             load_.fingerprintBytes, load_.loaded)
                      .c_str());
    }

    // Trust is only compared against a value that fits; a damaged one is said so.
    void warnAboutTrust() {
        if (load_.trust != TrustFound::Unfitting && load_.trust != TrustFound::Unreadable) {
            return;
        }
        result_.err += formatText(
            "kestrune-check: warning: \"Certificate Trust\" in %s %s; changes of trust are "
            "not compared.\n",
            key_->describe().c_str(),
            load_.trust == TrustFound::Unreadable
                ? "could not be read"
                : formatText("does not fit its %zu records", load_.loaded).c_str());
    }

    // Where each difference comes from, and the package upgrade since the baseline was
    // saved that explains it.
    void explainDifferences() {
        const ChangeExplainer explainer(stores_, key_->savedAt());
        for (const std::size_t i : changes_.added) {
            addedOrigins_.push_back(explainer.current(state_, i));
        }
        for (const ChangedCertificate& c : changes_.changed) {
            ChangeOrigin origin = explainer.current(state_, c.current);
            if (!c.replaced) {
                origin.explainedBy.reset();  // trust is local configuration, no package's
            }
            changedOrigins_.push_back(std::move(origin));
        }
        for (const std::size_t i : changes_.missing) {
            missingOrigins_.push_back(explainer.missing(state_, i));
        }
    }

    std::vector<ChangeOrigin> allOrigins() const {
        std::vector<ChangeOrigin> all = addedOrigins_;
        all.insert(all.end(), changedOrigins_.begin(), changedOrigins_.end());
        all.insert(all.end(), missingOrigins_.begin(), missingOrigins_.end());
        return all;
    }

    void reportDifferences() {
        explainDifferences();
        const bool json = options_.json;
        result_.out += unreadableLines(scanned_.unreadable, json);
        for (std::size_t n = 0; n < changes_.added.size(); ++n) {
            const std::size_t i = changes_.added[n];
            result_.out += differenceLine("added", state_.mqsCertificates[i],
                                          fingerprintAt(state_.currentFingerprints, i),
                                          addedOrigins_[n], json);
        }
        for (std::size_t n = 0; n < changes_.changed.size(); ++n) {
            const ChangedCertificate& c = changes_.changed[n];
            const ChangedSide side{fingerprintAt(state_.baselineFingerprints, c.baseline), c.trust};
            result_.out += differenceLine("changed", state_.mqsCertificates[c.current],
                                          fingerprintAt(state_.currentFingerprints, c.current),
                                          changedOrigins_[n], json, &side);
        }
        for (std::size_t n = 0; n < changes_.missing.size(); ++n) {
            const std::size_t i = changes_.missing[n];
            result_.out += differenceLine("missing", state_.mqsCertificatesRegistry[i],
                                          fingerprintAt(state_.baselineFingerprints, i),
                                          missingOrigins_[n], json);
        }
    }

    void acceptIfAsked() {
        if (!changes_.any() || !options_.accept) {
            return;
        }
        BaselineStore& store = *key_;
        const Status saved = chosen_.writable
                                 ? saveObservedAsBaseline(store, state_, scanned_.unreadable)
                                 : Status{};
        if (!chosen_.writable) {
            result_.err += "kestrune-check: could not store the observed state as the baseline: " +
                           chosen_.whyReadOnly + "; it was compared read-only\n";
            result_.status = kCheckExitError;
        } else if (!saved) {
            result_.err +=
                "kestrune-check: could not store the observed state as the baseline in " +
                store.describe() + storeWords(store, saved) + "\n";
            result_.status = kCheckExitError;
        } else {
            accepted_ = true;
        }
    }

    void summarise() {
        const std::size_t added = changes_.added.size();
        const std::size_t missing = changes_.missing.size();
        const std::size_t changed = changes_.changed.size();
        const std::size_t trust = trustChanges();
        const int baseline = state_.iCertificateCountTotal_Registry;
        const int observed = state_.iCertificateCountTotal;
        const int unique = state_.uniqueCertificateCount;
        if (options_.json) {
            result_.out += formatText(
                "{\"event\":\"summary\",\"added\":%zu,\"missing\":%zu,\"changed\":%zu,"
                "\"baseline_certificates\":%d,\"observed_certificates\":%d,"
                "\"unique_certificates\":%d,\"accepted\":%s,\"unreadable_stores\":%zu,"
                "\"trust_changed\":%zu,\"unexplained\":%zu}\n",
                added, missing, changed, baseline, observed, unique, accepted_ ? "true" : "false",
                scanned_.unreadable.size(), trust, unexplained());
        } else {
            result_.out += formatText(
                "%zu added, %zu missing, %zu changed (baseline: %d certificates, observed: %d "
                "certificates, %d unique)%s%s%s\n",
                added, missing, changed, baseline, observed, unique,
                trust == 0 ? "" : formatText("; %zu in trust alone", trust).c_str(),
                accepted_ ? "; the observed state is now the baseline" : "",
                incompleteNote(scanned_.unreadable.size(), accepted_).c_str());
            // Last, so the one line a person reads says whether an upgrade explains it all.
            if (const std::string line = explanationSummary(allOrigins()); !line.empty()) {
                result_.out += line + "\n";
            }
        }
        if (result_.status != kCheckExitError) {
            result_.status = !scanned_.unreadable.empty()   ? kCheckExitIncomplete
                             : changes_.any() && !accepted_ ? kCheckExitChanged
                                                            : kCheckExitOk;
        }
        collectFacts();
    }

    // Changes of trust alone: the certificate itself stayed.
    std::size_t trustChanges() const {
        return static_cast<std::size_t>(
            std::count_if(changes_.changed.begin(), changes_.changed.end(),
                          [](const ChangedCertificate& c) { return !c.replaced; }));
    }

    std::size_t unexplained() const {
        return countUnexplained(addedOrigins_) + countUnexplained(changedOrigins_) +
               countUnexplained(missingOrigins_);
    }

    void collectFacts() {
        CheckFacts& facts = result_.facts;
        facts = checkFacts(state_, changes_.added, changes_.missing, accepted_);
        facts.addedOrigins = addedOrigins_;
        facts.changedOrigins = changedOrigins_;
        facts.missingOrigins = missingOrigins_;
        facts.unexplained = unexplained();
        for (const ChangedCertificate& c : changes_.changed) {
            facts.changed.push_back(state_.mqsCertificates[c.current]);
            facts.changedSha256.push_back(fingerprintAt(state_.currentFingerprints, c.current));
            facts.changedBaselineSha256.push_back(
                fingerprintAt(state_.baselineFingerprints, c.baseline));
            facts.changedTrust.push_back(c.trust);
        }
        facts.trustChanges = trustChanges();
        facts.unreadable = scanned_.unreadable;
        if (accepted_) {
            // What saveObservedAsBaseline stored: the readable stores' scan, the unreadable
            // ones' baseline records.
            for (const CertificateRecord& r : currentRecords(state_)) {
                facts.acceptedBaseline += inUnreadableStore(r, scanned_.unreadable) ? 0 : 1;
            }
            for (const CertificateRecord& r : baselineRecords(state_)) {
                facts.acceptedBaseline += inUnreadableStore(r, scanned_.unreadable) ? 1 : 0;
            }
        }
    }

    const CheckOptions& options_;
    StoreCatalogue& stores_;
    BaselineStores& settings_;
    Trace& trace_;
    CheckOutput result_;
    KestruneState state_;
    ChosenKey chosen_;
    std::shared_ptr<BaselineStore> key_;  // the key chosen, or the one made afresh
    BaselineLoad load_;
    std::string replaced_;  // what replacing a damaged baseline did, for the report
    ScanResult scanned_;
    Changes changes_;
    std::vector<ChangeOrigin> addedOrigins_;
    std::vector<ChangeOrigin> changedOrigins_;
    std::vector<ChangeOrigin> missingOrigins_;
    bool accepted_ = false;
};

}  // namespace

CheckOutput runCheck(const CheckOptions& options, StoreCatalogue& stores, BaselineStores& settings,
                     Trace& trace) {
    return CheckRun(options, stores, settings, trace).run();
}

}  // namespace kestrune
