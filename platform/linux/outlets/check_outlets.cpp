// kestrune-check's outlets on Linux: the systemd journal and POSIX file replacement.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/check_delivery.h"
#include "platform/linux/outlets/atomic_file.h"
#include "platform/linux/outlets/journal_protocol.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

class LinuxCheckOutlets final : public CheckOutlets {
  public:
    bool stdoutIsJournal() const override { return fdIsJournalStream(STDOUT_FILENO); }
    std::unique_ptr<EventJournal> openJournal(std::string& error) override {
        // Another socket for containers that mount the host's journal elsewhere (and
        // for tests).
        const char* other = std::getenv("KESTRUNE_JOURNAL_SOCKET");
        auto journal = std::make_unique<JournalSocket>(other && *other ? other : kJournalSocket);
        if (!journal->usable()) {
            error = journal->error();
            return nullptr;
        }
        return journal;
    }
    bool replaceFile(const std::string& path, const std::string& text,
                     std::string& error) override {
        return replaceFileAtomically(path, text, error);
    }
    std::string serviceMetricsFile() const override {
        // Where kestrune-check.service and kestrune-watch.service write (Debian's textfile
        // folder for node_exporter); replaced in place, so the folder must be writable.
        static constexpr const char* kPath = "/var/lib/prometheus/node-exporter/kestrune.prom";
        return access(kPath, F_OK) == 0 && access("/var/lib/prometheus/node-exporter", W_OK) == 0
                   ? kPath
                   : "";
    }
};

}  // namespace

std::unique_ptr<CheckOutlets> makeCheckOutlets() {
    return std::make_unique<LinuxCheckOutlets>();
}

}  // namespace kestrune
