#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "platform/qt/about_dialog.h"
#include "tests/support/fake_http.h"
#include "tests/support/scripted_desktop.h"

namespace kestrune {
namespace {

using testing::DesktopCall;
using testing::FakeHttpClient;
using testing::ScriptedDesktop;

constexpr const char* kSite = "http://updates.test";

// One application object for the whole program, whoever asks first. It is never
// destroyed: tearing Qt down among the exit handlers crashes.
void ensureApplication() {
    if (QApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "test_qt";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
    }
}

QStringList labelTexts(const QWidget& w) {
    QStringList texts;
    for (const auto* label : w.findChildren<QLabel*>()) {
        texts << label->text();
    }
    return texts;
}

void pressKey(QWidget& w, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&w, &press);
}

// Should the dialog not come up as the test expects, every window is closed when the
// guard fires, so the test ends rather than hangs.
void closeEveryWindowAfter(QTimer& guard, int ms) {
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        for (auto* w : QApplication::topLevelWidgets()) {
            w->close();
        }
    });
    guard.start(ms);
}

TEST(AboutDialog, CaptionTextsPictureAndTwoButtonsInAFrameThatFitsThem) {
    ensureApplication();
    ScriptedDesktop desktop;
    FakeHttpClient http;
    AboutDialog dialog(desktop, http, kSite);
    dialog.show();

    EXPECT_EQ(dialog.windowTitle(), "Brimtal Kestrune");
    EXPECT_EQ(dialog.parentWidget(), nullptr);
    const QStringList texts = labelTexts(dialog);
    EXPECT_TRUE(texts.contains("Version: 1.0.0")) << texts.join("|").toStdString();
    const auto notice = dialog.findChild<QLabel*>("notice");
    ASSERT_NE(notice, nullptr);
    EXPECT_TRUE(notice->text().startsWith("Brimtal Kestrune\n"));
    EXPECT_TRUE(notice->text().contains("Brimtal Software"));

    const auto picture = dialog.findChild<QLabel*>("picture");
    ASSERT_NE(picture, nullptr);
    EXPECT_FALSE(picture->pixmap().isNull()) << "the picture resource is not linked in";

    const auto buttons = dialog.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(buttons[0]->text(), "Check for Updates");
    EXPECT_EQ(buttons[1]->text(), "Close");
    EXPECT_EQ(dialog.font(), QApplication::font());

    // Not resizable, as large as its content asks and inside the screen, every control
    // inside it with its whole text.
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_EQ(dialog.size(), dialog.sizeHint());
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().size().boundedTo(
                    dialog.size()) == dialog.size());
    for (const auto* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(dialog.rect().contains(child->geometry())) << child->objectName().toStdString();
        EXPECT_FALSE(child->geometry().isEmpty()) << child->objectName().toStdString();
        EXPECT_GE(child->width(), child->minimumSizeHint().width())
            << child->objectName().toStdString();
    }
    // The button sits below the version line, which sits below the notice.
    EXPECT_GT(buttons[0]->y(), dialog.findChild<QLabel*>("version")->y());
    EXPECT_GT(dialog.findChild<QLabel*>("version")->y(), notice->geometry().bottom());
    buttons[1]->click();
    EXPECT_FALSE(dialog.isVisible());
}

TEST(AboutDialog, ButtonAsksOwnedByTheDialogAndCancelSendsNothing) {
    ensureApplication();
    ScriptedDesktop desktop;
    desktop.script({Answer::cancel});
    FakeHttpClient http;
    AboutDialog dialog(desktop, http, kSite);
    dialog.show();

    dialog.findChild<QPushButton*>("checkForUpdates")->click();

    const auto calls = desktop.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].caption, "Brimtal Kestrune: Check for updates");
    EXPECT_EQ(testing::intentOf(calls[0]), "plain ok/cancel question, default ok");
    EXPECT_EQ(calls[0].owner, reinterpret_cast<WindowRef>(static_cast<QWidget*>(&dialog)));
    EXPECT_TRUE(http.requests().empty());
    EXPECT_TRUE(dialog.isVisible());
}

