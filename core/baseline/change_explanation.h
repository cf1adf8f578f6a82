// Whether a package upgrade explains a change: the certificate comes from a file a package
// shipped, unmodified, and that package moved to the version the file comes from after the
// baseline was saved. Nothing is silenced by it; every change is still reported, with its
// origin and what explains it, so a person can tell an upgrade from an intruder.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "inventory/origin.h"
#include "inventory/state.h"
#include "inventory/store_catalogue.h"

namespace kestrune {

struct ChangeOrigin {
    CertificateOrigin origin;
    std::optional<PackageChange> explainedBy;  // none: unexplained
    bool operator==(const ChangeOrigin&) const = default;
};

// Explains the changes of one comparison: the package log is read once, when made.
class ChangeExplainer {
  public:
    // `since`: when the baseline was saved; unknown, nothing is explained.
    ChangeExplainer(StoreCatalogue& stores, std::optional<std::int64_t> since);
    // Neither origins nor a package log (tests, and platforms without them).
    ChangeExplainer() = default;

    // A certificate of the latest scan, by its index.
    ChangeOrigin current(const KestruneState& state, std::size_t index) const;
    // A baseline certificate no longer present, by its baseline index.
    ChangeOrigin missing(const KestruneState& state, std::size_t index) const;

  private:
    ChangeOrigin explain(CertificateOrigin origin) const;

    StoreCatalogue* stores_ = nullptr;
    std::optional<std::int64_t> since_;
    std::vector<PackageChange> changes_;
};

// The report's last line: "4 changes, all explained by ca-certificates 20230311 → 20240203",
// "1 change unexplained", "3 changes, 1 unexplained"; empty when there are none.
std::string explanationSummary(std::span<const ChangeOrigin> changes);
// Every change explained (and at least one).
bool allExplained(std::span<const ChangeOrigin> changes);
// The package changes that explain them, each once, in first-seen order, as text:
// "ca-certificates 20230311 → 20240203, openssl 3.0.11 → 3.0.13".
std::string explainingChangesText(std::span<const ChangeOrigin> changes);
// How many no package upgrade explains.
std::size_t countUnexplained(std::span<const ChangeOrigin> changes);

}  // namespace kestrune
