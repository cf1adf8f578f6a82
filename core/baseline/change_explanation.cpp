#include "baseline/change_explanation.h"

#include <algorithm>

#include "baseline/change_detection.h"

namespace kestrune {

ChangeExplainer::ChangeExplainer(StoreCatalogue& stores, std::optional<std::int64_t> since)
    : stores_(&stores), since_(since), changes_(stores.packageChanges()) {}

ChangeOrigin ChangeExplainer::explain(CertificateOrigin origin) const {
    ChangeOrigin out;
    out.explainedBy = explainedBy(origin, changes_, since_);
    out.origin = std::move(origin);
    return out;
}

ChangeOrigin ChangeExplainer::current(const KestruneState& state, std::size_t index) const {
    const bool known = index < currentRecords(state).size() && index < state.currentOrigins.size();
    return explain(known ? state.currentOrigins[index] : CertificateOrigin{});
}

ChangeOrigin ChangeExplainer::missing(const KestruneState& state, std::size_t index) const {
    const auto records = baselineRecords(state);
    const auto prints = baselineFingerprints(state);
    if (stores_ == nullptr || index >= records.size()) {
        return {};
    }
    const Fingerprint print = index < prints.size() ? prints[index] : Fingerprint{};
    return explain(stores_->originOfMissing(recordTextUtf8(records[index].storeName), print));
}

std::string explainingChangesText(std::span<const ChangeOrigin> changes) {
    std::vector<PackageChange> seen;
    std::string text;
    for (const ChangeOrigin& change : changes) {
        if (change.explainedBy &&
            std::find(seen.begin(), seen.end(), *change.explainedBy) == seen.end()) {
            seen.push_back(*change.explainedBy);
            text += (text.empty() ? "" : ", ") + packageChangeText(*change.explainedBy);
        }
    }
    return text;
}

std::size_t countUnexplained(std::span<const ChangeOrigin> changes) {
    return static_cast<std::size_t>(std::count_if(
        changes.begin(), changes.end(), [](const ChangeOrigin& c) { return !c.explainedBy; }));
}

bool allExplained(std::span<const ChangeOrigin> changes) {
    return !changes.empty() && std::all_of(changes.begin(), changes.end(),
                                           [](const auto& c) { return c.explainedBy.has_value(); });
}

std::string explanationSummary(std::span<const ChangeOrigin> changes) {
    if (changes.empty()) {
        return {};
    }
    const std::size_t unexplained = countUnexplained(changes);
    const std::string count =
        std::to_string(changes.size()) + (changes.size() == 1 ? " change" : " changes");
    if (unexplained == 0) {
        return count + (changes.size() == 1 ? ", explained by " : ", all explained by ") +
               explainingChangesText(changes);
    }
    if (unexplained == changes.size()) {
        return count + " unexplained";
    }
    return count + ", " + std::to_string(unexplained) + " unexplained";
}

}  // namespace kestrune
