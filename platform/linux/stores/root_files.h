// Files of the machine under a root directory, read the way a trust-store scan needs
// them: never blocking on a FIFO or a device, never more than a cap, and symbolic links
// resolved inside the root, so a root that holds another system's tree reads that tree
// and not the host's.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/result.h"

namespace kestrune {

// The system calls a store read goes through. Tests hand in their own to provoke what a
// real disk seldom does on cue: a file cut short between fstat and read, EINTR, EIO, a
// folder removed just before it is listed.
struct FileCalls {
    int (*open)(const char* path, int flags);
    int (*fstat)(int fd, struct stat* st);
    ssize_t (*read)(int fd, void* buffer, std::size_t size);
    int (*close)(int fd);
    DIR* (*opendir)(const char* path);
    struct dirent* (*readdir)(DIR* dir);
    int (*closedir)(DIR* dir);
};
// The kernel's own.
const FileCalls& systemFileCalls();

class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1, const FileCalls& calls = systemFileCalls())
        : fd_(fd), calls_(&calls) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();
    int get() const { return fd_; }
    void reset(int fd = -1);
    // Takes `fd`, to be closed through `calls`.
    void reset(int fd, const FileCalls& calls);

  private:
    int fd_;
    const FileCalls* calls_;
};

// The largest file read as a certificate file (a distro bundle is well under 1 MiB).
inline constexpr std::size_t kMaxCertificateFileBytes = std::size_t{256} << 20;

// Reads a whole regular file. Fails for anything else: missing, unreadable, not a
// regular file, over `maxBytes`, or shorter when read than it was when opened (cut while
// read, a failing disk). `failure` (when given) says which of those it was.
enum class ReadFailure {
    None,
    Gone,        // nothing there (any more)
    NotRegular,  // a folder, FIFO, device or socket: no certificate file at all
    Unreadable,  // there, but not read: permissions, an I/O error, over `maxBytes`
};
Result<std::string> readRegularFile(const std::string& path,
                                    std::size_t maxBytes = kMaxCertificateFileBytes,
                                    ReadFailure* failure = nullptr,
                                    const FileCalls& calls = systemFileCalls());
// The same checks without the reading: `fd` open on the regular file, and its size when
// opened (it may still grow; fewer bytes than that is a failed read).
Result<std::size_t> openRegularFile(const std::string& path, UniqueFd& fd,
                                    std::size_t maxBytes = kMaxCertificateFileBytes,
                                    ReadFailure* failure = nullptr,
                                    const FileCalls& calls = systemFileCalls());
// Why a read that ended after `got` bytes of a file that held `expected` when opened
// left it unread; empty when it got them all.
std::string shortReadText(std::size_t got, std::size_t expected);

class RootDir {
  public:
    // "" and "/" both mean the machine's own root.
    explicit RootDir(std::string root);

    // The root as given, "/" for the machine's own.
    const std::string& root() const { return root_; }

    // Where a machine path ("/etc/ssl/cert.pem") lives under the root, every symbolic
    // link on the way resolved inside the root, the machine's own root alike (so a link
    // loop is told the same way). Fails on a link loop.
    Result<std::string> real(std::string_view machinePath) const;

    // As real(), adding each link met on the way to `links` as a real path: what
    // watching the path must watch besides where it leads.
    Result<std::string> follow(std::string_view machinePath, std::vector<std::string>& links) const;

    // A real path under the root as the machine inside the root names it.
    std::string machinePath(std::string_view realPath) const;

    // Whether something exists at the machine path (links followed inside the root).
    bool exists(std::string_view machinePath) const;

  private:
    Result<std::string> resolve(std::string_view machinePath,
                                std::vector<std::string>* links) const;

    std::string root_;
    std::string prefix_;  // the root without its trailing '/'; empty for the own root
};

// Every file below a real folder, sub-folders included, in sorted path order. Links to
// files are resolved inside the root; everything that is not a folder is handed over as
// a file, so the reader can say what it is. A folder that cannot be listed is reported
// through `skipped` and passed over; `unreadable` is set for a folder that is there but
// could not be listed (not for one that vanished, nor for a link that loops).
using SkipReport =
    std::function<void(const std::string& path, const std::string& why, bool unreadable)>;
void listFilesBelow(const RootDir& root, const std::string& realFolder,
                    std::vector<std::string>& files, const SkipReport& skipped,
                    const FileCalls& calls = systemFileCalls());

// The text of an errno value.
std::string errnoText(int error);

}  // namespace kestrune
