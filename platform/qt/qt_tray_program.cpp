#include "platform/qt/qt_tray_program.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/ports.h"
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
    auto* program = new TrayProgram(makePorts(defaultPlatformOptions(), *trace), *desktop, *trace);
    program->endProcess = [](int status) {
        std::fflush(stdout);
        std::_Exit(status);
    };
    connectTrayDialogs(*desktop, *program);

    MainRoutineHooks hooks;
    hooks.startUi = [desktop, program] { startQtUi(*desktop, program->tray); };
    std::thread([program, arguments, hooks] {
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
