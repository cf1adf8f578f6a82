// One full scan cycle over 100,000 current and 100,000 baseline records with 1 %
// differences (in-memory stores and settings, a desktop that answers No): the scan
// time, the comparison time, and the nested-loop comparison at 20,000 x 20,000 for
// contrast.
#include <cstdio>
#include <cstring>

#include "baseline/baseline_storage.h"
#include "baseline/scan_cycle.h"
#include "bench/bench_table.h"
#include "bench/bench_util.h"
#include "inventory/scanner.h"
#include "tests/support/fake_program.h"
#include "ui/baseline_messages.h"

using namespace kestrune;

namespace {

// The same comparisons as nested loops: every record against every record.
int nestedLoopDifferences(const KestruneState& s) {
    int differences = 0;
    const int current = s.iCertificateCountTotal;
    const int baseline = s.iCertificateCountTotal_Registry;
    for (int i = 0; i < current; ++i) {
        const auto& r = s.mqsCertificates[static_cast<std::size_t>(i)];
        bool present = false;
        for (int k = 0; k < baseline && !present; ++k) {
            const auto& b = s.mqsCertificatesRegistry[static_cast<std::size_t>(k)];
            present = b.serialLength == r.serialLength &&
                      std::memcmp(r.serialNumber, b.serialNumber,
                                  static_cast<std::size_t>(r.serialLength)) == 0 &&
                      std::memcmp(r.subjectNameHash, b.subjectNameHash, 64) == 0;
        }
        differences += present ? 0 : 1;
    }
    for (int i = 0; i < baseline; ++i) {
        const auto& r = s.mqsCertificatesRegistry[static_cast<std::size_t>(i)];
        bool present = false;
        for (int k = 0; k < current && !present; ++k) {
            present = std::memcmp(r.subjectNameHash,
                                  s.mqsCertificates[static_cast<std::size_t>(k)].subjectNameHash,
                                  64) == 0;
        }
        differences += present ? 0 : 1;
    }
    return differences;
}

// The desktop answers No to the save question; no trace is kept.
struct Fixture : testing::FakeProgram {
    NullTrace& trace = quiet;

    // A baseline of `count` certificates, then 1 % of them replaced by new ones.
    explicit Fixture(std::size_t count) : FakeProgram({.quietTrace = true}) {
        bench::fillStores(stores, count, 7);
        settingsKey = openSettingsKey(settings, desktop);
        scan(state, stores, trace);
        static_cast<void>(
            saveBaseline(*settingsKey, state.mqsCertificates, state.iCertificateCountTotal));
        registry_settings_load(settingsKey.get(), state, desktop, trace);
        testing::FakeStoreCatalogue fresh;
        bench::fillStores(fresh, count / 100, 99);
        auto& target = stores.locations[0].stores;
        for (std::size_t i = 0; i < fresh.locations[0].stores.size(); ++i) {
            for (std::size_t k = 0; k < fresh.locations[0].stores[i].certs.size(); ++k) {
                target[i].certs[k] = fresh.locations[0].stores[i].certs[k];
            }
        }
    }
};

}  // namespace

int main() {
    Fixture big(100000);
    const bench::Stopwatch cycleTimer;
    scanCycle(big.context, 0);
    const double cycleSeconds = cycleTimer.seconds();

    big.state.resetScanCounters();
    const bench::Stopwatch scanTimer;
    scan(big.state, big.stores, big.trace);
    const double scanSeconds = scanTimer.seconds();

    // The comparison: every difference in both directions, as the cycle finds them.
    const bench::Stopwatch compareTimer;
    const Changes changes = detectChanges(big.state);
    const std::size_t added = changes.added.size();
    const std::size_t missing = changes.missing.size();
    const double compareSeconds = compareTimer.seconds();

    Fixture small(20000);
    small.state.resetScanCounters();
    scan(small.state, small.stores, small.trace);
    const bench::Stopwatch nestedTimer;
    const int nested = nestedLoopDifferences(small.state);
    const double nestedSeconds = nestedTimer.seconds();
    const bench::Stopwatch indexedTimer;
    const Changes smallChanges = detectChanges(small.state);
    const std::size_t indexed = smallChanges.added.size() + smallChanges.missing.size();
    const double indexedSeconds = indexedTimer.seconds();

    std::printf("100,000 x 100,000 records, 1 %% replaced\n");
    std::printf("  full cycle:  %.3f s\n", cycleSeconds);
    std::printf("  scan:        %.3f s\n", scanSeconds);
    std::printf("  comparison:  %.4f s (%zu added, %zu missing) = %.2f %% of the scan\n",
                compareSeconds, added, missing, 100.0 * compareSeconds / scanSeconds);
    std::printf("20,000 x 20,000 records\n");
    std::printf("  nested loop: %.3f s (%d differences)\n", nestedSeconds, nested);
    std::printf("  indexed:     %.4f s (%zu differences), %.0fx faster\n", indexedSeconds, indexed,
                nestedSeconds / indexedSeconds);
    bench::tableRow("comparison, 100,000 x 100,000 records",
                    bench::figure(compareSeconds * 1e3, "ms"), "nested loop, 20,000 x 20,000",
                    bench::figure(nestedSeconds * 1e3, "ms"), compareSeconds / nestedSeconds);
    bench::tableRow("the same comparison, against its scan",
                    bench::figure(compareSeconds * 1e3, "ms"),
                    "scan of the same 100,000 (in memory)", bench::figure(scanSeconds * 1e3, "ms"),
                    compareSeconds / scanSeconds);
    return static_cast<std::size_t>(nested) == indexed ? 0 : 1;
}
