// Tray notices as desktop notifications (org.freedesktop.Notifications on the session
// bus), for desktops that have a notification service but no system tray.
#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

namespace kestrune {

class DesktopNotifications final : public QObject {
    Q_OBJECT
  public:
    // GUI thread only. Looks at the session bus once; nothing is sent until notify.
    explicit DesktopNotifications(QObject* parent = nullptr);

    // True when a session bus is connected and a notification service is on it (or can be
    // started by the bus). Asked at every notice: a service may come and go.
    bool available() const;
    // Sends one notification with the product's icon and, where the server offers
    // actions, "Show certificates". Never waits for the server.
    void notify(const QString& summary, const QString& body);
    // What the "Show certificates" action opens.
    void setShowCertificatesHandler(std::function<void()> handler);

  private Q_SLOTS:
    void onActionInvoked(uint id, const QString& actionKey);
    void onNotificationClosed(uint id, uint reason);

  private:
    bool serverHasActions();

    std::function<void()> onShowCertificates_;
    QSet<uint> ours_;        // ids the server gave our notifications still on screen
    int actionsKnown_ = -1;  // -1 not asked yet, else 0/1
};

}  // namespace kestrune
