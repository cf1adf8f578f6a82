// Scan Now's rule without a toolkit: disabled first, retried while another cycle holds
// the turn, refilled and enabled once, in that order; a second press or a closed dialog
// starts nothing.
#include "ui/scan_now.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune {
namespace {

struct Recorder {
    std::string log;
    int busyTries = 0;  // how many tries find another cycle running

    ScanNow::Actions actions() {
        return {.disable = [this] { log += "disable "; },
                .tryScan =
                    [this] {
                        log += "try ";
                        return busyTries-- <= 0;
                    },
                .refill = [this] { log += "refill "; },
                .enable = [this] { log += "enable "; },
                .scheduleRetry = [this] { log += "retry "; }};
    }
};

// A press, then the view's attempts until one runs: at once when the turn is free,
// after a retry per try that finds another cycle running. A second press while pending
// and a late retry after the scan ran start nothing.
TEST(ScanNow, RetriesWhileAnotherCycleRunsThenRefillsAndEnablesOnce) {
    const struct {
        int busyTries;
        const char* log;
    } cases[] = {
        {0, "disable try refill enable "},
        {1, "disable try retry try refill enable "},
        {2, "disable try retry try retry try refill enable "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.busyTries);
        Recorder r;
        r.busyTries = c.busyTries;
        ScanNow scan(r.actions());
        EXPECT_FALSE(scan.pending());
        EXPECT_TRUE(scan.start());
        EXPECT_FALSE(scan.start());  // a second press while pending
        for (int i = 0; i < c.busyTries; ++i) {
            EXPECT_FALSE(scan.attempt());
            EXPECT_TRUE(scan.pending());
            EXPECT_FALSE(scan.start());
        }
        EXPECT_TRUE(scan.attempt());
        EXPECT_FALSE(scan.pending());
        EXPECT_FALSE(scan.attempt());  // a late retry after the scan ran
        EXPECT_EQ(r.log, c.log);
        EXPECT_TRUE(scan.start());  // a later press starts the next one
    }
}

TEST(ScanNow, ClosingGivesTheTurnUpAndNoScannerOnlyRefills) {
    Recorder r;
    r.busyTries = 1;
    ScanNow scan(r.actions());
    scan.start();
    scan.attempt();
    scan.cancel();
    EXPECT_FALSE(scan.attempt());
    EXPECT_EQ(r.log, "disable try retry ");

    Recorder plain;
    ScanNow::Actions actions = plain.actions();
    actions.tryScan = nullptr;
    ScanNow refillOnly(std::move(actions));
    refillOnly.start();
    EXPECT_TRUE(refillOnly.attempt());
    EXPECT_EQ(plain.log, "disable refill enable ");
}

}  // namespace
}  // namespace kestrune
