// Start-up and the hourly schedule, shared by the tray programs: the argument echo,
// the first-start baseline, the load, the UI start and the hourly cycles. Toolkit-free:
// each front end hands in hooks that start its UI.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/notifier.h"

namespace kestrune {

inline constexpr std::uint32_t kScanIntervalMs = 3'600'000;

// The statuses a tray program ends with when it cannot go on.
inline constexpr int kExitNoSettingsKey = -1;
// A scan that ran out of memory ends the program with 3, not 0, and without waiting for
// a key on a console nobody sees: ending as if all went well would hide from whatever
// started the program (a session manager, a script) that the stores went unwatched.
inline constexpr int kExitOutOfMemory = 3;

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
void echoArguments(const std::vector<std::string>& arguments, Notifier& notifier);

// The first-start summary with both counts; it always fits the 256-unit buffer.
std::string baselineSummaryText(std::int32_t uniqueCount, std::int32_t totalCount);

struct MainRoutineHooks {
    // Runs first, before anything else (the platform's common controls).
    std::function<void()> initialise;
    // Starts the user-interface role without waiting for it.
    std::function<void()> startUi;
    // Asked before every hourly cycle; empty means "for ever", as the programs run.
    std::function<bool()> keepRunning;
};

class TrayProgram;

// Tables and counters, settings key, first-start announcement, scan, summary and
// baseline, the load with its diagnostic lines, the UI start, then scanCycle(0) at once
// and whenever the change schedule says (an hour after the last cycle, or soon after a
// store changed). Returns the status the process must end with when it cannot go on (no
// settings key: -1 after its box; out of memory: 3), or 0 once hooks.keepRunning says
// stop or the ports' change source is stopped.
int mainRoutine(TrayProgram& program, const MainRoutineHooks& hooks);

}  // namespace kestrune
