#include "platform/linux/journal_protocol.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
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

JournalSocket::JournalSocket(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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
    // An entry is a few hundred bytes (names are cut to 255 characters), far below a
    // datagram's limit, so the protocol's file-descriptor path for huge entries is not
    // needed.
    const std::string bytes = encodeJournalEntry(entry);
    ssize_t sent = -1;
    do {
        sent = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(bytes.size())) {
        error_ = path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace kestrune
