#include "platform/qt/qt_tray_program.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/platform_factory.h"
#include "app/startup.h"
#include "platform/qt/about_dialog.h"
#include "platform/qt/certificates_dialog.h"
#include "platform/qt/display_check.h"
#include "ui/tray.h"

namespace kestrune {

namespace {

constexpr int kTrayIconDelayMs = 3000;

}  // namespace

void startQtUi(QtDesktop& desktop, Tray& tray) {
    QMetaObject::invokeMethod(
        &desktop,
        [&desktop, &tray] {
            QTimer::singleShot(kTrayIconDelayMs, &desktop, [&tray] { tray.addTrayIcon(); });
        },
        Qt::QueuedConnection);
}

void connectTrayDialogs(QtDesktop& desktop, CycleContext& cycle, ListSortState& sortState,
                        HttpClient& http) {
    // Double-click: the certificate list over the coordinator's snapshot. Scan Now runs
    // the cycle on the GUI thread, and only when no other cycle runs: the GUI thread
    // never waits for the cycle turn (the dialog retries from its event loop).
    desktop.setCertificatesHandler([&cycle, &sortState] {
        showCertificatesDialog(cycle.coordinator, sortState,
                               [&cycle] { return tryScanCycle(cycle, 1); });
    });
    desktop.setAboutHandler([&desktop, &http] { showAboutDialog(desktop, http); });
}

int kestruneQtMain(int argc, char** argv) {
    // Line by line, so the diagnostic trace is in the file when Exit ends the process
    // without flushing anything.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (!displayConfigured()) {
        std::fputs(kNoDisplayMessage, stderr);
        return kExitNoDisplay;
    }
    // Every argument as given, before Qt takes its own options out of argv.
    const std::vector<std::string> arguments(argv, argv + argc);

    std::unique_ptr<QApplication> app;
    {
        DisplayFailureGuard guard;
        app = std::make_unique<QApplication>(argc, argv);
    }
    QApplication::setApplicationName(QStringLiteral("kestrune"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(kestruneIcon());

    // Owned by the process, never freed: the worker is never joined, and the process
    // ends through Exit or a fatal error, not by unwinding (a destructor racing the
    // worker would be worse than nothing).
    struct Program {
        explicit Program(const PlatformOptions& options)
            : stores(makeCertStoreApi(options, trace)),
              settings(makeSettingsApi(options)),
              http(makeHttpClient()),
              desktop(trace),
              tray(desktop, state),
              cycle{state, *stores, desktop, clock, trace, tray, coordinator} {}
        StdTrace trace;
        std::unique_ptr<CertStoreApi> stores;
        std::unique_ptr<SettingsApi> settings;
        std::unique_ptr<HttpClient> http;
        KestruneState state;
        QtDesktop desktop;
        Tray tray;
        CycleCoordinator coordinator;
        SystemClock clock;
        CycleContext cycle;
        ListSortState sortState;  // the list's sort direction lives as long as the process
    };
    Program* program = new Program(defaultPlatformOptions());

    connectTrayDialogs(program->desktop, program->cycle, program->sortState, *program->http);

    MainRoutineHooks hooks;
    hooks.startUi = [program] { startQtUi(program->desktop, program->tray); };
    std::thread([program, arguments, hooks] {
        runTrayProgram(arguments, program->cycle, *program->settings, hooks);
    }).detach();

    const int status = QApplication::exec();
    // Only a session ending the event loop gets here; end as Exit does, without tearing
    // down what the worker still uses.
    std::_Exit(status);
}

}  // namespace kestrune
