// A change source on the fake clock: waiting is the clock's sleep (so a program that is
// never told of a change sleeps its hours as before), cut short by changes scripted at
// fake times or signalled from anywhere, e.g. while a box waits for the user.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "inventory/change_source.h"
#include "tests/support/fake_clock.h"

namespace kestrune::testing {

class FakeChangeSource : public ChangeSource {
  public:
    explicit FakeChangeSource(FakeClock& clock) : clock_(clock) {}

    Wake waitForChange(std::uint32_t timeoutMs) override;
    void stop() override;
    std::vector<std::string> problems() const override;

    // A change at this time of the clock's monotonic milliseconds.
    void changeAt(std::uint64_t ms);
    // A change now; kept for the next wait when nobody waits.
    void change();
    // A check asked for (as SIGHUP asks): the next wait returns Requested at once, and
    // the changes before it are covered by that check.
    void request();
    void addProblem(std::string line);
    // The timeout of every wait, in order.
    std::vector<std::uint32_t> waits() const;

  private:
    FakeClock& clock_;
    mutable std::mutex mutex_;
    std::multiset<std::uint64_t> scripted_;
    bool pending_ = false;
    bool requested_ = false;
    bool stopped_ = false;
    std::vector<std::string> problems_;
    std::vector<std::uint32_t> waits_;
};

}  // namespace kestrune::testing