TEST(AboutDialog, ButtonRunsTheWholeCheckAndYesOpensTheProductPage) {
    ensureApplication();
    ScriptedDesktop desktop;
    desktop.script({Answer::ok, Answer::yes});
    FakeHttpClient http;
    http.answer(FakeHttpClient::ok("1.2.0\n"));
    AboutDialog dialog(desktop, http, kSite);
    dialog.show();

    dialog.findChild<QPushButton*>("checkForUpdates")->click();

    ASSERT_EQ(http.requests().size(), 1u);
    EXPECT_EQ(http.requests()[0].url, "http://updates.test/software/kestrune/CurrentVersion.txt");
    const auto calls = desktop.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].text, kNewerAvailableText);
    EXPECT_EQ(calls[2].kind, DesktopCall::Kind::OpenUrl);
    EXPECT_EQ(calls[2].text, "http://updates.test/software/kestrune/");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the wait cursor stays after the check";
}

TEST(AboutDialog, EscapeAndEnterCloseWithoutChecking) {
    ensureApplication();
    for (int key : {Qt::Key_Escape, Qt::Key_Return}) {
        ScriptedDesktop desktop;
        FakeHttpClient http;
        AboutDialog dialog(desktop, http, kSite);
        dialog.show();
        dialog.findChild<QPushButton*>("checkForUpdates")->setFocus();
        pressKey(dialog, key);
        EXPECT_FALSE(dialog.isVisible()) << key;
        EXPECT_EQ(dialog.result(), key == Qt::Key_Escape ? QDialog::Rejected : QDialog::Accepted);
        EXPECT_TRUE(desktop.calls().empty());
    }
}

TEST(AboutDialog, OpensModallyWithNoOwnerAndReturnsWhenClosed) {
    ensureApplication();
    ScriptedDesktop desktop;
    FakeHttpClient http;
    QString seenTitle;
    bool seenModal = false;
    bool seen = false;
    const QWidget* seenParent = nullptr;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) {
            return;
        }
        seen = true;
        seenTitle = modal->windowTitle();
        seenModal = modal->isModal();
        seenParent = modal->parentWidget();
        modal->close();
    });
    QTimer guard;
    closeEveryWindowAfter(guard, 5000);

    showAboutDialog(desktop, http, kSite);

    ASSERT_TRUE(seen) << "no modal window while the dialog was open";
    EXPECT_EQ(seenTitle, "Brimtal Kestrune");
    EXPECT_TRUE(seenModal);
    EXPECT_EQ(seenParent, nullptr);
}

TEST(AboutDialog, BlocksNoOtherWindowOpenBeforeOrWhileItIsOpen) {
    ensureApplication();
    ScriptedDesktop desktop;
    FakeHttpClient http;
    // A window is told QEvent::WindowBlocked when a modal dialog takes its input.
    struct BlockWatch : QObject {
        bool blocked = false;
        bool eventFilter(QObject*, QEvent* e) override {
            blocked = blocked || e->type() == QEvent::WindowBlocked;
            return false;
        }
    };
    BlockWatch before;
    BlockWatch during;
    QWidget earlier;
    earlier.installEventFilter(&before);
    earlier.show();
    QWidget later;  // as the certificates dialog opened from the tray
    later.installEventFilter(&during);
    bool opened = false;
    QTimer::singleShot(0, [&] {
        QWidget* about = QApplication::activeModalWidget();
        opened = about != nullptr;
        later.show();
        QCoreApplication::processEvents();
        if (about != nullptr) {
            about->close();
        }
    });
    QTimer guard;
    closeEveryWindowAfter(guard, 5000);

    showAboutDialog(desktop, http, kSite);

    ASSERT_TRUE(opened);
    EXPECT_FALSE(before.blocked);
    EXPECT_FALSE(during.blocked);
}

}  // namespace
}  // namespace kestrune
