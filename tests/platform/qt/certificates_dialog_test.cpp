#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <functional>
#include <future>
#include <thread>

#include "inventory/scanner.h"
#include "platform/qt/certificates_dialog.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/fake_program.h"

namespace kestrune {
namespace {

using testing::FakeLocation;
using testing::FakeStore;
using testing::makeCert;

// One application for the whole program, whichever test file needs it first.
void ensureApplication() {
    if (QApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "test_qt";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);  // lives as long as the process
    }
}

bool waitFor(const std::function<bool()>& done, int timeoutMs = 60000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return done();
}

void clickHeader(QTreeWidget* list, int column) {
    QHeaderView* header = list->header();
    const QPoint p(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                   header->height() / 2);
    const QPoint global = header->viewport()->mapToGlobal(p);
    QMouseEvent press(QEvent::MouseButtonPress, p, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, p, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &release);
}

void pressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(target, &release);
}

std::vector<std::string> columnTexts(QTreeWidget* list, int column) {
    std::vector<std::string> out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        out.push_back(list->topLevelItem(i)->text(column).toStdString());
    }
    return out;
}

QString labelText(CertificatesDialog& d, int id) {
    return qobject_cast<QLabel*>(d.control(id))->text();
}

QCheckBox* expandCheck(CertificatesDialog& d) {
    return qobject_cast<QCheckBox*>(d.control(kIdExpandCheck));
}

QPushButton* scanNow(CertificatesDialog& d) {
    return qobject_cast<QPushButton*>(d.control(kIdScanNow));
}

std::vector<CertificatesDialog*> openDialogs() {
    std::vector<CertificatesDialog*> out;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* d = qobject_cast<CertificatesDialog*>(w); d && d->isVisible()) {
            out.push_back(d);
        }
    }
    return out;
}

using Names = std::vector<std::string>;

class CertificatesDialogTest : public ::testing::Test, public testing::FakeProgram {
  protected:
    void SetUp() override {
        ensureApplication();
        clock.set({2025, 6, 7, 8, 9, 10});
        // Two copies of "beta Root" in different stores make one group of two.
        stores.locations.push_back(FakeLocation{
            "LocalMachine",
            {FakeStore{"Root",
                       {makeCert("beta Root", {0x10}, 4), makeCert("Alpha CA", {0xff, 0x01}, 2),
                        makeCert("gamma", {0x0a}, 9)}},
             FakeStore{"CA", {makeCert("beta Root", {0x10}, 4), makeCert("Delta", {0x3c}, 1)}}}});
        scan(state, stores, trace);
        state.lastScanTime = {2024, 1, 2, 3, 4, 5};
        coordinator.publish(state);
    }

    ListSortState sortState;
};

TEST_F(CertificatesDialogTest, OpensGroupedInTheDesktopFontFitsTheScreenAndKeepsItsSize) {
    QTemporaryDir config;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
    const QSize room = QGuiApplication::primaryScreen()->availableGeometry().size();
    QSize left;
    {
        CertificatesDialog d(coordinator, sortState, {});
        EXPECT_EQ(d.windowTitle(), "Brimtal Kestrune - Certificates");
        EXPECT_EQ(d.font(), QApplication::font());
        EXPECT_EQ(d.parentWidget(), nullptr);
        d.show();
        ASSERT_TRUE(waitFor([&] { return d.isVisible(); }));
        // Resizable, inside the screen, every control inside the window.
        EXPECT_NE(d.minimumSize(), d.maximumSize());
        EXPECT_LE(d.width(), room.width());
        EXPECT_LE(d.height(), room.height());
        for (const DialogControl& c : kCertificatesDialogControls) {
            EXPECT_TRUE(d.rect().contains(d.control(c.id)->geometry())) << c.id;
            EXPECT_FALSE(d.control(c.id)->geometry().isEmpty()) << c.id;
        }
        QTreeWidget* list = d.list();
        // Each column at least as wide as its longest cell.
        const QFontMetrics m(list->font());
        EXPECT_GE(list->header()->sectionSize(0), m.horizontalAdvance("beta Root"));
        EXPECT_GE(list->header()->sectionSize(1), m.horizontalAdvance("ff 01 "));
        EXPECT_EQ(list->headerItem()->text(1), "Serial Number");
        EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
        EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);

        EXPECT_FALSE(expandCheck(d)->isChecked());
        EXPECT_EQ(labelText(d, kIdUniqueText), "Unique Certificates: 4");
        EXPECT_EQ(labelText(d, kIdCountText), "Count of every certificate in every store: 5");
        EXPECT_EQ(labelText(d, kIdLastScanText), "Last Scan: 2024-01-02 03:04:05");
        ASSERT_EQ(list->topLevelItemCount(), 4);
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            EXPECT_FALSE(list->topLevelItem(i)->flags() & Qt::ItemIsEditable);
        }
        left = d.minimumSizeHint() + QSize(10, 10);
        ASSERT_NE(left, d.size());
        d.resize(left);
        d.reject();
    }
    // The next one opens at the size the last one was left at.
    CertificatesDialog again(coordinator, sortState, {});
    EXPECT_EQ(again.size(), left);
}

