#include "platform/qt/qt_desktop.h"

#include "platform/qt/about_dialog.h"
#include "platform/qt/certificates_dialog.h"
#include "platform/qt/qt_tray_program.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "baseline/baseline_storage.h"
#include "baseline/scan_cycle.h"
#include "tests/platform/qt/qt_test_support.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_http.h"
#include "tests/support/fake_program.h"
#include "tests/support/memory_settings.h"
#include "ui/baseline_messages.h"
#include "ui/tray.h"

namespace kestrune {
namespace {

using testing::FakeClock;
using testing::FakeLocation;
using testing::FakeStore;
using testing::FakeStoreCatalogue;
using testing::makeCert;
using testing::MemorySettings;
using testing::qtApp;
using testing::waitUntil;

// Finds the next message box shown on the GUI thread and hands it to `act`, once.
class BoxDriver {
  public:
    explicit BoxDriver(std::function<void(QMessageBox*)> act) : act_(std::move(act)) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (box && box->isVisible()) {
                    onGuiThread = QThread::currentThread() == qApp->thread();
                    timer_.stop();
                    act_(box);
                    ++handled;
                    timer_.start();
                    return;
                }
            }
        });
        timer_.start();
    }
    int handled = 0;
    bool onGuiThread = false;

  private:
    std::function<void(QMessageBox*)> act_;
    QTimer timer_;
};

TEST(QtMessageBox, IntentsChooseButtonsAndIconAndAnswersComeBackAsAnswers) {
    qtApp();
    CaptureTrace trace;
    QtDesktop desktop(trace);
    using SB = QMessageBox::StandardButton;
    using S = Severity;
    constexpr std::optional<Choice> kTells = std::nullopt;
    struct Case {
        std::optional<Choice> choice;  // none: a box that only tells
        Severity severity;
        bool asServiceNotification;
        QMessageBox::StandardButtons buttons;
        QMessageBox::Icon icon;
        SB click;  // NoButton: close the box without a button
        Answer answer;
    };
    const Case cases[] = {
        {kTells, S::plain, false, SB::Ok, QMessageBox::NoIcon, SB::Ok, Answer::ok},
        {kTells, S::information, false, SB::Ok, QMessageBox::Information, SB::NoButton, Answer::ok},
        {kTells, S::warning, false, SB::Ok, QMessageBox::Warning, SB::Ok, Answer::ok},
        {kTells, S::error, true, SB::Ok, QMessageBox::Critical, SB::Ok, Answer::ok},
        {Choice::okCancel, S::plain, false, SB::Ok | SB::Cancel, QMessageBox::NoIcon, SB::Ok,
         Answer::ok},
        {Choice::okCancel, S::plain, false, SB::Ok | SB::Cancel, QMessageBox::NoIcon, SB::Cancel,
         Answer::cancel},
        {Choice::okCancel, S::plain, false, SB::Ok | SB::Cancel, QMessageBox::NoIcon, SB::NoButton,
         Answer::cancel},
        {Choice::yesNo, S::warning, false, SB::Yes | SB::No, QMessageBox::Warning, SB::Yes,
         Answer::yes},
        {Choice::yesNo, S::information, false, SB::Yes | SB::No, QMessageBox::Information, SB::No,
         Answer::no},
        {Choice::yesNo, S::warning, false, SB::Yes | SB::No, QMessageBox::Warning, SB::NoButton,
         Answer::no},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "choice " << (c.choice ? int(*c.choice) : -1) << " severity "
                     << int(c.severity) << " click " << int(c.click));
        QMessageBox::StandardButtons seenButtons;
        QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
        QString seenText, seenTitle;
        BoxDriver driver([&](QMessageBox* box) {
            seenButtons = box->standardButtons();
            seenIcon = box->icon();
            seenText = box->text();
            seenTitle = box->windowTitle();
            if (c.click == SB::NoButton) {
                box->close();
            } else {
                box->button(c.click)->click();
            }
        });
        if (c.choice) {
            const Answer byDefault = *c.choice == Choice::yesNo ? Answer::yes : Answer::ok;
            EXPECT_EQ(desktop.ask({.text = "line one\r\nline two",
                                   .caption = "Caption",
                                   .severity = c.severity,
                                   .choice = *c.choice,
                                   .byDefault = byDefault}),
                      c.answer);
        } else {
            desktop.inform({.text = "line one\r\nline two",
                            .caption = "Caption",
                            .severity = c.severity,
                            .asServiceNotification = c.asServiceNotification});
        }
        EXPECT_EQ(driver.handled, 1);
        EXPECT_EQ(seenButtons, c.buttons);
        EXPECT_EQ(seenIcon, c.icon);
        EXPECT_EQ(seenText, QStringLiteral("line one\nline two"));
        EXPECT_EQ(seenTitle, QStringLiteral("Caption"));
    }
}

