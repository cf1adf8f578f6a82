#include "platform/qt/desktop_notifications.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QImage>
#include <QTimer>
#include <QVariantMap>

#include "platform/qt/qt_desktop.h"

namespace kestrune {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kShowCertificates = QStringLiteral("show-certificates");
// A server that does not answer this soon is taken to have no actions.
constexpr int kCapabilitiesMs = 5000;

QDBusMessage call(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

// The icon as raw pixels ("image-data", iiibiiay), so the notice carries the product's
// picture even where the icon theme does not have it (a build that is not installed).
QDBusArgument imageData() {
    const QImage image =
        kestruneIcon().pixmap(48, 48).toImage().convertToFormat(QImage::Format_RGBA8888);
    QDBusArgument arg;
    arg.beginStructure();
    arg << image.width() << image.height() << static_cast<int>(image.bytesPerLine()) << true << 8
        << 4
        << QByteArray(reinterpret_cast<const char*>(image.constBits()),
                      static_cast<qsizetype>(image.sizeInBytes()));
    arg.endStructure();
    return arg;
}

}  // namespace

DesktopNotifications::DesktopNotifications(QObject* parent) : QObject(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    // Signals from whichever process owns the service name, not from anyone on the bus.
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(onNotificationClosed(uint, uint)));
}

bool DesktopNotifications::available() const {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) {
        return false;
    }
    if (bus.interface()->isServiceRegistered(kService)) {
        return true;
    }
    const QDBusReply<QStringList> startable = bus.interface()->activatableServiceNames();
    return startable.isValid() && startable.value().contains(kService);
}

bool DesktopNotifications::serverHasActions() {
    if (actionsKnown_ < 0) {
        // Asked once, on the first notice; a server started by the bus for it may take a
        // moment, which only this first notice waits for.
        const QDBusReply<QStringList> caps = QDBusConnection::sessionBus().call(
            call(QStringLiteral("GetCapabilities")), QDBus::Block, kCapabilitiesMs);
        actionsKnown_ = caps.isValid() && caps.value().contains(QStringLiteral("actions")) ? 1 : 0;
    }
    return actionsKnown_ == 1;
}

void DesktopNotifications::notify(const QString& summary, const QString& body) {
    QStringList actions;
    if (serverHasActions()) {
        // "default" is a click on the notice itself; the named one a button.
        actions << QStringLiteral("default") << QStringLiteral("Show certificates")
                << kShowCertificates << QStringLiteral("Show certificates");
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("kestrune"));
    hints.insert(QStringLiteral("image-data"), QVariant::fromValue(imageData()));
    QDBusMessage message = call(QStringLiteral("Notify"));
    // Each notice replaces the last one still on screen, as a balloon replaces a balloon.
    const uint replaces = ours_.isEmpty() ? 0u : *ours_.constBegin();
    message << QStringLiteral("Brimtal Kestrune") << replaces << QStringLiteral("kestrune")
            << summary << body << actions << hints << -1;
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, replaces](QDBusPendingCallWatcher* w) {
                const QDBusPendingReply<uint> reply = *w;
                if (reply.isValid()) {
                    ours_.remove(replaces);
                    ours_.insert(reply.value());
                }
                w->deleteLater();
            });
}

void DesktopNotifications::setShowCertificatesHandler(std::function<void()> handler) {
    onShowCertificates_ = std::move(handler);
}

void DesktopNotifications::onActionInvoked(uint id, const QString& actionKey) {
    if (!ours_.contains(id) || !onShowCertificates_) {
        return;
    }
    if (actionKey == kShowCertificates || actionKey == QStringLiteral("default")) {
        // The dialog runs its own loop: open it after this signal's delivery returns.
        QTimer::singleShot(0, this, [this] { onShowCertificates_(); });
    }
}

void DesktopNotifications::onNotificationClosed(uint id, uint /*reason*/) {
    ours_.remove(id);
}

}  // namespace kestrune
