#include "platform/qt/qt_desktop.h"

#include <QAbstractButton>
#include <QAction>
#include <QDesktopServices>
#include <QEventLoop>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <QSystemTrayIcon>
#include <QThread>
#include <QUrl>
#include <cstdlib>
#include <future>

#include "platform/qt/desktop_notifications.h"

// The resources of a static library are registered by hand; the macro must be used
// outside any namespace.
static void registerKestruneResources() {
    Q_INIT_RESOURCE(kestrune);
}

namespace kestrune {

namespace {

// Qt's default; the Windows balloon's 3 seconds are below what desktops honour anyway.
constexpr int kBalloonMs = 10000;

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

namespace {

int iconOf(Severity severity) {
    switch (severity) {
        case Severity::information:
            return QMessageBox::Information;
        case Severity::warning:
            return QMessageBox::Warning;
        case Severity::error:
            return QMessageBox::Critical;
        case Severity::plain:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QtBoxStyle qtBoxStyle(const Message& message) {
    QtBoxStyle s;
    s.buttons = QMessageBox::Ok;
    s.escapeButton = QMessageBox::Ok;
    s.icon = iconOf(message.severity);
    return s;
}

QtBoxStyle qtBoxStyle(const Question& question) {
    QtBoxStyle s;
    const bool yesNo = question.choice == Choice::yesNo;
    const int first = yesNo ? QMessageBox::Yes : QMessageBox::Ok;
    const int second = yesNo ? QMessageBox::No : QMessageBox::Cancel;
    s.buttons = first | second;
    s.escapeButton = second;
    // The first button is the box's own choice; only a default on the second is set.
    const Answer secondAnswer = yesNo ? Answer::no : Answer::cancel;
    s.defaultButton = question.byDefault == secondAnswer ? second : 0;
    s.icon = iconOf(question.severity);
    return s;
}

Answer answerOf(int standardButton) {
    switch (standardButton) {
        case QMessageBox::Ok:
            return Answer::ok;
        case QMessageBox::Cancel:
            return Answer::cancel;
        case QMessageBox::Yes:
            return Answer::yes;
        case QMessageBox::No:
            return Answer::no;
        default:
            return Answer::cancel;
    }
}

QString qtText(const std::string& text) {
    QString s = fromUtf8(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

QIcon kestruneIcon() {
    // Rendered from the one drawing at the sizes trays and title bars ask for.
    registerKestruneResources();
    QSvgRenderer renderer(QStringLiteral(":/kestrune/kestrune.svg"));
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QtDesktop::QtDesktop(Trace& trace, QObject* parent) : QObject(parent), trace_(trace) {
    // Every tray reaches the list from here: trays that speak StatusNotifierItem deliver
    // a click as "activate" and never a double-click.
    menu_ = std::make_unique<QMenu>();
    QAction* show = menu_->addAction(QStringLiteral("&Show Certificates"));
    QAction* scan = menu_->addAction(QStringLiteral("Scan &Now"));
    menu_->addSeparator();
    QAction* about = menu_->addAction(QStringLiteral("&About"));
    QAction* exitAction = menu_->addAction(QStringLiteral("E&xit"));
    connect(show, &QAction::triggered, this, [this] { openCertificates(); });
    connect(scan, &QAction::triggered, this, [this] {
        if (onScan_) {
            onScan_();
        }
    });
    connect(about, &QAction::triggered, this, [this] { openAbout(); });
    // Exit ends the process at once, a running scan included; nothing is cleaned up,
    // nothing is written.
    connect(exitAction, &QAction::triggered, this, [] { std::_Exit(0); });
    notifications_ = new DesktopNotifications(this);
    notifications_->setShowCertificatesHandler([this] { openCertificates(); });
}

QtDesktop::~QtDesktop() = default;

bool QtDesktop::onGuiThread() const {
    return QThread::currentThread() == thread();
}

void QtDesktop::openBox(const QString& text, const QString& details, const QString& caption,
                        const QtBoxStyle& s, QWidget* owner, std::function<void(Answer)> onAnswer) {
    auto* box = new QMessageBox(static_cast<QMessageBox::Icon>(s.icon), caption, text,
                                static_cast<QMessageBox::StandardButtons>(s.buttons), owner);
    box->setTextFormat(Qt::PlainText);
    if (s.defaultButton != 0) {
        box->setDefaultButton(static_cast<QMessageBox::StandardButton>(s.defaultButton));
    }
    if (!details.isEmpty()) {
        box->setDetailedText(details);
    }
    box->setWindowIcon(kestruneIcon());
    box->setEscapeButton(static_cast<QMessageBox::StandardButton>(s.escapeButton));
    // Like a box without an owner window: it blocks no other window, so the tray, its
    // menu (Exit included) and other dialogs keep working while it waits. An owned box
    // blocks only its owner.
    box->setWindowModality(owner ? Qt::WindowModal : Qt::NonModal);
    connect(box, &QDialog::finished, box, [box, s, onAnswer = std::move(onAnswer)] {
        // A box closed without a button (window manager, Escape) stands for Cancel/No.
        QAbstractButton* clicked = box->clickedButton();
        const int button = clicked ? box->standardButton(clicked) : QMessageBox::NoButton;
        onAnswer(answerOf(button == QMessageBox::NoButton ? s.escapeButton : button));
        box->deleteLater();
    });
    box->show();
}

void QtDesktop::inform(const Message& message) {
    showBox(qtBoxStyle(message), message.text, {}, message.caption, message.owner);
}

Answer QtDesktop::ask(const Question& question) {
    return showBox(qtBoxStyle(question), question.text, question.details, question.caption,
                   question.owner);
}

Answer QtDesktop::showBox(const QtBoxStyle& style, const std::string& text,
                          const std::string& details, const std::string& caption, WindowRef owner) {
    const QString qDetails = qtText(details);
    const QString qText = qtText(text);
    const QString qCaption = qtText(caption);
    if (onGuiThread()) {
        // The caller is on the GUI thread (Scan Now, a dialog): wait in a local event
        // loop, so everything else goes on being served.
        Answer answer = Answer::none;
        QEventLoop loop;
        openBox(qText, qDetails, qCaption, style, reinterpret_cast<QWidget*>(owner),
                [&](Answer given) {
                    answer = given;
                    loop.quit();
                });
        loop.exec();
        return answer;
    }
    // Another thread: the GUI thread opens the box from its event loop and the caller
    // waits for the answer. The GUI thread never waits for the caller, and it needs no
    // nested loop, so later boxes and dialogs never hold this answer back.
    auto answer = std::make_shared<std::promise<Answer>>();
    std::future<Answer> future = answer->get_future();
    QMetaObject::invokeMethod(
        this,
        [this, qText, qDetails, qCaption, style, answer] {
            openBox(qText, qDetails, qCaption, style, nullptr,
                    [answer](Answer given) { answer->set_value(given); });
        },
        Qt::QueuedConnection);
    return future.get();
}

void QtDesktop::applyNotice(const TrayNotice& notice, bool add) {
    if (add && !icon_) {
        icon_ = std::make_unique<QSystemTrayIcon>(kestruneIcon());
        icon_->setContextMenu(menu_.get());
        connect(
            icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // A click (StatusNotifierItem's "activate", a single click on an
                // XEmbed tray) opens the list or brings it forward; the second click
                // of a double-click finds it open.
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    openCertificates();
                }
            });
        icon_->show();
    }
    if (!icon_) {
        return;  // a notice before the icon exists is lost, as on every platform
    }
    icon_->setToolTip(qtText(notice.tooltip));
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    if (!notice.balloonText.empty()) {
        if (notifications_->available()) {
            // The notification service directly: each notice replaces the one before
            // and carries the program's own picture, which a tray's balloon through it
            // would not (a stack of generic information icons).
            notifications_->notify(qtText(notice.balloonTitle), qtText(notice.balloonText));
        } else if (tray) {
            icon_->showMessage(qtText(notice.balloonTitle), qtText(notice.balloonText),
                               kestruneIcon(), kBalloonMs);
        }
    }
    if (!tray) {
        // Without a session bus or a notification service, standard output is all there
        // is. An empty text is the icon coming back without a balloon: nothing to say.
        logNotice(notice);
    }
}

void QtDesktop::logNotice(const TrayNotice& notice) {
    QString tip = qtText(notice.tooltip);
    tip.replace(QLatin1Char('\n'), QStringLiteral(" | "));
    trace_.outf("Tray notice (no system tray): %s: %s | %s\n", notice.balloonTitle.c_str(),
                notice.balloonText.c_str(), tip.toUtf8().constData());
}

bool QtDesktop::addTrayIcon(const TrayNotice& notice) {
    if (onGuiThread()) {
        applyNotice(notice, true);
    } else {
        QMetaObject::invokeMethod(
            this, [this, notice] { applyNotice(notice, true); }, Qt::QueuedConnection);
    }
    return true;
}

bool QtDesktop::updateTrayNotice(const TrayNotice& notice) {
    if (onGuiThread()) {
        applyNotice(notice, false);
    } else {
        QMetaObject::invokeMethod(
            this, [this, notice] { applyNotice(notice, false); }, Qt::QueuedConnection);
    }
    return true;
}

bool QtDesktop::openUrl(const std::string& url) {
    const QUrl qUrl(fromUtf8(url));
    if (onGuiThread()) {
        return QDesktopServices::openUrl(qUrl);
    }
    bool opened = false;
    QMetaObject::invokeMethod(
        this, [&] { opened = QDesktopServices::openUrl(qUrl); }, Qt::BlockingQueuedConnection);
    return opened;
}

void QtDesktop::openCertificates() {
    if (onCertificates_) {
        onCertificates_();
    }
}

void QtDesktop::openAbout() {
    if (onAbout_) {
        onAbout_();
    }
}

void QtDesktop::setCertificatesHandler(std::function<void()> handler) {
    onCertificates_ = std::move(handler);
}

void QtDesktop::setScanHandler(std::function<void()> handler) {
    onScan_ = std::move(handler);
}

void QtDesktop::setAboutHandler(std::function<void()> handler) {
    onAbout_ = std::move(handler);
}

}  // namespace kestrune
