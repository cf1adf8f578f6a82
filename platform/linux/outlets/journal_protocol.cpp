#include "platform/linux/outlets/journal_protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kestrune {

std::string encodeJournalEntry(const JournalEntry& entry) {
    std::string out;
    for (const JournalField& field : entry) {
        out += field.name;
        if (field.value.find('\n') == std::string::npos) {
            out += '=';
            out += field.value;
        } else {
            out += '\n';
            std::uint64_t size = field.value.size();
            for (int i = 0; i < 8; ++i, size >>= 8) {
                out.push_back(static_cast<char>(size & 0xFF));
            }
            out += field.value;
        }
        out += '\n';
    }
    return out;
}

bool fdIsJournalStream(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char tail = 0;
    struct stat st {};
    return std::sscanf(stream, "%llu:%llu%c", &device, &inode, &tail) == 2 &&
           ::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

JournalSocket::JournalSocket(std::string path, int waitMs)
    : path_(std::move(path)), waitMs_(waitMs) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        error_ = std::string("no socket: ") + std::strerror(errno);
    }
}

JournalSocket::~JournalSocket() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool JournalSocket::send(const JournalEntry& entry) {
    if (fd_ < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        error_ = "socket path too long: " + path_;
        return false;
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    // Connected, the socket polls writable only when the journal's queue has room.
    if (!connected_) {
        int done = -1;
        do {
            done = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } while (done != 0 && errno == EINTR);
        if (done != 0) {
            error_ = path_ + ": " + std::strerror(errno);
            return false;
        }
        connected_ = true;
    }
    // An entry is a few hundred bytes (names are cut to 255 characters), far below a
    // datagram's limit, so the protocol's file-descriptor path for huge entries is not
    // needed.
    const std::string bytes = encodeJournalEntry(entry);
    // The wait is shared by every entry sent through this socket (one report's), so a
    // journal that takes an entry now and then cannot stretch a report to minutes.
    using Steady = std::chrono::steady_clock;
    const Steady::time_point started = Steady::now();
    const Steady::time_point deadline = started + std::chrono::milliseconds(waitMs_) - waited_;
    struct Count {
        Steady::duration& waited;
        Steady::time_point started;
        ~Count() { waited += Steady::now() - started; }
    } count{waited_, started};
    for (;;) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(bytes.size())) {
            return true;
        }
        if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            error_ = path_ + ": " + std::strerror(sent >= 0 ? EMSGSIZE : errno);
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now());
        if (left.count() <= 0) {
            error_ = path_ + ": the journal's queue stayed full; gave up after waiting " +
                     std::to_string(waitMs_) + " ms";
            return false;
        }
        pollfd writable{fd_, POLLOUT, 0};
        ::poll(&writable, 1, static_cast<int>(left.count()));  // EINTR: look again
    }
}

}  // namespace kestrune
