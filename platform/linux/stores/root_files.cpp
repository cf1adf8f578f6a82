#include "platform/linux/stores/root_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace kestrune {

namespace {

constexpr int kMaxLinks = 40;  // what the kernel allows before ELOOP

void pushComponents(std::string_view path, std::vector<std::string>& pending) {
    // `pending` is a stack: the next component to visit is at the back.
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) {
            parts.emplace_back(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

}  // namespace

const FileCalls& systemFileCalls() {
    static constexpr FileCalls kSystem = {
        [](const char* path, int flags) { return ::open(path, flags); },
        [](int fd, struct stat* st) { return ::fstat(fd, st); },
        [](int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); },
        [](int fd) { return ::close(fd); },
        [](const char* path) { return ::opendir(path); },
        [](DIR* dir) { return ::readdir(dir); },
        [](DIR* dir) { return ::closedir(dir); },
    };
    return kSystem;
}

UniqueFd::~UniqueFd() {
    reset();
}

void UniqueFd::reset(int fd) {
    reset(fd, *calls_);
}

void UniqueFd::reset(int fd, const FileCalls& calls) {
    if (fd_ >= 0 && fd_ != fd) {
        calls_->close(fd_);
    }
    fd_ = fd;
    calls_ = &calls;
}

std::string shortReadText(std::size_t got, std::size_t expected) {
    if (got >= expected) {
        return {};
    }
    return "read " + std::to_string(got) + " of the " + std::to_string(expected) +
           " bytes it held when opened (cut short while read, or a failing disk)";
}

std::string errnoText(int error) {
    return std::generic_category().message(error);
}

Result<std::size_t> openRegularFile(const std::string& path, UniqueFd& fd, std::size_t maxBytes,
                                    ReadFailure* failure, const FileCalls& calls) {
    ReadFailure ignored = ReadFailure::None;
    ReadFailure& failed = failure != nullptr ? *failure : ignored;
    failed = ReadFailure::Unreadable;
    // O_NONBLOCK: a FIFO planted in a trust folder must not hang the scan.
    fd.reset(calls.open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK), calls);
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            failed = ReadFailure::Gone;
        }
        return fail(errnoText(error));
    }
    struct stat st {};
    if (calls.fstat(fd.get(), &st) != 0) {
        return fail(errnoText(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        failed = ReadFailure::NotRegular;
        return fail(S_ISDIR(st.st_mode) ? "a folder" : "not a regular file");
    }
    if (st.st_size < 0 || static_cast<std::size_t>(st.st_size) > maxBytes) {
        return fail("larger than " + std::to_string(maxBytes >> 20) + " MiB");
    }
    failed = ReadFailure::None;
    return static_cast<std::size_t>(st.st_size);
}

Result<std::string> readRegularFile(const std::string& path, std::size_t maxBytes,
                                    ReadFailure* failure, const FileCalls& calls) {
    ReadFailure ignored = ReadFailure::None;
    ReadFailure& failed = failure != nullptr ? *failure : ignored;
    UniqueFd fd;
    const Result<std::size_t> opened = openRegularFile(path, fd, maxBytes, &failed, calls);
    if (!opened) {
        return fail(opened.error());
    }
    const std::size_t size = *opened;
    failed = ReadFailure::Unreadable;
    // The size is a hint only: the file may change while it is read.
    std::string data;
    std::size_t used = 0;
    data.resize(size + 1);
    for (;;) {
        if (used == data.size()) {
            if (data.size() > maxBytes) {
                return fail("larger than " + std::to_string(maxBytes >> 20) + " MiB");
            }
            data.resize(std::min(data.size() * 2, maxBytes + 1));
        }
        const std::size_t wanted = data.size() - used;
        const ssize_t n = calls.read(fd.get(), data.data() + used, wanted);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(errnoText(errno));
        }
        used += static_cast<std::size_t>(n);
        // A regular file gives less than asked only at its end: no further read to learn
        // that (a scan reads a few hundred small files).
        if (n == 0 || static_cast<std::size_t>(n) < wanted) {
            break;
        }
    }
    if (used < size) {
        return fail(shortReadText(used, size));
    }
    data.resize(used);
    failed = ReadFailure::None;
    return data;
}

RootDir::RootDir(std::string root) : root_(root.empty() ? "/" : std::move(root)) {
    prefix_ = root_;
    while (!prefix_.empty() && prefix_.back() == '/') {
        prefix_.pop_back();
    }
}

Result<std::string> RootDir::real(std::string_view machinePath) const {
    // Walked for the machine's own root too (its prefix is empty), so a link loop or a
    // dangling link is told the same way under any root.
    return resolve(machinePath, nullptr);
}

