#include "platform/qt/session_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/qt/qt_desktop.h"

namespace kestrune {

namespace {

// Bound for the running monitor's answer; it answers at once, a dialog opens after.
constexpr int kCallMs = 10000;

QString serviceName() {
    return QString::fromLatin1(kSessionService);
}

// The lock file, held for the life of the process: the kernel lets go when it ends.
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

LockResult takeSessionLock() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] == '\0') {
        return LockResult::NoPlace;
    }
    const std::string path = std::string(runtime) + "/kestrune.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return LockResult::NoPlace;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return LockResult::HeldElsewhere;
    }
    static SessionLock held(fd);
    return LockResult::Taken;
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

SessionRequest sessionRequest(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        return SessionRequest::Monitor;
    }
    const std::string& a = arguments[1];
    if (a == "--certificates") {
        return SessionRequest::Certificates;
    }
    if (a == "--about") {
        return SessionRequest::About;
    }
    if (a == "--exit") {
        return SessionRequest::Exit;
    }
    return SessionRequest::Monitor;
}

SessionService::SessionService(QtDesktop& desktop) : desktop_(desktop) {}

void SessionService::ShowCertificates() {
    // A new dialog each time, as a double-click on the icon opens one.
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
    QDBusConnection bus = QDBusConnection::sessionBus();
    const bool onBus = bus.isConnected() && bus.interface() != nullptr;
    bool owner = false;
    // A monitor that ends meanwhile frees the name: try to take it again, a few times.
    for (int attempt = 0; onBus && !owner && attempt < 3; ++attempt) {
        bus.registerObject(QString::fromLatin1(kSessionPath), &service,
                           QDBusConnection::ExportScriptableSlots);
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> claimed =
            bus.interface()->registerService(serviceName(),
                                             QDBusConnectionInterface::DontQueueService,
                                             QDBusConnectionInterface::DontAllowReplacement);
        if (claimed.isValid() && claimed.value() == QDBusConnectionInterface::ServiceRegistered) {
            owner = true;  // the lock file below still guards against a monitor without a bus
            break;
        }
        bus.unregisterObject(QString::fromLatin1(kSessionPath));
        const QDBusMessage reply = bus.call(
            QDBusMessage::createMethodCall(serviceName(), QString::fromLatin1(kSessionPath),
                                           serviceName(), QString::fromLatin1(methodFor(request))),
            QDBus::Block, kCallMs);
        const bool stillThere = bus.interface()->isServiceRegistered(serviceName());
        if (reply.type() == QDBusMessage::ReplyMessage ||
            (request == SessionRequest::Exit && !stillThere)) {
            trace.outf("kestrune already runs in this session; it was asked to %s\n",
                       request == SessionRequest::Exit    ? "exit"
                       : request == SessionRequest::About ? "open the About dialog"
                                                          : "open the certificate list");
            return 0;
        }
        if (stillThere) {
            std::fprintf(stderr, "kestrune: the running monitor did not answer: %s\n",
                         reply.errorMessage().toLocal8Bit().constData());
            return 1;
        }
    }
    if (onBus && !owner) {
        std::fputs("kestrune: the session's monitor could neither be reached nor replaced\n",
                   stderr);
        return 1;
    }
    if (takeSessionLock() == LockResult::HeldElsewhere) {
        std::fputs(
            "kestrune: already running in this session; without a session bus it cannot be "
            "asked to open its windows\n",
            stderr);
        return 1;
    }
    if (request == SessionRequest::Exit) {
        return 0;  // nothing ran: do not start a monitor only to stop it
    }
    return std::nullopt;
}

}  // namespace kestrune
