#include "platform/qt/about_dialog.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRect>
#include <QVBoxLayout>

// The dialog's picture lives in a static library's resources, which are linked only
// when something names them.
static void initAboutResources() {
    Q_INIT_RESOURCE(about);
}

namespace kestrune {
namespace {

// The picture's width in text lines: it scales with the desktop's font and the screen.
constexpr int kPictureLines = 3;

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

AboutDialog::AboutDialog(Notifier& desktop, HttpClient& http, std::string webSite)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      desktop_(desktop),
      http_(http),
      webSite_(std::move(webSite)) {
    initAboutResources();
    setWindowTitle(QStringLiteral("Brimtal Kestrune"));
    // No owner: modal for its caller only, so the tray and the other dialogs go on working.
    setWindowModality(Qt::WindowModal);

    // The desktop's font, and a frame that fits what it holds at any font size and
    // scale: laid out, not placed.
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    QPixmap pixmap(QStringLiteral(":/about/about_picture.png"));
    if (!pixmap.isNull()) {
        const qreal ratio = devicePixelRatioF();
        const int height = kPictureLines * 2 * fontMetrics().height();
        pixmap = pixmap.scaledToHeight(qRound(height * ratio), Qt::SmoothTransformation);
        pixmap.setDevicePixelRatio(ratio);
        picture->setPixmap(pixmap);
    }
    picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* notice = new QLabel(QString::fromUtf8(kProductAndNotice), this);
    notice->setObjectName(QStringLiteral("notice"));
    notice->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* version =
        new QLabel(QStringLiteral("Version: ") + QString::fromUtf8(kOwnVersionText), this);
    version->setObjectName(QStringLiteral("version"));

    auto* button = new QPushButton(QStringLiteral("Check for Updates"), this);
    button->setObjectName(QStringLiteral("checkForUpdates"));
    // Enter ends the dialog like Escape does; only a click or Space checks for updates.
    button->setAutoDefault(false);
    button->setDefault(false);
    connect(button, &QPushButton::clicked, this, &AboutDialog::runUpdateCheck);

    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("close"));
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(button);
    buttons->addStretch(1);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(picture);
    layout->addWidget(notice);
    layout->addSpacing(fontMetrics().height() / 2);
    layout->addWidget(version);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
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

void showAboutDialog(Notifier& desktop, HttpClient& http, const std::string& webSite) {
    AboutDialog dialog(desktop, http, webSite);
    dialog.exec();
}

}  // namespace kestrune
