// The notifier on Qt: message boxes as QMessageBox, the tray icon as QSystemTrayIcon
// with the "Show Certificates", "Scan Now", "About", "Exit" menu, web pages through
// QDesktopServices.
//
// Lives on the GUI thread and may be called from any thread. Message boxes asked for by
// another thread are shown by the GUI thread while the caller waits; a box's owner, when
// given, is a QWidget* of the GUI thread (a dialog's windowRef). Tray requests from
// another thread are queued and never wait, so a thread holding the tray's lock can never
// wait for a GUI thread that wants the same lock.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "inventory/trace.h"
#include "ui/notifier.h"

class QMenu;
class QAction;
class QSystemTrayIcon;
class QWidget;

namespace kestrune {

class DesktopNotifications;

// What a box that tells or a question asks for, in Qt's terms.
struct QtBoxStyle {
    int buttons = 0;        // QMessageBox::StandardButtons
    int escapeButton = 0;   // the button a box closed otherwise stands for
    int defaultButton = 0;  // Return's button; 0: the box's own choice
    int icon = 0;           // QMessageBox::Icon
};
QtBoxStyle qtBoxStyle(const Message& message);
QtBoxStyle qtBoxStyle(const Question& question);
// The answer a QMessageBox::StandardButton stands for.
Answer answerOf(int standardButton);

// "\r\n" (and a lone "\r") as Qt's new line.
QString qtText(const std::string& text);

// The tray icon picture, the same drawing as the Windows program's icon.
QIcon kestruneIcon();

class QtDesktop final : public QObject, public Notifier {
    Q_OBJECT
  public:
    // Construct on the GUI thread. Where no system tray exists, notices go to the
    // desktop's notification service and are also written to `trace`.
    explicit QtDesktop(Trace& trace, QObject* parent = nullptr);
    ~QtDesktop() override;

    // A service notification is an ordinary box here: the session has a desktop.
    void inform(const Message& message) override;
    // The details unfold under the box's text ("Show Details...").
    Answer ask(const Question& question) override;
    bool addTrayIcon(const TrayNotice& notice) override;
    bool updateTrayNotice(const TrayNotice& notice) override;
    bool openUrl(const std::string& url) override;

    // What a double-click on the icon and the About command open.
    void setCertificatesHandler(std::function<void()> handler);
    void setAboutHandler(std::function<void()> handler);
    // What the menu's Scan Now runs.
    void setScanHandler(std::function<void()> handler);

    // For tests and the front end; GUI thread only. The icon is null until addTrayIcon.
    QSystemTrayIcon* trayIcon() const { return icon_.get(); }
    QMenu* contextMenu() const { return menu_.get(); }

    // What a second launch asks of this one; GUI thread only.
    void openCertificates();
    void openAbout();

  private:
    bool onGuiThread() const;
    // Shows a box and waits for its answer, from any thread.
    Answer showBox(const QtBoxStyle& style, const std::string& text, const std::string& details,
                   const std::string& caption, WindowRef owner);
    // Shows a box without waiting; onAnswer gets the answer once it is closed.
    void openBox(const QString& text, const QString& details, const QString& caption,
                 const QtBoxStyle& style, QWidget* owner, std::function<void(Answer)> onAnswer);
    void applyNotice(const TrayNotice& notice, bool add);
    void logNotice(const TrayNotice& notice);

    Trace& trace_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    DesktopNotifications* notifications_ = nullptr;  // a child
    std::function<void()> onCertificates_;
    std::function<void()> onAbout_;
    std::function<void()> onScan_;
};

}  // namespace kestrune
