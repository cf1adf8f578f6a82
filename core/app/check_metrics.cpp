#include "app/check_metrics.h"

#include "inventory/text.h"

namespace kestrune {

namespace {

CheckFacts scannedFacts(const KestruneState& state) {
    CheckFacts facts;
    facts.scanned = true;
    facts.observed = state.iCertificateCountTotal;
    facts.unique = state.uniqueCertificateCount;
    facts.localRoots = localRoots(state);
    for (const CertificateRecord& record : state.mqsCertificates.valid()) {
        const std::string location = recordTextUtf8(record.locationName);
        const std::string store = recordTextUtf8(record.storeName);
        // A store's records are consecutive in a scan, but one name seen twice still
        // makes one series: the exposition format forbids duplicates.
        StoreTally* tally = nullptr;
        for (auto it = facts.stores.rbegin(); it != facts.stores.rend(); ++it) {
            if (it->location == location && it->store == store) {
                tally = &*it;
                break;
            }
        }
        if (tally == nullptr) {
            tally = &facts.stores.emplace_back(StoreTally{location, store, 0});
        }
        ++tally->certificates;
    }
    return facts;
}

}  // namespace

CheckFacts checkFacts(const KestruneState& state, const std::vector<std::size_t>& added,
                      const std::vector<std::size_t>& missing, bool accepted) {
    CheckFacts facts = scannedFacts(state);
    facts.accepted = accepted;
    facts.baseline = state.iCertificateCountTotal_Registry;
    auto at = [](const std::vector<Fingerprint>& all, std::size_t i) {
        return i < all.size() ? all[i] : Fingerprint{};
    };
    for (const std::size_t i : added) {
        facts.added.push_back(state.mqsCertificates[i]);
        facts.addedSha256.push_back(at(state.currentFingerprints, i));
    }
    for (const std::size_t i : missing) {
        facts.missing.push_back(state.mqsCertificatesRegistry[i]);
        facts.missingSha256.push_back(at(state.baselineFingerprints, i));
    }
    return facts;
}

CheckFacts firstBaselineFacts(const KestruneState& state) {
    CheckFacts facts = scannedFacts(state);
    facts.baselineRecorded = true;
    facts.baseline = facts.observed;
    return facts;
}

std::string metricLabelValue(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const long c = nextUtf8CodePoint(text, i);
        if (c < 0 || (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
            out += formatText("\\\\x%02x", static_cast<unsigned char>(text[start]));
            continue;
        }
        const std::string_view sequence = text.substr(start, i - start);
        if (sequence == "\\") {
            out += "\\\\";
        } else if (sequence == "\"") {
            out += "\\\"";
        } else if (sequence == "\n") {
            out += "\\n";
        } else {
            out += sequence;
        }
    }
    return out + "\"";
}

std::string metricsText(const CheckFacts& facts, bool completed, const CheckTiming& timing) {
    std::string out;
    auto family = [&](const char* name, const char* help) {
        out += formatText("# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
    };
    if (facts.scanned) {
        family("kestrune_certificates", "Certificates in one store at the last scan.");
        for (const StoreTally& s : facts.stores) {
            out += "kestrune_certificates{location=" + metricLabelValue(s.location) +
                   ",store=" + metricLabelValue(s.store) + formatText("} %d\n", s.certificates);
        }
        family("kestrune_unique_certificates",
               "Certificates at the last scan whose serial number no other one has.");
        out += formatText("kestrune_unique_certificates %d\n", facts.unique);
        family("kestrune_baseline_certificates", "Certificates in the stored baseline.");
        // Accepted, the differences are the baseline now: the figures must not keep
        // showing them until the next run.
        const bool accepted = facts.accepted;
        out += formatText("kestrune_baseline_certificates %d\n",
                          accepted ? facts.acceptedBaseline : facts.baseline);
        family("kestrune_differences",
               "Differences between the last scan and the baseline, by kind.");
        out += formatText("kestrune_differences{kind=\"added\"} %zu\n",
                          accepted ? 0 : facts.added.size());
        out += formatText("kestrune_differences{kind=\"missing\"} %zu\n",
                          accepted ? 0 : facts.missing.size());
        out += formatText("kestrune_differences{kind=\"changed\"} %zu\n",
                          accepted ? 0 : facts.changed.size());
        family("kestrune_unexplained_changes",
               "Differences at the last check that no package upgrade explains.");
        out += formatText("kestrune_unexplained_changes %zu\n", accepted ? 0 : facts.unexplained);
        family("kestrune_trust_changes",
               "Certificates the last check found trusted otherwise by their store, the "
               "certificate itself unchanged (counted among the changed differences).");
        out += formatText("kestrune_trust_changes %zu\n", accepted ? 0 : facts.trustChanges);
        // Only roots no package ships: bounded, and what a fleet counts across machines.
        family("kestrune_local_root_info",
               "A certificate in a trust store that no installed package ships (1 each).");
        for (const LocalRoot& root : facts.localRoots) {
            out +=
                "kestrune_local_root_info{sha256=" + metricLabelValue(fingerprintHex(root.sha256)) +
                ",subject=" + metricLabelValue(root.subject) +
                ",store=" + metricLabelValue(root.store) +
                ",origin=" + metricLabelValue(originKindName(root.origin)) + "} 1\n";
        }
        family("kestrune_unreadable_stores",
               "Stores the last check could not read (1 each); their certificates were not "
               "compared.");
        for (const UnreadableStore& s : facts.unreadable) {
            out += "kestrune_unreadable_stores{location=" + metricLabelValue(s.location) +
                   ",store=" + metricLabelValue(s.store) + "} 1\n";
        }
    }
    family("kestrune_last_scan_timestamp_seconds", "When the last check ended, in Unix time.");
    out += formatText("kestrune_last_scan_timestamp_seconds %.3f\n", timing.finishedUnixSeconds);
    family("kestrune_scan_duration_seconds", "How long the last check took.");
    out += formatText("kestrune_scan_duration_seconds %.6f\n", timing.durationSeconds);
    family("kestrune_check_completed",
           "1 when the last check compared every store with the baseline, 0 when it failed or "
           "a store could not be read.");
    out += formatText("kestrune_check_completed %d\n", completed ? 1 : 0);
    return out;
}

}  // namespace kestrune
