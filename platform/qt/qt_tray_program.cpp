#include "platform/qt/qt_tray_program.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/ports.h"
#include "platform/qt/about_dialog.h"
#include "platform/qt/certificates_dialog.h"
#include "platform/qt/display_check.h"
#include "platform/qt/session_instance.h"
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

void connectTrayDialogs(QtDesktop& desktop, TrayProgram& program) {
    // Double-click: the certificate list over the coordinator's snapshot. Scan Now runs
    // the cycle on the GUI thread, and only when no other cycle runs: the GUI thread
    // never waits for the cycle turn (the dialog retries from its event loop).
    desktop.setCertificatesHandler([&program] {
        showCertificatesDialog(program.coordinator, program.sortState,
                               [&program] { return program.userScan(); });
    });
    desktop.setAboutHandler([&desktop, &program] { showAboutDialog(desktop, program.ports.http); });
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
    auto* trace = new StdTrace;
    auto* desktop = new QtDesktop(*trace);
    // One monitor per session: a later launch hands its request over and ends here,
    // before it opens a store or the settings.
    const SessionRequest request = sessionRequest(arguments);
    auto* session = new SessionService(*desktop);
    if (const std::optional<int> handedOver = claimSession(*session, request, *trace)) {
        std::fflush(stdout);
        std::_Exit(*handedOver);
    }
    auto* program = new TrayProgram(makePorts(defaultPlatformOptions(), *trace), *desktop, *trace);
    program->endProcess = [](int status) {
        std::fflush(stdout);
        std::_Exit(status);
    };
    connectTrayDialogs(*desktop, *program);
    // The first launch of a menu action starts the monitor and opens what it asked for.
    if (request == SessionRequest::Certificates) {
        QTimer::singleShot(0, desktop, [desktop] { desktop->openCertificates(); });
    } else if (request == SessionRequest::About) {
        QTimer::singleShot(0, desktop, [desktop] { desktop->openAbout(); });
    }

    MainRoutineHooks hooks;
    hooks.startUi = [desktop, program] { startQtUi(*desktop, program->tray); };
    // A session request is the front end's own; the program's argument echo never sees it.
    const std::vector<std::string> programArguments =
        request == SessionRequest::Monitor
            ? arguments
            : std::vector<std::string>(arguments.begin(), arguments.begin() + 1);
    std::thread([program, arguments = programArguments, hooks] {
        // Returns only when the program cannot go on; end at once from this thread,
        // without tearing down what the GUI thread still uses.
        program->endProcess(program->run(arguments, hooks));
    }).detach();

    const int status = QApplication::exec();
    // Only a session ending the event loop gets here; end as Exit does, without tearing
    // down what the worker still uses.
    std::_Exit(status);
}

}  // namespace kestrune
