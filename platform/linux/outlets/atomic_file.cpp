#include "platform/linux/outlets/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kestrune {

bool replaceFileAtomically(const std::string& path, const std::string& text, std::string& error,
                           const std::function<void()>& beforeRename) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    auto failed = [&](const char* step, bool removeTemp) {
        error = std::string(step) + ": " + std::strerror(errno);
        if (removeTemp) {
            ::unlink(temp.c_str());
        }
        return false;
    };

    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return failed(("cannot make a temp file in " + folder.string()).c_str(), false);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ::close(fd);
            return failed("write", true);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) {
        ::close(fd);
        return failed("fsync", true);
    }
    if (::close(fd) != 0) {
        return failed("close", true);
    }
    if (beforeRename) {
        beforeRename();
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        return failed("rename", true);
    }
    // The rename itself is durable once the folder is.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace kestrune
