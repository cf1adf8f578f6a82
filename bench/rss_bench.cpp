// Peak memory of the program's own work at 100,000 certificates: a first start (scan of
// a 100,000-certificate bundle, save to SQLite, load) and one full scan cycle, measured
// as the process's peak resident set (getrusage ru_maxrss). The reference is what the
// two tables must hold at least: 2 x 100,000 records of 568 bytes.
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
#include "baseline/scan_cycle.h"
#include "bench/bench_table.h"
#include "bench/pem_generator.h"
#include "inventory/scanner.h"
#include "platform/linux/sqlite_settings.h"
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
    state->settingsKey = openSettingsKey(settings, desktop);
    bool ok = state->settingsKey != nullptr;
    scan(*state, *stores, trace);
    ok = ok &&
         saveBaseline(*state->settingsKey, state->mqsCertificates, state->iCertificateCountTotal);
    ok = ok && registry_settings_load(*state, desktop, trace) == 1;
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
    return 0;
}
