#include "app/check_delivery.h"

#include <sstream>

#include "inventory/text.h"

namespace kestrune {

namespace {

JournalEntry baseEntry(int priority, const char* event, std::string message) {
    return {{"MESSAGE", std::move(message)},
            {"PRIORITY", std::to_string(priority)},
            {"SYSLOG_IDENTIFIER", "kestrune-check"},
            {"KESTRUNE_EVENT", event}};
}

Fingerprint fingerprintAt(const std::vector<Fingerprint>& all, std::size_t i) {
    return i < all.size() ? all[i] : Fingerprint{};
}

ChangeOrigin originAt(const std::vector<ChangeOrigin>& all, std::size_t i) {
    return i < all.size() ? all[i] : ChangeOrigin{};
}

// `previous`: for a changed certificate, the baseline's SHA-256 beside the new one;
// `trust`: its trust before and after, where that changed.
JournalEntry differenceEntry(const char* event, int priority, const CertificateRecord& record,
                             const Fingerprint& sha256, const ChangeOrigin& origin,
                             const Fingerprint* previous = nullptr,
                             const std::optional<TrustChange>& trust = std::nullopt) {
    const std::string location = recordField(record.locationName);
    const std::string store = recordField(record.storeName);
    const std::string name = recordField(record.name);
    const std::string serial = serialTextCompact(record);
    const std::string md5 = subjectHashHex(record);
    JournalEntry entry =
        baseEntry(priority, event,
                  std::string(event) + " certificate \"" + plainField(name) + "\" in " +
                      plainField(location) + "/" + plainField(store) + " (serial " + serial + ")" +
                      (trust ? "; trust \"" + plainField(trust->before) + "\" → \"" +
                                   plainField(trust->after) + "\""
                             : std::string()));
    entry.insert(entry.end(), {{"KESTRUNE_LOCATION", location},
                               {"KESTRUNE_STORE", store},
                               {"KESTRUNE_SERIAL", serial},
                               {"KESTRUNE_SUBJECT_MD5", md5},
                               {"KESTRUNE_NAME", name}});
    // Serial and subject name can be copied; the fingerprint is what tells certificates
    // apart (and what a changed one became).
    if (isKnown(sha256)) {
        entry.push_back({"KESTRUNE_SHA256", fingerprintHex(sha256)});
    }
    if (previous && isKnown(*previous)) {
        entry.push_back({"KESTRUNE_BASELINE_SHA256", fingerprintHex(*previous)});
    }
    entry.push_back({"KESTRUNE_ORIGIN", originKindName(origin.origin.kind)});
    entry.push_back({"KESTRUNE_ORIGIN_TEXT", originText(origin.origin)});
    entry.push_back({"KESTRUNE_EXPLAINED_BY",
                     origin.explainedBy ? packageChangeText(*origin.explainedBy) : ""});
    if (trust) {
        entry.push_back({"KESTRUNE_TRUST_OLD", trust->before});
        entry.push_back({"KESTRUNE_TRUST_NEW", trust->after});
    }
    return entry;
}

bool writeAll(std::FILE* stream, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size() &&
           std::fflush(stream) == 0;
}

}  // namespace

std::vector<JournalEntry> journalEntries(const CheckOutput& result) {
    std::vector<JournalEntry> entries;
    const CheckFacts& facts = result.facts;
    for (std::size_t i = 0; i < facts.added.size(); ++i) {
        entries.push_back(differenceEntry("added", kPriorityWarning, facts.added[i],
                                          fingerprintAt(facts.addedSha256, i),
                                          originAt(facts.addedOrigins, i)));
    }
    for (std::size_t i = 0; i < facts.changed.size(); ++i) {
        const Fingerprint previous = fingerprintAt(facts.changedBaselineSha256, i);
        entries.push_back(differenceEntry(
            "changed", kPriorityWarning, facts.changed[i], fingerprintAt(facts.changedSha256, i),
            originAt(facts.changedOrigins, i), &previous,
            i < facts.changedTrust.size() ? facts.changedTrust[i] : std::nullopt));
    }
    for (std::size_t i = 0; i < facts.missing.size(); ++i) {
        entries.push_back(differenceEntry("missing", kPriorityNotice, facts.missing[i],
                                          fingerprintAt(facts.missingSha256, i),
                                          originAt(facts.missingOrigins, i)));
    }
    for (const UnreadableStore& store : facts.unreadable) {
        JournalEntry entry =
            baseEntry(kPriorityWarning, "unreadable",
                      "could not read the store " + plainField(store.location) + "/" +
                          plainField(store.store) + ": " + plainField(store.reason));
        entry.insert(entry.end(), {{"KESTRUNE_LOCATION", store.location},
                                   {"KESTRUNE_STORE", store.store},
                                   {"KESTRUNE_REASON", store.reason}});
        entries.push_back(std::move(entry));
    }
    if (facts.scanned) {
        const bool changed =
            !facts.added.empty() || !facts.missing.empty() || !facts.changed.empty();
        const bool incomplete = !facts.unreadable.empty();
        std::string summary =
            facts.baselineRecorded
                ? formatText("recorded the first baseline: %d certificates, %d unique",
                             facts.observed, facts.unique)
                : formatText(
                      "%zu added, %zu missing, %zu changed (baseline: %d certificates, "
                      "observed: %d certificates, %d unique)%s",
                      facts.added.size(), facts.missing.size(), facts.changed.size(),
                      facts.baseline, facts.observed, facts.unique,
                      facts.accepted ? "; the observed state is now the baseline" : "");
        if (!facts.baselineRecorded && facts.trustChanges > 0) {
            summary += formatText("; %zu in trust alone", facts.trustChanges);
        }
        if (incomplete) {
            summary += formatText("; incomplete: %zu unreadable", facts.unreadable.size());
        }
        JournalEntry entry = baseEntry((changed && !facts.accepted) || incomplete ? kPriorityWarning
                                       : facts.baselineRecorded                   ? kPriorityNotice
                                                                                  : kPriorityInfo,
                                       facts.baselineRecorded ? "baseline" : "summary", summary);
        entry.insert(entry.end(), {{"KESTRUNE_ADDED", std::to_string(facts.added.size())},
                                   {"KESTRUNE_MISSING", std::to_string(facts.missing.size())},
                                   {"KESTRUNE_CHANGED", std::to_string(facts.changed.size())},
                                   {"KESTRUNE_OBSERVED", std::to_string(facts.observed)},
                                   {"KESTRUNE_UNIQUE", std::to_string(facts.unique)},
                                   {"KESTRUNE_BASELINE", std::to_string(facts.baseline)}});
        if (incomplete) {
            entry.push_back({"KESTRUNE_UNREADABLE", std::to_string(facts.unreadable.size())});
        }
        if (facts.trustChanges > 0) {
            entry.push_back({"KESTRUNE_TRUST_CHANGED", std::to_string(facts.trustChanges)});
        }
        if (facts.accepted) {
            entry.push_back({"KESTRUNE_ACCEPTED", "1"});
        }
        if (!facts.baselineRecorded) {
            entry.push_back({"KESTRUNE_UNEXPLAINED", std::to_string(facts.unexplained)});
        }
        entries.push_back(std::move(entry));
    }
    std::istringstream lines(result.err);
    for (std::string line; std::getline(lines, line);) {
        const bool warning = line.find(": warning: ") != std::string::npos;
        entries.push_back(baseEntry(warning ? kPriorityWarning : kPriorityError,
                                    warning ? "warning" : "error", line));
    }
    return entries;
}

int deliverCheck(const CheckOptions& options, const CheckOutput& result, const CheckTiming& timing,
                 CheckOutlets& outlets, std::FILE* out, std::FILE* err) {
    int status = result.status;
    std::string problems;

    const bool outputIsJournal = outlets.stdoutIsJournal();
    bool journaled = false;
    if (options.journal || (outputIsJournal && !options.json)) {
        std::string why;
        if (const auto journal = outlets.openJournal(why)) {
            journaled = true;
            for (const JournalEntry& entry : journalEntries(result)) {
                if (!journal->send(entry)) {
                    why = journal->error();
                    journaled = false;
                    break;
                }
            }
        }
        // Asked for and refused is an error; found by itself, it falls back to printing.
        if (!journaled && options.journal) {
            problems += "kestrune-check: could not write to the journal: " + why + "\n";
            status = kCheckExitError;
        }
    }

    const bool completed =
        result.status != kCheckExitError && result.status != kCheckExitIncomplete;
    if (options.metricsFile) {
        std::string why;
        if (!outlets.replaceFile(*options.metricsFile, metricsText(result.facts, completed, timing),
                                 why)) {
            problems += "kestrune-check: could not write the metrics file " + *options.metricsFile +
                        ": " + why + "\n";
            status = kCheckExitError;
        }
    } else if (!options.root && (result.facts.accepted || result.facts.baselineRecorded)) {
        const std::string path = outlets.serviceMetricsFile();
        std::string why;
        if (!path.empty() &&
            !outlets.replaceFile(path, metricsText(result.facts, completed, timing), why)) {
            problems += "kestrune-check: warning: could not refresh the metrics file " + path +
                        ": " + why + "\n";
        }
    }

    // Printed unless the journal already holds the report and output leads there too.
    if (!(journaled && outputIsJournal)) {
        std::fputs(result.err.c_str(), err);
        if (!writeAll(out, result.out)) {
            problems += "kestrune-check: could not write the report\n";
            status = kCheckExitError;
        }
    }
    std::fputs(problems.c_str(), err);
    return status;
}

}  // namespace kestrune
