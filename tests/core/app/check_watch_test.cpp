#include "app/check_watch.h"

#include <gtest/gtest.h>

#include "app/check_report.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/fake_change_source.h"
#include "tests/support/fake_http.h"
#include "tests/support/memory_settings.h"

namespace kestrune {
namespace {

using testing::FakeChangeSource;
using testing::FakeClock;
using testing::FakeLocation;
using testing::FakeStore;
using testing::makeCert;

TEST(CheckWatch, TheCommandLineTakesWatchAndTheStampIsUtc) {
    EXPECT_TRUE(parseCheckCommandLine({"--watch", "--json"}).options.watch);
    EXPECT_FALSE(parseCheckCommandLine({"--json"}).options.watch);
    EXPECT_EQ(parseCheckCommandLine({"--watch", "--list"}).error,
              "--watch repeats a check; --list only prints");
    EXPECT_EQ(watchStampLine(1765239326.7, false), "check\t2025-12-09T00:15:26Z\n");
    EXPECT_EQ(watchStampLine(951782400, true),
              "{\"event\":\"check\",\"time\":\"2000-02-29T00:00:00Z\"}\n");
}

TEST(CheckWatch, ChecksAtOnceThenAfterEachSettledChangeUntilStopped) {
    testing::FakeStoreCatalogue stores;
    stores.currentUserLocation = "System";  // its stores are listed again in pass 2
    stores.locations.push_back(
        FakeLocation{"System", {FakeStore{"Root", {makeCert("A", {0x0a}, 1)}}}});
    testing::MemorySettings settings;
    testing::FakeHttpClient http;
    NullTrace trace;
    FakeClock clock;
    FakeChangeSource changes(clock);
    changes.changeAt(60'000);
    changes.changeAt(60'500);
    std::vector<std::string> reports;
    std::vector<std::uint64_t> times;
    clock.onSleep = [&](std::uint32_t) {
        if (clock.monotonicMs() == 60'000) {
            stores.locations[0].stores[0].certs.push_back(makeCert("B", {0x0b}, 2));
        }
        if (clock.monotonicMs() > 4'000'000) {
            changes.stop();
        }
    };
    CheckOptions options;
    watchChecks(options, {stores, settings, http, clock, changes}, trace,
                [&](const CheckOutput& result, const CheckTiming&) {
                    reports.push_back(result.out);
                    times.push_back(clock.monotonicMs());
                },
                {});
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_NE(reports[0].find("No baseline yet"), std::string::npos) << reports[0];
    EXPECT_NE(reports[1].find("added\tSystem\tRoot\t0b\t"), std::string::npos) << reports[1];
    // Without --accept the addition is reported again: nothing was stored.
    EXPECT_EQ(reports[2], reports[1]);
    EXPECT_EQ(times, (std::vector<std::uint64_t>{0, 62'500, 62'500 + 3'600'000}));
}

}  // namespace
}  // namespace kestrune
