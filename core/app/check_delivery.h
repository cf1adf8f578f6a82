// Where a finished kestrune-check run goes: standard output and error, the system's
// structured log, and the metrics file. The platform supplies the outlets
// (platform/platform.h); the choices are made here.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/check_metrics.h"
#include "app/check_run.h"

namespace kestrune {

struct JournalField {
    std::string name;  // upper case, digits and '_', as the journal requires
    std::string value;
};
using JournalEntry = std::vector<JournalField>;

// syslog priorities, as the journal files them.
inline constexpr int kPriorityError = 3;
inline constexpr int kPriorityWarning = 4;
inline constexpr int kPriorityNotice = 5;
inline constexpr int kPriorityInfo = 6;

class EventJournal {
  public:
    virtual ~EventJournal() = default;
    // False, with error() saying why, when the entry was not accepted.
    virtual bool send(const JournalEntry& entry) = 0;
    virtual std::string error() const = 0;
};

class CheckOutlets {
  public:
    virtual ~CheckOutlets() = default;
    // True when standard output is a stream into the journal (a service's output).
    virtual bool stdoutIsJournal() const = 0;
    // The journal, or null with `error` set where there is none.
    virtual std::unique_ptr<EventJournal> openJournal(std::string& error) = 0;
    // Replaces `path` so a reader sees the old file or the new one, never a part.
    virtual bool replaceFile(const std::string& path, const std::string& text,
                             std::string& error) = 0;
    // The metrics file the packaged service keeps, where it exists and this user may
    // replace it; else empty.
    virtual std::string serviceMetricsFile() const { return {}; }
};

// One entry per difference (priority warning for an added certificate, notice for a
// missing one), then one for the outcome, one per error line. Every entry carries
// KESTRUNE_EVENT; differences also location, store, serial, subject MD5, name and the
// SHA-256 (a changed one also the baseline's).
std::vector<JournalEntry> journalEntries(const CheckOutput& result);

// Sends the report where the options and the outlets say and returns the exit status.
// The journal is used with --journal, or without --json when standard output already
// goes to it; then the report is not printed as well unless the journal refused it.
// A metrics file that cannot be written is an error (status 2), the report is kept.
// Without --metrics-file (and --root), a run that stored a baseline (--accept, the first
// one) also refreshes the service's metrics file, so it does not show the old difference
// until the next timer run; failing that is a warning.
int deliverCheck(const CheckOptions& options, const CheckOutput& result, const CheckTiming& timing,
                 CheckOutlets& outlets, std::FILE* out, std::FILE* err);

}  // namespace kestrune
