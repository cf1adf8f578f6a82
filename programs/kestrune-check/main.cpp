// kestrune-check: the headless companion of the tray program. One scan through the same
// core, printed for people or for machines.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/check_delivery.h"
#include "app/check_report.h"
#include "app/check_run.h"
#include "app/check_watch.h"
#include "app/ports.h"
#include "platform/platform.h"

namespace {

// Where this platform's stores and settings are: a paragraph of the help.
const char* const kPlatformHelp =
#include "check_platform_help.inc"
    ;

int reportFailure(const std::string& message) {
    std::fprintf(stderr, "kestrune-check: %s\n", message.c_str());
    return kestrune::kCheckExitError;
}

bool writeAll(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
           std::fflush(stdout) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kestrune;
    const CheckCommandLine commandLine =
        parseCheckCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    const CheckOptions& options = commandLine.options;
    if (!commandLine.error.empty()) {
        reportFailure(commandLine.error);
        std::fputs("Try 'kestrune-check --help'.\n", stderr);
        return kCheckExitError;
    }
    if (options.help) {
        return writeAll(checkUsage(kPlatformHelp)) ? kCheckExitOk : kCheckExitError;
    }
    if (options.version) {
        return writeAll(checkVersion()) ? kCheckExitOk : kCheckExitError;
    }

    PlatformOptions platform = defaultPlatformOptions();
    if (options.root) {
        platform.root = *options.root;
    }
    // A mistyped root must not read as a machine without certificates.
    std::error_code ec;
    if (!platform.root.empty() && !std::filesystem::is_directory(platform.root, ec)) {
        return reportFailure("root directory '" + platform.root + "' is not a directory");
    }

    if (!options.watch) {
        endOnTermination();
    }

    NullTrace quiet;
    StderrTrace loud;
    Trace& trace = options.trace ? static_cast<Trace&>(loud) : quiet;
    const PlatformPorts ports = makePorts(platform, trace);
    if (options.list) {
        bool incomplete = false;
        const std::optional<std::string> list =
            scanAndList(*ports.stores, trace, options.json, &incomplete);
        if (!list) {
            return reportFailure("out of memory while scanning; no list");
        }
        if (!writeAll(*list)) {
            return reportFailure("could not write the list");
        }
        return incomplete ? kCheckExitIncomplete : kCheckExitOk;
    }

    if (options.watch) {
        const auto outlets = makeCheckOutlets();
        // Stopped by a signal, the wait returns and the program ends as usual.
        stopOnTermination(*ports.changes);
        watchChecks(
            options, ports.ports(), trace,
            [&](const CheckOutput& result, const CheckTiming& timing) {
                CheckOutput stamped = result;
                stamped.out = watchStampLine(timing.finishedUnixSeconds, options.json) + result.out;
                // What failed in one report is said with it; the watch goes on.
                deliverCheck(options, stamped, timing, *outlets, stdout, stderr);
                std::fflush(stderr);
            },
            [](const std::string& problem) {
                std::fprintf(stderr, "kestrune-check: not watched, checked hourly: %s\n",
                             problem.c_str());
            });
        return kCheckExitOk;
    }

    const auto started = std::chrono::steady_clock::now();
    const CheckOutput result = runCheck(options, *ports.stores, *ports.settings, trace);
    const CheckTiming timing{
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
    return deliverCheck(options, result, timing, *makeCheckOutlets(), stdout, stderr);
}
