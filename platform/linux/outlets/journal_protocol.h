// The systemd journal's native protocol: one datagram per entry on journald's socket.
// Spoken directly rather than through libsystemd's sd_journal_send: the protocol is a
// few lines, the programs need no further library, and a test can bind a socket of its
// own and read back exactly what would have been logged.
#pragma once

#include <chrono>
#include <string>

#include "app/check_delivery.h"

namespace kestrune {

inline constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// One entry as the protocol frames it: "NAME=value\n", or for a value holding a newline
// "NAME\n", its length as 64-bit little-endian, the value and "\n".
std::string encodeJournalEntry(const JournalEntry& entry);

// True when JOURNAL_STREAM names the device and inode of `fd` (systemd sets it for a
// service whose output goes to the journal; children that redirect no longer match).
bool fdIsJournalStream(int fd);

// How long the entries sent through one socket (one report's) wait in all for room in a
// journal that is full (journald stuck or flooded) before the report goes elsewhere: a
// check never hangs on its journal.
inline constexpr int kJournalWaitMs = 2'000;

class JournalSocket final : public EventJournal {
  public:
    // Opens a datagram socket for `path`; check error() when send fails.
    explicit JournalSocket(std::string path, int waitMs = kJournalWaitMs);
    ~JournalSocket() override;
    JournalSocket(const JournalSocket&) = delete;
    JournalSocket& operator=(const JournalSocket&) = delete;
    bool usable() const { return fd_ >= 0; }
    bool send(const JournalEntry& entry) override;
    std::string error() const override { return error_; }

  private:
    std::string path_;
    int waitMs_;
    int fd_ = -1;
    bool connected_ = false;
    std::chrono::steady_clock::duration waited_{};
    std::string error_;
};

}  // namespace kestrune