TEST(QtMessageBox, TheQuestionWithDetailsKeepsTheBaselineOnReturnAndEscape) {
    qtApp();
    CaptureTrace trace;
    QtDesktop desktop(trace);
    // Return and Escape answer No where No is the default; with Yes the default Return is
    // Yes, as on the Windows program.
    const struct {
        Answer byDefault;
        int key;
        Answer answer;
    } cases[] = {{Answer::no, Qt::Key_Return, Answer::no},
                 {Answer::no, Qt::Key_Escape, Answer::no},
                 {Answer::yes, Qt::Key_Return, Answer::yes}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        QString details;
        BoxDriver driver([&](QMessageBox* box) {
            details = box->detailedText();
            QKeyEvent press(QEvent::KeyPress, c.key, Qt::NoModifier);
            QApplication::sendEvent(box, &press);
        });
        EXPECT_EQ(desktop.ask({.text = "Save?",
                               .caption = "Caption",
                               .severity = Severity::warning,
                               .choice = Choice::yesNo,
                               .byDefault = c.byDefault,
                               .details = "Added certificate\r\n  Name: X\r\n"}),
                  c.answer);
        EXPECT_EQ(details, QStringLiteral("Added certificate\n  Name: X\n"));
    }
}

TEST(QtMessageBox, ABoxAskedForByAWorkerIsShownByTheGuiThreadAndTheWorkerResumes) {
    qtApp();
    CaptureTrace trace;
    QtDesktop desktop(trace);
    BoxDriver driver([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
    std::atomic<Answer> answer{Answer::none};
    std::atomic<bool> resumed{false};
    std::thread worker([&] {
        answer = desktop.ask({.text = "Proceed?", .caption = "Worker"});
        resumed = true;
    });
    // The GUI thread keeps its event loop running; it never waits for the worker.
    const bool done = waitUntil([&] { return resumed.load(); }, 60000);
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(answer, Answer::yes);
    EXPECT_TRUE(driver.onGuiThread);
}

// A fixture with a cycle over fake stores and the Qt desktop.
struct QtCycle {
    QtCycle() {
        stores.locations.push_back(FakeLocation{
            "LocalMachine",
            {FakeStore{"Root", {makeCert("A", {0x0a}, 1), makeCert("B", {0x0b}, 2)}}}});
        // An empty stored baseline, so every reload succeeds without a box.
        settingsKey = settings.createKey(SettingsRoot::Machine);
        EXPECT_TRUE(saveBaseline(*settingsKey, state.mqsCertificates, 0));
    }
    QApplication& app = qtApp();  // before any widget
    CaptureTrace trace;
    QtDesktop desktop{trace};
    testing::FakeProgram fake{{.desktop = &desktop, .trace = &trace}};
    MemorySettings& settings = fake.settings;
    FakeStoreCatalogue& stores = fake.stores;
    FakeClock& clock = fake.clock;
    KestruneState& state = fake.state;
    Tray& tray = fake.tray;
    CycleCoordinator& coordinator = fake.coordinator;
    CycleContext& context = fake.context;
    std::shared_ptr<BaselineStore>& settingsKey = fake.settingsKey;
};

TEST(QtTray, TooltipsAfterAddingAndAfterACycleOnAWorker) {
    QtCycle q;
    q.state.uniqueCertificateCount = 7;
    q.tray.addTrayIcon();
    ASSERT_NE(q.desktop.trayIcon(), nullptr);
    EXPECT_EQ(q.desktop.trayIcon()->toolTip(),
              QStringLiteral("Brimtal Kestrune\nTotal Certificate Count: 7"));
    EXPECT_FALSE(q.desktop.trayIcon()->icon().isNull());

    std::thread worker([&] { scanCycle(q.context, 0); });
    const QString expected = QStringLiteral(
        "Brimtal Kestrune\nTotal Unique Certificates: 2\nLast Scan: 2026-12-08 09:05:07");
    const bool updated =
        waitUntil([&] { return q.desktop.trayIcon()->toolTip() == expected; }, 60000);
    worker.join();
    EXPECT_TRUE(updated) << q.desktop.trayIcon()->toolTip().toStdString();

    // The offscreen platform has no system tray: each notice is also a diagnostic line.
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    const std::string out = q.trace.outText();
    const auto init = out.find(
        "Tray notice (no system tray): Brimtal Kestrune: Initializing... | Brimtal Kestrune | "
        "Total Certificate Count: 7\n");
    const auto hourly = out.find(
        "Tray notice (no system tray): Brimtal Kestrune: Hourly certificate scan complete | "
        "Brimtal Kestrune | Total Unique Certificates: 2 | Last Scan: 2026-12-08 09:05:07\n");
    EXPECT_NE(init, std::string::npos) << out;
    EXPECT_NE(hourly, std::string::npos) << out;
    EXPECT_LT(init, hourly);
}

TEST(QtTray, ScanNowOnTheGuiThreadNeverWaitsForACycleThatWaitsForTheUser) {
    QtCycle q;
    q.tray.addTrayIcon();
    // The baseline lacks B: the worker's cycle stops at the added-certificate box.
    q.state.mqsCertificatesRegistry.prepareRecord(0);
    q.state.mqsCertificatesRegistry.commitRecord(0);
    q.state.mqsCertificatesRegistry[0].serialLength = 1;
    q.state.mqsCertificatesRegistry[0].serialNumber[0] = 0x0a;
    q.state.iCertificateCountTotal_Registry = 1;

    std::atomic<bool> cycleDone{false};
    std::vector<QString> captions;
    bool tryResultWhileWaiting = true;
    qint64 tryMs = -1;
    BoxDriver driver([&](QMessageBox* box) {
        captions.push_back(box->windowTitle());
        if (captions.size() == 1) {
            // Scan Now while the hourly cycle waits for this very box.
            QElapsedTimer t;
            t.start();
            tryResultWhileWaiting = q.fake.program.userScan();
            tryMs = t.elapsed();
        }
        box->button(box->standardButtons() & QMessageBox::No ? QMessageBox::No : QMessageBox::Ok)
            ->click();
    });
    std::thread worker([&] {
        scanCycle(q.context, 0);
        cycleDone = true;
    });
    const bool done = waitUntil([&] { return cycleDone.load(); }, 60000);
    worker.join();
    ASSERT_TRUE(done);
    EXPECT_FALSE(tryResultWhileWaiting);
    EXPECT_LT(tryMs, 1000);
    ASSERT_GE(captions.size(), 2u);
    EXPECT_EQ(captions[0], QStringLiteral("Brimtal Kestrune - Certificate Added"));
    EXPECT_EQ(captions.back(), QStringLiteral("Brimtal Kestrune - Certificate Changes"));
    // Once the cycle is over, Scan Now runs at once on the GUI thread.
    EXPECT_TRUE(q.fake.program.userScan());
}

TEST(QtTray, MenuHasTheListScanAboutAndExitAndAClickOpensTheList) {
    qtApp();
    CaptureTrace trace;
    QtDesktop desktop(trace);
    int about = 0;
    int certificates = 0;
    int scans = 0;
    desktop.setAboutHandler([&] { ++about; });
    desktop.setCertificatesHandler([&] { ++certificates; });
    desktop.setScanHandler([&] { ++scans; });
    KestruneState state;
    Tray tray(desktop, state);
    tray.addTrayIcon();

    ASSERT_NE(desktop.contextMenu(), nullptr);
    EXPECT_EQ(desktop.trayIcon()->contextMenu(), desktop.contextMenu());
    const auto actions = desktop.contextMenu()->actions();
    ASSERT_EQ(actions.size(), 5);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("&Show Certificates"));
    EXPECT_EQ(actions[1]->text(), QStringLiteral("Scan &Now"));
    EXPECT_TRUE(actions[2]->isSeparator());
    EXPECT_EQ(actions[3]->text(), QStringLiteral("&About"));
    EXPECT_EQ(actions[4]->text(), QStringLiteral("E&xit"));

    // Each action, then the icon as the trays deliver it: a click ("activate") and a
    // double-click open the list, the context click does not.
    const struct {
        std::function<void()> act;
        int certificates, scans, about;
    } steps[] = {
        {[&] { actions[0]->trigger(); }, 1, 0, 0},
        {[&] { actions[1]->trigger(); }, 1, 1, 0},
        {[&] { actions[3]->trigger(); }, 1, 1, 1},
        {[&] { emit desktop.trayIcon()->activated(QSystemTrayIcon::Context); }, 1, 1, 1},
        {[&] { emit desktop.trayIcon()->activated(QSystemTrayIcon::Trigger); }, 2, 1, 1},
        {[&] { emit desktop.trayIcon()->activated(QSystemTrayIcon::DoubleClick); }, 3, 1, 1},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        steps[i].act();
        EXPECT_EQ(certificates, steps[i].certificates) << i;
        EXPECT_EQ(scans, steps[i].scans) << i;
        EXPECT_EQ(about, steps[i].about) << i;
    }
}

TEST(QtTray, AClickOpensOneListWhoseScanNowRunsAUserCycleAndAboutOpensAbout) {
    QtCycle q;
    connectTrayDialogs(q.desktop, q.fake.program);
    q.tray.addTrayIcon();

    const auto openLists = [] {
        std::vector<CertificatesDialog*> out;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<CertificatesDialog*>(w); d && d->isVisible()) {
                out.push_back(d);
            }
        }
        return out;
    };
    // A click opens the list without waiting for it; a double-click and the menu bring
    // the same one forward.
    emit q.desktop.trayIcon()->activated(QSystemTrayIcon::Trigger);
    ASSERT_EQ(openLists().size(), 1u);
    CertificatesDialog* list = openLists()[0];
    emit q.desktop.trayIcon()->activated(QSystemTrayIcon::Trigger);
    emit q.desktop.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    q.desktop.contextMenu()->actions().at(0)->trigger();
    ASSERT_EQ(openLists().size(), 1u);
    EXPECT_EQ(openLists()[0], list);
    EXPECT_EQ(list->windowTitle(), QStringLiteral("Brimtal Kestrune - Certificates"));

    // The menu's Scan Now runs a user cycle; the open list shows its result by itself.
    const auto lastScan = [list] {
        return qobject_cast<QLabel*>(list->control(kIdLastScanText))->text();
    };
    EXPECT_NE(lastScan(), QStringLiteral("Last Scan: 2026-12-08 09:05:07"));
    q.desktop.contextMenu()->actions().at(1)->trigger();
    EXPECT_EQ(q.state.lastScanTime, q.clock.localTime());
    EXPECT_EQ(
        q.desktop.trayIcon()->toolTip(),
        QStringLiteral(
            "Brimtal Kestrune\nTotal Unique Certificates: 2\nLast Scan: 2026-12-08 09:05:07"));
    EXPECT_NE(q.trace.outText().find(": User initiated scan complete |"), std::string::npos);
    EXPECT_TRUE(waitUntil(
        [&] { return lastScan() == QStringLiteral("Last Scan: 2026-12-08 09:05:07"); }, 60000))
        << lastScan().toStdString();
    list->reject();
    QCoreApplication::processEvents();
    EXPECT_TRUE(openLists().empty());

    QString aboutTitle;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<AboutDialog*>(w); d && d->isVisible()) {
                aboutTitle = d->windowTitle();
                d->reject();
            }
        }
    });
    closer.start();
    q.desktop.contextMenu()->actions().at(3)->trigger();
    closer.stop();
    EXPECT_EQ(aboutTitle, QStringLiteral("Brimtal Kestrune"));
    EXPECT_TRUE(q.fake.http.requests().empty());
}

// Runs in the death test's child: a scan is stuck inside a store when Exit is chosen.
void exitWhileScanning() {
    QtCycle q;
    std::atomic<bool> scanning{false};
    q.stores.onEvent = [&](const std::string& event) {
        if (event.rfind("open ", 0) == 0) {
            scanning = true;
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    };
    std::thread([&] { scanCycle(q.context, 0); }).detach();
    if (!waitUntil([&] { return scanning.load(); }, 60000)) {
        std::fprintf(stderr, "the scan never started\n");
        return;
    }
    q.desktop.contextMenu()->actions().at(4)->trigger();
    std::fprintf(stderr, "still running after Exit\n");
}

TEST(QtTrayDeathTest, ExitEndsTheProcessWithStatusZeroWhileAScanRuns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWhileScanning(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kestrune
