// What finding each certificate's origin adds to a scan of this machine's trust files.
// Two roots hold copies of the same bundle, its sources and the local anchors; one also
// holds the package database the origins come from (dpkg's status, the bundle package's
// list and md5sums, its log), the other none, so its origins are "unknown" and cost
// nothing. The two are scanned in turn, and the median CPU time of each is compared.
// Without dpkg's files or a bundle here there is nothing to measure, and it says so.
//
//   origin_bench [rounds]     (default 40)
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/ports.h"
#include "bench/bench_table.h"
#include "inventory/scanner.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// The process's CPU time as the scheduler counts it (not in ticks: a scan takes a few).
double cpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void copyInto(const fs::path& root, const fs::path& machinePath) {
    if (!fs::exists(machinePath)) {
        return;
    }
    const fs::path to = root / machinePath.relative_path();
    fs::create_directories(to.parent_path());
    fs::copy(machinePath, to,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks |
                 fs::copy_options::overwrite_existing);
}

// One scan of the root: its CPU seconds; the certificate count checked once.
double scanSeconds(const fs::path& root, int& certificates) {
    kestrune::NullTrace trace;
    kestrune::PlatformOptions options;
    options.root = root.string();
    const double start = cpuSeconds();
    const auto stores = kestrune::makePorts(options, trace).stores;
    const auto state = std::make_unique<kestrune::KestruneState>();
    kestrune::scan(*state, *stores, trace);
    certificates = state->iCertificateCountTotal;
    return cpuSeconds() - start;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    const fs::path bundle = "/etc/ssl/certs/ca-certificates.crt";
    const fs::path status = "/var/lib/dpkg/status";
    if (!fs::exists(bundle) || !fs::exists(status)) {
        std::printf("origin_bench: this machine has no %s or no %s; nothing to measure\n",
                    bundle.c_str(), status.c_str());
        return 0;
    }
    char pattern[] = "/tmp/kestrune-origin-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path base = pattern;
    const fs::path with = base / "with-dpkg";
    const fs::path without = base / "without";
    for (const fs::path& root : {with, without}) {
        // The bundle itself, not the link that may lead to it.
        fs::create_directories(root / "etc/ssl/certs");
        fs::copy_file(fs::canonical(bundle), root / bundle.relative_path());
        copyInto(root, "/usr/share/ca-certificates");
        copyInto(root, "/usr/local/share/ca-certificates");
        copyInto(root, "/etc/passwd");
    }
    copyInto(with, status);
    for (const char* file : {"ca-certificates.list", "ca-certificates.md5sums",
                             "ca-certificates.conffiles", "ca-certificates.postinst"}) {
        copyInto(with, fs::path("/var/lib/dpkg/info") / file);
    }
    copyInto(with, "/var/log/dpkg.log");
    copyInto(with, "/var/log/dpkg.log.1");

    std::vector<double> withTimes;
    std::vector<double> withoutTimes;
    int withCount = 0;
    int withoutCount = 0;
    for (int i = 0; i < rounds; ++i) {
        withTimes.push_back(scanSeconds(with, withCount));
        withoutTimes.push_back(scanSeconds(without, withoutCount));
    }
    fs::remove_all(base);
    if (withCount != withoutCount) {
        std::printf("origin_bench: the two roots gave %d and %d certificates\n", withCount,
                    withoutCount);
        return 1;
    }
    const double a = median(withTimes);
    const double b = median(withoutTimes);
    std::printf("%d certificates, %d rounds; median CPU time of a scan\n", withCount, rounds);
    kestrune::bench::tableRow(
        "scan with origins (this machine's trust files)", kestrune::bench::figure(a * 1e3, "ms"),
        "the same files, no package database", kestrune::bench::figure(b * 1e3, "ms"), a / b);
    return 0;
}