TEST_F(CertificatesDialogTest, ANewPublishedScanIsShownWhileTheListIsOpen) {
    CertificatesDialog d(coordinator, sortState, {});
    d.show();
    ASSERT_EQ(d.list()->topLevelItemCount(), 4);
    stores.locations[0].stores[1].certs.push_back(makeCert("Epsilon New", {0x77}, 7));
    scan(state, stores, trace);
    coordinator.publish(state);
    EXPECT_TRUE(waitFor([&] { return d.list()->topLevelItemCount() == 5; }));
    EXPECT_EQ(labelText(d, kIdUniqueText), "Unique Certificates: 5");
}

TEST_F(CertificatesDialogTest, CheckBoxSwitchesBetweenGroupedAndExpandedRows) {
    CertificatesDialog d(coordinator, sortState, {});
    d.show();
    QTreeWidget* list = d.list();
    EXPECT_EQ(list->topLevelItemCount(), 4);
    const QTreeWidgetItem* beta = list->findItems("beta Root", Qt::MatchExactly).value(0);
    ASSERT_NE(beta, nullptr);
    EXPECT_EQ(beta->text(1), "10 ");
    EXPECT_EQ(beta->text(2), "Store count: 02     (LocalMachine\\Root...)");

    expandCheck(d)->click();
    EXPECT_EQ(list->topLevelItemCount(), 5);
    EXPECT_EQ(list->findItems("beta Root", Qt::MatchExactly).size(), 2);
    EXPECT_EQ(list->findItems("LocalMachine\\CA", Qt::MatchExactly, 2).size(), 2);

    expandCheck(d)->click();
    EXPECT_EQ(list->topLevelItemCount(), 4);
}

// The order itself is the list model's (tests/core/ui): here, that a header click sorts
// the items by it with the state the dialog is given, keeping the user's selection.
TEST_F(CertificatesDialogTest, HeaderClicksSortByTheSharedState) {
    CertificatesDialog d(coordinator, sortState, {});
    d.show();
    ASSERT_TRUE(waitFor([&] { return d.isVisible(); }));
    QTreeWidget* list = d.list();
    list->topLevelItem(0)->setSelected(true);
    const QString selectedName = list->topLevelItem(0)->text(0);

    QHeaderView* header = list->header();
    EXPECT_FALSE(header->isSortIndicatorShown());  // the grouped order
    clickHeader(list, 0);
    EXPECT_EQ(columnTexts(list, 0), (Names{"Alpha CA", "beta Root", "Delta", "gamma"}));
    EXPECT_TRUE(header->isSortIndicatorShown());
    EXPECT_EQ(header->sortIndicatorSection(), 0);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    EXPECT_EQ(sortState.listSortDirection(), -1);
    clickHeader(list, 0);
    EXPECT_EQ(columnTexts(list, 0), (Names{"gamma", "Delta", "beta Root", "Alpha CA"}));
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(sortState.listSortDirection(), 1);
    ASSERT_EQ(list->selectedItems().size(), 1);
    EXPECT_EQ(list->selectedItems()[0]->text(0), selectedName);
}

