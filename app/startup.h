// Start-up and the hourly schedule, shared by the tray programs: the argument echo,
// the first-start baseline, the load, the UI start and the hourly cycles. Toolkit-free:
// each front end hands in its desktop and a callback that starts its UI.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "baseline/scan_cycle.h"
#include "baseline/settings_api.h"
#include "ui/desktop.h"

namespace kestrune {

inline constexpr std::uint32_t kScanIntervalMs = 3'600'000;

inline constexpr const char* kArglistCaption = "Arglist contents";
inline constexpr const char* kFirstStartText =
    "Brimtal Kestrune will now gather baseline certificate information from the system "
    "certificate stores.";
inline constexpr const char* kFirstStartCaption = "Brimtal Kestrune";
inline constexpr const char* kSummaryCaption = "Brimtal Kestrune - Certificate Baseline";

// Words reserved for a first argument; no action is attached to any of them.
enum class ReservedWord { None, Install, Uninstall, Service };

// The first argument after the program path, compared ignoring (ASCII) case with
// "-install", "-uninstall" and "-service".
ReservedWord reservedWord(const std::vector<std::string>& arguments);

// With more than one argument, every argument (the program path included) in its own
// "Arglist contents" box, OK button, no owner, in order. Nothing otherwise.
void echoArguments(const std::vector<std::string>& arguments, Desktop& desktop);

// The first-start summary with both counts; it always fits the 256-unit buffer.
std::string baselineSummaryText(std::int32_t uniqueCount, std::int32_t totalCount);

struct MainRoutineHooks {
    // Starts the user-interface role without waiting for it.
    std::function<void()> startUi;
    // Asked before every hourly cycle; empty means "for ever", as the programs run.
    std::function<bool()> keepRunning;
};

// Tables and counters, settings key (the process ends with -1 when there is none),
// first-start announcement, scan, summary and baseline, the load with its diagnostic
// lines, the UI start, then scanCycle(0) at once and after every hour of sleep.
// Returns only when hooks.keepRunning says stop.
void mainRoutine(CycleContext& cycle, SettingsApi& settings, const MainRoutineHooks& hooks);

// The entry point's work after the command line is split: echo, then the main routine.
void runTrayProgram(const std::vector<std::string>& arguments, CycleContext& cycle,
                    SettingsApi& settings, const MainRoutineHooks& hooks);

}  // namespace kestrune
