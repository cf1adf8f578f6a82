// How soon kestrune.exe reports a certificate added to a store while it waits for its
// hourly cycle: from the registry change (a certificate added to the user's "My" store)
// to the cycle's "Certificate Added" box. Each try starts with the schedule at rest
// (more than its minimum gap after the previous cycle), so the figure is the settle
// time plus a scan under Wine, not the storm cap.
// Usage: tray_change_latency_bench.exe PATH\kestrune.exe [tries]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "tests/platform/win32/added_certificate.h"
#include "tests/platform/win32/gui_driver.h"

namespace {

using namespace std::chrono_literals;
using namespace kestrune::testing;

constexpr auto kStart = 180s;
constexpr auto kStep = 120s;

// A cycle's comparison line, then its reload of the baseline (the load at start prints
// only the second).
constexpr const char* kCompared = "iCertificateCountTotal_Registry = ";
constexpr const char* kReloaded = "Total Count in Registry";

bool cycleEndedAfter(const ChildProcess& program, std::size_t from) {
    const std::size_t compared = program.waitForOutput(kCompared, kStep, from);
    return compared != std::string::npos &&
           program.waitForOutput(kReloaded, kStep, compared) != std::string::npos;
}

int fail(const char* what, const ChildProcess& program) {
    std::fprintf(stderr, "tray_change_latency_bench: %s; output:\n%s\n", what,
                 program.output().c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tray_change_latency_bench PATH\\kestrune.exe [tries]\n");
        return 2;
    }
    const int tries = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Brimtal Software");
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Brimtal Software");

    ChildProcess program(widenText(argv[1]), L"");
    if (!program.started()) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[1], program.startError().c_str());
        return 1;
    }
    const DWORD pid = program.id();
    for (const wchar_t* caption :
         {L"Brimtal Kestrune", L"Brimtal Kestrune - Certificate Baseline"}) {
        if (answerBox(pid, caption, IDOK, kStart).empty()) {
            return fail("no first-start box", program);
        }
    }
    if (!cycleEndedAfter(program, 0)) {
        return fail("the first cycle did not end", program);
    }

    // At rest nothing changes, so nothing should be scanned: the program's own scans and
    // baseline writes must not wake it. (Under Wine, crypt32 writes its imported roots
    // under HKLM once per process when a scan first opens the Root store: one wake.)
    auto cyclesIn = [](const std::string& output) {
        std::size_t count = 0;
        for (std::size_t at = output.find(kReloaded); at != std::string::npos;
             at = output.find(kReloaded, at + 1)) {
            ++count;
        }
        return count;
    };
    const std::size_t beforeRest = cyclesIn(program.output());
    Sleep(30'000);
    const std::size_t idleCycles = cyclesIn(program.output()) - beforeRest;
    std::printf("cycles during 30 s at rest after the first one: %zu\n", idleCycles);

    std::vector<double> seconds;
    for (int i = 0; i < tries; ++i) {
        // At rest: past the minimum gap since the last cycle started.
        Sleep(11'000);
        const ULONGLONG start = GetTickCount64();
        const std::size_t before = program.output().size();
        {
            AddedCertificate added(L"My");
            if (!added.ok()) {
                return fail("cannot add the certificate", program);
            }
            if (answerBox(pid, L"Brimtal Kestrune - Certificate Added", IDOK, kStep).empty()) {
                return fail("no Certificate Added box", program);
            }
            seconds.push_back(static_cast<double>(GetTickCount64() - start) / 1000.0);
            std::printf("try %d: %.2f s\n", i + 1, seconds.back());
            if (answerBox(pid, L"Brimtal Kestrune - Certificate Changes", IDNO, kStep).empty()) {
                return fail("no Certificate Changes box", program);
            }
            if (!cycleEndedAfter(program, before)) {
                return fail("the cycle did not end", program);
            }
        }
        // Removed again (never accepted): the next cycle finds the baseline as it was.
        const std::size_t removed = program.output().size();
        if (!cycleEndedAfter(program, removed)) {
            return fail("no cycle after the removal", program);
        }
    }
    PostMessageW(FindWindowW(L"Kestrune", L"Brimtal Kestrune"), WM_COMMAND, 40002, 0);
    DWORD status = 0;
    program.waitForExit(kStep, &status);

    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    const double worst = seconds.back();
    const std::string n = std::to_string(seconds.size());
    kestrune::bench::tableRow("Wine: cycles in 30 s without a change", std::to_string(idleCycles),
                              "target", "0", static_cast<double>(idleCycles));
    kestrune::bench::tableRow("Wine: registry change -> tray cycle's box, median of " + n,
                              kestrune::bench::figure(median, "s"), "target", "3.00 s",
                              median / 3.0);
    kestrune::bench::tableRow("Wine: registry change -> tray cycle's box, worst of " + n,
                              kestrune::bench::figure(worst, "s"), "target", "3.00 s", worst / 3.0);
    return 0;
}