// The press rule itself is ScanNow's (tests/core/ui): here, that the button runs it with
// this dialog's controls, retries from the event loop while another thread's cycle holds
// the turn (the GUI keeps running), and shows the cycle's result once it ran.
TEST_F(CertificatesDialogTest, ScanNowRunsTheUserCycleOnceTheTurnIsFreeAndRefills) {
    std::promise<void> held;
    std::promise<void> release;
    std::thread worker([&] {
        const auto turn = coordinator.begin();
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();

    stores.locations[0].stores[0].certs.push_back(makeCert("Zeta Late", {0x5a}, 12));
    int attempts = 0;
    bool alwaysBusy = true;
    CertificatesDialog d(coordinator, sortState, [&] {
        ++attempts;
        alwaysBusy = alwaysBusy && !d.list()->isEnabled() && !scanNow(d)->isEnabled() &&
                     !expandCheck(d)->isEnabled() && d.cursor().shape() == Qt::WaitCursor;
        return program.userScan();
    });
    d.show();
    scanNow(d)->click();
    const bool retried = waitFor([&] { return attempts >= 3; });
    EXPECT_TRUE(retried);
    EXPECT_FALSE(scanNow(d)->isEnabled());
    EXPECT_EQ(d.list()->findItems("Zeta Late", Qt::MatchExactly).size(), 0);

    release.set_value();
    worker.join();
    ASSERT_TRUE(waitFor([&] { return scanNow(d)->isEnabled(); }));
    EXPECT_TRUE(alwaysBusy);
    EXPECT_EQ(d.cursor().shape(), Qt::ArrowCursor);
    EXPECT_TRUE(d.list()->isEnabled());
    EXPECT_TRUE(expandCheck(d)->isEnabled());
    EXPECT_EQ(labelText(d, kIdCountText), "Count of every certificate in every store: 6");
    EXPECT_EQ(labelText(d, kIdLastScanText), "Last Scan: 2025-06-07 08:09:10");
    EXPECT_EQ(d.list()->findItems("Zeta Late", Qt::MatchExactly).size(), 1);
    EXPECT_EQ(d.list()->topLevelItemCount(), 5);
}

// Run inside the dialog's own event loop: showCertificatesDialog returns only when the
// dialog ends. A guard timer ends a dialog that would not close, so a fault fails the
// test instead of hanging it.
TEST_F(CertificatesDialogTest, EnterLeavesTheDialogOpenAndEscapeClosesIt) {
    int scans = 0;
    bool openAfterEnter = false;
    bool scannedByEnterOnButton = false;
    bool closedByEscape = false;
    QTimer::singleShot(0, [&] {
        auto dialogs = openDialogs();
        ASSERT_EQ(dialogs.size(), 1u);
        CertificatesDialog* d = dialogs[0];
        d->list()->setFocus();
        pressKey(d->list(), Qt::Key_Return);
        pressKey(d->list(), Qt::Key_Enter);
        waitFor([] { return false; }, 50);
        openAfterEnter = d->isVisible() && scans == 0;

        scanNow(*d)->setFocus();
        pressKey(scanNow(*d), Qt::Key_Return);
        scannedByEnterOnButton = waitFor([&] { return scans == 1 && scanNow(*d)->isEnabled(); });
        EXPECT_TRUE(d->isVisible());

        pressKey(d->list(), Qt::Key_Escape);
        closedByEscape = !d->isVisible();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        for (CertificatesDialog* d : openDialogs()) {
            d->done(0);
        }
    });
    guard.start(10000);
    showCertificatesDialog(coordinator, sortState, [&] {
        ++scans;
        return true;
    });
    EXPECT_TRUE(openAfterEnter);
    EXPECT_TRUE(scannedByEnterOnButton);
    EXPECT_TRUE(closedByEscape);
    EXPECT_TRUE(guard.isActive());
}

TEST_F(CertificatesDialogTest, EveryCallOpensAnotherDialog) {
    std::size_t openWhileNested = 0;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(0, [&] {
            openWhileNested = openDialogs().size();
            for (CertificatesDialog* d : openDialogs()) {
                d->close();  // the close box
            }
        });
        showCertificatesDialog(coordinator, sortState, {});
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        for (CertificatesDialog* d : openDialogs()) {
            d->done(0);
        }
    });
    guard.start(10000);
    showCertificatesDialog(coordinator, sortState, {});
    EXPECT_EQ(openWhileNested, 2u);
    EXPECT_TRUE(openDialogs().empty());
}

}  // namespace
}  // namespace kestrune
