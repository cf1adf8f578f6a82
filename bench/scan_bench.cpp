// A scan of 100,000 in-memory certificates: microseconds per certificate, and the share
// of it spent in the unique count.
#include <cstdio>

#include "bench/bench_util.h"
#include "inventory/scanner.h"

using namespace kestrune;

int main() {
    constexpr std::size_t kCount = 100000;
    testing::FakeStoreCatalogue api;
    bench::fillStores(api, kCount, 42);

    KestruneState state;
    NullTrace trace;
    scan(state, api, trace);  // warm-up: the table's memory is grown once
    state.resetScanCounters();
    const bench::Stopwatch scanTimer;
    scan(state, api, trace);
    const double scanSeconds = scanTimer.seconds();

    // The unique count alone, over the same records in the same order.
    SerialPrefixIndex index;
    std::int32_t unique = 0;
    const bench::Stopwatch uniqueTimer;
    for (const auto& r : state.mqsCertificates.valid()) {
        unique += index.hasPrefixOf(r) ? 0 : 1;
        index.insert(r);
    }
    const double uniqueSeconds = uniqueTimer.seconds();

    std::printf("certificates: %d (unique %d, recount %d)\n", state.iCertificateCountTotal.load(),
                state.uniqueCertificateCount.load(), unique);
    std::printf("scan: %.3f s, %.2f us per certificate\n", scanSeconds,
                scanSeconds * 1e6 / static_cast<double>(kCount));
    std::printf("unique count: %.3f s, %.1f %% of the scan\n", uniqueSeconds,
                100.0 * uniqueSeconds / scanSeconds);
    return state.uniqueCertificateCount == unique ? 0 : 1;
}
