#include "platform/qt/session_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QThread>
#include <QTimer>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/qt/qt_desktop.h"

namespace kestrune {

namespace {

// Bound for the running monitor's answer; it answers at once, a dialog opens after.
constexpr int kCallMs = 10000;
// How long a later launch gives a starting monitor to take its bus name.
constexpr int kNameAttempts = 25;
constexpr unsigned long kNameRetryMs = 200;

QString serviceName() {
    return QString::fromLatin1(kSessionService);
}

// The session lock, held for the life of the process: the kernel lets go when it ends.
class SessionLock {
  public:
    explicit SessionLock(int fd) : fd_(fd) {}
    ~SessionLock() { ::close(fd_); }
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;

  private:
    int fd_;
};

enum class LockResult { Taken, HeldElsewhere, NoPlace };

LockResult keep(int fd) {
    static SessionLock held(fd);
    return LockResult::Taken;
}

// A lock file in the runtime folder, which is the user's own; never created here.
LockResult takeLockFile() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') {
        return LockResult::NoPlace;
    }
    const std::string path = std::string(runtime) + "/kestrune.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return LockResult::NoPlace;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return LockResult::HeldElsewhere;
    }
    return keep(fd);
}

// Without a usable runtime folder: an abstract socket named after the user, which needs
// no folder and goes with the process. Another user may bind the name first; a holder
// that is not this user is no monitor of this session and does not stop this one.
LockResult takeAbstractLock() {
    const std::string name = "kestrune-session-" + std::to_string(::getuid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] == 0: abstract
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return LockResult::NoPlace;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
        ::listen(fd, 4) == 0) {
        return keep(fd);
    }
    ::close(fd);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return LockResult::NoPlace;
    }
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    const bool ours = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                      ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) == 0 &&
                      peer.uid == ::getuid();
    ::close(probe);
    return ours ? LockResult::HeldElsewhere : LockResult::NoPlace;
}

LockResult takeSessionLock() {
    const LockResult file = takeLockFile();
    return file == LockResult::NoPlace ? takeAbstractLock() : file;
}

const char* methodFor(SessionRequest request) {
    switch (request) {
        case SessionRequest::About:
            return "ShowAbout";
        case SessionRequest::Exit:
            return "Exit";
        default:
            return "ShowCertificates";
    }
}

}  // namespace

const char* const kUsageText =
    "Usage: kestrune [--certificates | --about | --exit] [--trace]\n"
    "Watches the certificate stores from the system tray and warns when a certificate is\n"
    "added, missing or changed. One runs per session: a later launch asks it instead.\n"
    "\n"
    "  --certificates  open the certificate list (starting the monitor if none runs)\n"
    "  --about         open the About dialog (starting the monitor if none runs)\n"
    "  --exit          end the running monitor\n"
    "  --trace         write the per-record scan trace to standard output\n"
    "  --help          print this text and exit\n"
    "\n"
    "kestrune-check is the command-line companion for servers and scripts.\n";

LaunchOptions parseLaunchOptions(const std::vector<std::string>& arguments) {
    LaunchOptions options;
    bool requested = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        SessionRequest request = SessionRequest::Monitor;
        if (a == "--trace") {
            options.trace = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            options.help = true;
            continue;
        }
        if (a == "--certificates") {
            request = SessionRequest::Certificates;
        } else if (a == "--about") {
            request = SessionRequest::About;
        } else if (a == "--exit") {
            request = SessionRequest::Exit;
        } else {
            options.error =
                (a.rfind('-', 0) == 0 ? "unknown option '" : "unexpected argument '") + a + "'";
            return options;
        }
        if (requested && request != options.request) {
            options.error = "only one of --certificates, --about and --exit may be given";
            return options;
        }
        requested = true;
        options.request = request;
    }
    return options;
}

SessionService::SessionService(QtDesktop& desktop) : desktop_(desktop) {}

void SessionService::ShowCertificates() {
    // The list, or the open one brought forward.
    QTimer::singleShot(0, &desktop_, [this] { desktop_.openCertificates(); });
}

void SessionService::ShowAbout() {
    QTimer::singleShot(0, &desktop_, [this] { desktop_.openAbout(); });
}

void SessionService::Exit() {
    // As the tray menu's Exit, once the answer is on its way.
    QTimer::singleShot(0, &desktop_, [] { std::_Exit(0); });
}

std::optional<int> claimSession(SessionService& service, SessionRequest request, Trace& trace) {
    // The lock decides whether a monitor runs; the bus only carries the request to it.
    const LockResult lock = takeSessionLock();
    QDBusConnection bus = QDBusConnection::sessionBus();
    const bool onBus = bus.isConnected() && bus.interface() != nullptr;
    if (lock == LockResult::HeldElsewhere) {
        if (!onBus) {
            std::fputs(
                "kestrune: already running in this session; without a session bus it cannot be "
                "asked to open its windows\n",
                stderr);
            return 1;
        }
        const QDBusMessage call =
            QDBusMessage::createMethodCall(serviceName(), QString::fromLatin1(kSessionPath),
                                           serviceName(), QString::fromLatin1(methodFor(request)));
        QDBusMessage reply = bus.call(call, QDBus::Block, kCallMs);
        // A monitor that has just taken the lock may not own its name yet.
        for (int attempt = 0;
             attempt < kNameAttempts && reply.type() == QDBusMessage::ErrorMessage &&
             reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown");
             ++attempt) {
            QThread::msleep(kNameRetryMs);
            reply = bus.call(call, QDBus::Block, kCallMs);
        }
        if (reply.type() == QDBusMessage::ReplyMessage ||
            (request == SessionRequest::Exit &&
             !bus.interface()->isServiceRegistered(serviceName()))) {
            trace.outf("kestrune already runs in this session; it was asked to %s\n",
                       request == SessionRequest::Exit    ? "exit"
                       : request == SessionRequest::About ? "open the About dialog"
                                                          : "open the certificate list");
            return 0;
        }
        std::fprintf(stderr, "kestrune: the running monitor did not answer: %s\n",
                     reply.errorMessage().toLocal8Bit().constData());
        return 1;
    }
    if (request == SessionRequest::Exit) {
        return 0;  // nothing ran: do not start a monitor only to stop it
    }
    if (lock == LockResult::NoPlace) {
        std::fputs("kestrune: no session lock could be taken; a second monitor is not kept out\n",
                   stderr);
    }
    if (onBus) {
        bus.registerObject(QString::fromLatin1(kSessionPath), &service,
                           QDBusConnection::ExportScriptableSlots);
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> claimed =
            bus.interface()->registerService(serviceName(),
                                             QDBusConnectionInterface::DontQueueService,
                                             QDBusConnectionInterface::DontAllowReplacement);
        if (!claimed.isValid() || claimed.value() != QDBusConnectionInterface::ServiceRegistered) {
            // Not a monitor of this session (it would hold the lock): monitoring goes on,
            // only later launches cannot reach this one.
            bus.unregisterObject(QString::fromLatin1(kSessionPath));
            std::fprintf(stderr,
                         "kestrune: the session bus name %s is taken by another process; this "
                         "monitor runs, but a later launch cannot ask it to open its windows\n",
                         kSessionService);
        }
    }
    return std::nullopt;
}

}  // namespace kestrune
