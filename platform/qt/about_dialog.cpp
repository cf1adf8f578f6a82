#include "platform/qt/about_dialog.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRect>

#include "ui/about_dialog_layout.h"

// The dialog's picture lives in a static library's resources, which are linked only
// when something names them.
static void initAboutResources() {
    Q_INIT_RESOURCE(about);
}

namespace kestrune {
namespace {

// Dialog units as the platform converts them: a quarter of the font's average
// character width across, an eighth of its height down, rounded to nearest.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics metrics(font);
        const int alphabet =
            metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        baseX_ = (alphabet / 26 + 1) / 2;
        baseY_ = metrics.height();
    }
    int x(int units) const { return (units * baseX_ + 2) / 4; }
    int y(int units) const { return (units * baseY_ + 4) / 8; }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(x(left), y(top), x(width), y(height));
    }

  private:
    int baseX_ = 1;
    int baseY_ = 1;
};

// The request blocks the GUI thread until its timeout at worst; show that it is busy.
class WaitCursorHttp final : public HttpClient {
  public:
    explicit WaitCursorHttp(HttpClient& inner) : inner_(inner) {}
    HttpResult get(const std::string& url, const std::string& userAgent,
                   std::size_t maxBytes) override {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        struct Restore {
            ~Restore() { QApplication::restoreOverrideCursor(); }
        } restore;
        return inner_.get(url, userAgent, maxBytes);
    }

  private:
    HttpClient& inner_;
};

constexpr const char* kProductAndNotice =
    "Brimtal Kestrune\n"
    "Certificate store monitor\n"
    "Copyright \u00a9 Brimtal Software.\n"
    "All rights reserved.";

}  // namespace

AboutDialog::AboutDialog(Desktop& desktop, HttpClient& http, std::string webSite)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      desktop_(desktop),
      http_(http),
      webSite_(std::move(webSite)) {
    initAboutResources();
    setWindowTitle(QStringLiteral("Brimtal Kestrune"));
    // No owner: modal for its caller only, so the tray and the other dialogs go on working.
    setWindowModality(Qt::WindowModal);

    // The dialog font: the application's family at 8 points, as the product's dialogs use.
    QFont font = QApplication::font();
    font.setPointSize(8);
    setFont(font);
    const DialogUnits du(font);
    setFixedSize(du.x(ABOUT_DIALOG_WIDTH), du.y(ABOUT_DIALOG_HEIGHT));

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    const QRect pictureRect = du.rect(ABOUT_PICTURE_RECT);
    picture->setGeometry(pictureRect);
    QPixmap pixmap(QStringLiteral(":/about/about_picture.png"));
    if (!pixmap.isNull()) {
        const qreal ratio = devicePixelRatioF();
        pixmap = pixmap.scaled(pictureRect.size() * ratio, Qt::KeepAspectRatio,
                               Qt::SmoothTransformation);
        pixmap.setDevicePixelRatio(ratio);
        picture->setPixmap(pixmap);
    }
    picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* notice = new QLabel(QString::fromUtf8(kProductAndNotice), this);
    notice->setObjectName(QStringLiteral("notice"));
    notice->setGeometry(du.rect(ABOUT_NOTICE_RECT));
    notice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    notice->setWordWrap(true);

    auto* version =
        new QLabel(QStringLiteral("Version: ") + QString::fromUtf8(kOwnVersionText), this);
    version->setObjectName(QStringLiteral("version"));
    version->setGeometry(du.rect(ABOUT_VERSION_RECT));

    auto* button = new QPushButton(QStringLiteral("Check for Updates"), this);
    button->setObjectName(QStringLiteral("checkForUpdates"));
    button->setGeometry(du.rect(ABOUT_CHECK_FOR_UPDATES_RECT));
    // Enter ends the dialog like Escape does; only a click or Space checks for updates.
    button->setAutoDefault(false);
    button->setDefault(false);
    connect(button, &QPushButton::clicked, this, &AboutDialog::runUpdateCheck);
}

void AboutDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void AboutDialog::runUpdateCheck() {
    // A click queued while a box was up must not start a second check inside the first.
    if (checking_) {
        return;
    }
    checking_ = true;
    WaitCursorHttp http(http_);
    kestrune::checkForUpdates(desktop_, http, windowRef(), webSite_);
    checking_ = false;
}

void showAboutDialog(Desktop& desktop, HttpClient& http, const std::string& webSite) {
    AboutDialog dialog(desktop, http, webSite);
    dialog.exec();
}

}  // namespace kestrune