Result<std::string> RootDir::follow(std::string_view machinePath,
                                    std::vector<std::string>& links) const {
    return resolve(machinePath, &links);
}

Result<std::string> RootDir::resolve(std::string_view machinePath,
                                     std::vector<std::string>* links) const {
    std::vector<std::string> pending;
    pushComponents(machinePath, pending);
    std::string resolved;  // below the root, "/a/b"
    int hops = 0;
    while (!pending.empty()) {
        std::string component = std::move(pending.back());
        pending.pop_back();
        if (component == ".") {
            continue;
        }
        if (component == "..") {
            // Never above the root, as ".." of "/" is "/".
            resolved.erase(std::min(resolved.rfind('/'), resolved.size()));
            continue;
        }
        const std::string candidate = prefix_ + resolved + "/" + component;
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            resolved += "/" + component;
            continue;
        }
        if (links != nullptr) {
            links->push_back(candidate);
        }
        if (++hops > kMaxLinks) {
            return fail(errnoText(ELOOP));
        }
        std::string target(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 256, '\0');
        const ssize_t n = ::readlink(candidate.c_str(), target.data(), target.size());
        if (n < 0) {
            return fail(errnoText(errno));
        }
        target.resize(static_cast<std::size_t>(n));
        if (!target.empty() && target.front() == '/') {
            resolved.clear();  // an absolute link starts again at the root
        }
        pushComponents(target, pending);
    }
    return prefix_ + (resolved.empty() ? "/" : resolved);
}

std::string RootDir::machinePath(std::string_view realPath) const {
    if (!prefix_.empty() && realPath.substr(0, prefix_.size()) == prefix_ &&
        (realPath.size() == prefix_.size() || realPath[prefix_.size()] == '/')) {
        const std::string_view rest = realPath.substr(prefix_.size());
        return rest.empty() ? "/" : std::string(rest);
    }
    return std::string(realPath);
}

bool RootDir::exists(std::string_view machinePath) const {
    const Result<std::string> path = real(machinePath);
    struct stat st {};
    return path && ::stat(path->c_str(), &st) == 0;
}

namespace {

// (path as listed, path to read)
using Listed = std::vector<std::pair<std::string, std::string>>;

// An entry's type as listed: what readdir says, else what lstat does. A file that cannot
// be told (gone meanwhile) is taken as a file; reading it will say what is wrong.
unsigned char entryType(const std::string& path, unsigned char listed) {
    if (listed != DT_UNKNOWN) {
        return listed;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return DT_REG;
    }
    return S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
}

// One folder's entries: its files (links resolved) into `files`, its sub-folders into
// `folders`. A listing that fails part way is reported, and what was listed kept.
void listEntries(const RootDir& root, const std::string& folder, DIR* dir, Listed& files,
                 std::vector<std::string>& folders, const SkipReport& skipped,
                 const FileCalls& calls) {
    const std::string base = !folder.empty() && folder.back() == '/' ? folder : folder + "/";
    for (;;) {
        errno = 0;
        const dirent* entry = calls.readdir(dir);
        if (entry == nullptr) {
            if (const int error = errno; error != 0) {
                skipped(folder, errnoText(error), true);
            }
            return;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string path = base + std::string(name);
        const unsigned char type = entryType(path, entry->d_type);
        if (type == DT_DIR) {
            folders.push_back(std::move(path));
        } else if (type == DT_LNK) {
            Result<std::string> target = root.real(root.machinePath(path));
            if (target) {
                files.emplace_back(std::move(path), std::move(*target));
            } else {
                skipped(path, target.error(), false);
            }
        } else {
            files.emplace_back(path, path);  // reading it will say what is wrong
        }
    }
}

void listInto(const RootDir& root, const std::string& folder, Listed& files,
              const SkipReport& skipped, const FileCalls& calls) {
    DIR* dir = calls.opendir(folder.c_str());
    if (dir == nullptr) {
        const int error = errno;
        skipped(folder, errnoText(error), error != ENOENT);
        return;
    }
    std::vector<std::string> folders;
    listEntries(root, folder, dir, files, folders, skipped, calls);
    calls.closedir(dir);
    for (const std::string& sub : folders) {
        listInto(root, sub, files, skipped, calls);
    }
}

}  // namespace

void listFilesBelow(const RootDir& root, const std::string& realFolder,
                    std::vector<std::string>& files, const SkipReport& skipped,
                    const FileCalls& calls) {
    Listed listed;
    listInto(root, realFolder, listed, skipped, calls);
    std::sort(listed.begin(), listed.end());
    files.reserve(files.size() + listed.size());
    for (auto& [name, path] : listed) {
        files.push_back(std::move(path));
    }
}

}  // namespace kestrune
