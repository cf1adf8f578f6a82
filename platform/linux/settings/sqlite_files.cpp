#include "platform/linux/settings/sqlite_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrune::sqlite_files {

namespace fs = std::filesystem;

bool canWrite(const std::string& path, int mode) {
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// Creates the folder and any missing parents with `mode` exactly (whatever the umask);
// a folder that already exists keeps its own mode.
bool ensureFolder(const fs::path& folder, mode_t mode) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) {
        return true;
    }
    if (folder.has_parent_path() && folder.parent_path() != folder &&
        !ensureFolder(folder.parent_path(), mode)) {
        return false;
    }
    if (::mkdir(folder.c_str(), mode) != 0) {
        return errno == EEXIST && fs::is_directory(folder, ec);
    }
    return ::chmod(folder.c_str(), mode) == 0;
}

// Creates an empty file with `mode` exactly; an existing file is left as it is.
bool ensureFile(const std::string& path, mode_t mode) {
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.get() < 0) {
        return errno == EEXIST;
    }
    return ::fchmod(fd.get(), mode) == 0;
}

// The folder holding `file`, locked with flock `operation` (LOCK_SH, LOCK_EX) until the
// returned descriptor closes; invalid, with errno set, when it cannot be opened or locked.
// Runs that set a damaged database aside hold it exclusively while they move files.
UniqueFd lockFolderOf(const std::string& file, int operation) {
    UniqueFd folder(
        ::open(fs::path(file).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) {
        return folder;
    }
    int rc = 0;
    while ((rc = ::flock(folder.get(), operation)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const int error = errno;
        folder.reset();
        errno = error;
    }
    return folder;
}

// stat() of a database file that may be in the middle of being set aside: setAside holds
// its folder's lock exclusively while it renames the file and makes a new one, so where
// there is no file the name is looked at again once no run holds that lock. False with
// errno set when there is still no file (or the folder cannot be locked).
bool statSettled(const std::string& file, struct stat& st) {
    if (::stat(file.c_str(), &st) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    const UniqueFd folder = lockFolderOf(file, LOCK_SH);
    return folder.get() >= 0 && ::stat(file.c_str(), &st) == 0;
}

// A non-empty file that does not start with SQLite's header is not ours to open: SQLite
// could take a short one for an empty database and write over it.
bool looksLikeDatabase(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return true;  // SQLite reports why it cannot be opened
    }
    static constexpr char kMagic[16] = "SQLite format 3";  // and its terminating zero
    char header[sizeof kMagic] = {};
    const ssize_t got = ::read(fd.get(), header, sizeof header);
    if (got == 0) {
        return true;  // an empty file is an empty database
    }
    return got == static_cast<ssize_t>(sizeof header) &&
           std::memcmp(header, kMagic, sizeof kMagic) == 0;
}

}  // namespace kestrune::sqlite_files
