// Peak memory of the program's own work at 100,000 certificates: a first start (scan of
// a 100,000-certificate bundle, save to SQLite, load) and one full scan cycle, measured
// as the process's peak resident set (getrusage ru_maxrss). The reference is what the
// two tables must hold at least: 2 x 100,000 records of 568 bytes. Two more rows from
// the same run: the baseline's own share of the peak (save, load and a comparison after
// the first scan, the scan's bundle gone), and that comparison (100,000 x 100,000, all
// present) against the scan of the same bundle.
//
//   rss_bench [certificates]   (default: 100000)
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/ports.h"
#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
#include "baseline/scan_cycle.h"
#include "bench/bench_table.h"
#include "bench/bench_util.h"
#include "bench/pem_generator.h"
#include "inventory/scanner.h"
#include "platform/linux/settings/sqlite_settings.h"
#include "platform/platform.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_program.h"
#include "ui/baseline_messages.h"

using namespace kestrune;
namespace fs = std::filesystem;

namespace {

double peakMb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6;  // ru_maxrss is in KiB
}

// A line of /proc/self/status ("VmHWM:", "VmRSS:") in MB; negative when unknown.
double statusMb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::strtod(line.c_str() + field.size(), nullptr) * 1024.0 / 1e6;  // in kB
        }
    }
    return -1;
}

// The peak since the last resetPeak(), in MB; negative when unknown.
double peakSinceResetMb() {
    return statusMb("VmHWM:");
}

// Lowers the peak to the present resident set (Linux 4.0 and later).
bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned count =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 100000;
    std::string base = (fs::temp_directory_path() / "kestrune-rss-bench-XXXXXX").string();
    if (::mkdtemp(base.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string bundle = base + "/root/etc/ssl/certs/ca-certificates.crt";
    fs::create_directories(fs::path(bundle).parent_path());
    fs::create_directories(base + "/home");
    {
        bench::Generator generator;
        std::ofstream out(bundle, std::ios::binary);
        for (unsigned i = 0; i < count; ++i) {
            out << generator.pem(i);
        }
    }
    const double bundleMb = static_cast<double>(fs::file_size(bundle)) / 1e6;
    const double before = peakMb();

    NullTrace trace;
    PlatformOptions platform;
    platform.root = base + "/root";
    platform.home = base + "/home";
    const auto stores = makePorts(platform, trace).stores;
    SqliteSettingsOptions options;
    options.userDatabase = base + "/home/.config/kestrune/settings.db";
    SqliteSettings settings(options);
    // The desktop answers No, and OK.
    auto program = std::make_unique<testing::FakeProgram>(testing::FakeProgramOptions{
        .stores = stores.get(), .settings = &settings, .trace = &trace});
    KestruneState* state = &program->state;
    testing::ScriptedDesktop& desktop = program->desktop;
    CycleContext& context = program->context;

    // First start, then one cycle, as the tray program runs them.
    std::shared_ptr<BaselineStore>& settingsKey = program->settingsKey;
    settingsKey = openSettingsKey(settings, desktop);
    bool ok = settingsKey != nullptr;
    const bench::Stopwatch scanTimer;
    scan(*state, *stores, trace);
    const double scanSeconds = scanTimer.seconds();
    // The baseline's own share: from the end of the first scan (the current table in
    // memory) through the save, the load and a comparison, without the scans' bundle.
    const bool resetWorks = resetPeak();
    const double afterScan = statusMb("VmRSS:");
    ok = ok && saveBaseline(*settingsKey, state->mqsCertificates, state->iCertificateCountTotal);
    const double saveTop = peakSinceResetMb();
    ok = ok && registry_settings_load(settingsKey.get(), *state, desktop, trace) == 1;
    const bench::Stopwatch compareTimer;
    const Changes changes = detectChanges(*state);
    const double compareSeconds = compareTimer.seconds();
    ok = ok && changes.added.empty() && changes.missing.empty();
    const double baselinePeak = resetWorks ? peakSinceResetMb() : -1;
    scanCycle(context, 0);
    const double peak = peakMb();
    ok = ok && state->iCertificateCountTotal == static_cast<std::int32_t>(count) &&
         state->iCertificateCountTotal_Registry == static_cast<std::int32_t>(count) &&
         desktop.messageBoxes().empty();
    program.reset();
    fs::remove_all(base);
    if (!ok) {
        std::fprintf(stderr, "the first start or the cycle did not see %u certificates\n", count);
        return 1;
    }

    const double tables = 2.0 * count * kRecordSize / 1e6;
    std::printf(
        "%u certificates (bundle of %.1f MB): peak RSS %.1f MB (%.1f MB before the scan), "
        "two tables %.1f MB\n",
        count, bundleMb, peak, before, tables);
    bench::tableRow("peak RSS, first start + cycle, " + std::to_string(count) + " certificates",
                    bench::figure(peak, "MB", 1), "two tables of records",
                    bench::figure(tables, "MB", 1), peak / tables);
    bench::tableRow("comparison, " + std::to_string(count) + " x " + std::to_string(count),
                    bench::figure(compareSeconds * 1e3, "ms"), "scan of the same PEM bundle",
                    bench::figure(scanSeconds * 1e3, "ms"), compareSeconds / scanSeconds);
    std::printf(
        "  resident after the first scan %.1f MB; peak of the save %.1f MB, of the save, "
        "load and comparison %.1f MB\n",
        afterScan, saveTop, baselinePeak);
    if (baselinePeak > 0) {
        bench::tableRow("peak RSS, save + load + comparison after the scan",
                        bench::figure(baselinePeak, "MB", 1), "two tables of records",
                        bench::figure(tables, "MB", 1), baselinePeak / tables);
    }
    return 0;
}
