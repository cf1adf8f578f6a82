#include "app/check_watch.h"

#include <chrono>

#include "app/cycle_schedule.h"
#include "inventory/text.h"

namespace kestrune {

void watchChecks(const CheckOptions& options, const Ports& ports, Trace& trace,
                 const std::function<void(const CheckOutput&, const CheckTiming&)>& deliver,
                 const std::function<void(const std::string&)>& problem) {
    ChangeWatch watch(ports.changes, ports.clock, problem);
    while (watch.waitForNextCycle() == NextCycle::Due) {
        watch.cycleStarted();
        const auto started = std::chrono::steady_clock::now();
        const CheckOutput result = runCheck(options, ports.stores, ports.settings, trace);
        const CheckTiming timing{
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
        deliver(result, timing);
        watch.cycleEnded();
    }
}

std::string watchStampLine(double unixSeconds, bool json) {
    using namespace std::chrono;
    const sys_seconds at{seconds(static_cast<long long>(unixSeconds))};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{at - day};
    const std::string stamp =
        formatText("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                   static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                   static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                   static_cast<int>(time.seconds().count()));
    return json ? "{\"event\":\"check\",\"time\":\"" + stamp + "\"}\n" : "check\t" + stamp + "\n";
}

}  // namespace kestrune
