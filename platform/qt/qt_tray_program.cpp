#include "platform/qt/qt_tray_program.h"

#include <sys/stat.h>

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/ports.h"
#include "platform/platform.h"
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

namespace {

// The program's trace: the per-record scan lines on standard output only when asked for
// (--trace); warnings and errors always on standard error.
class LaunchTrace final : public Trace {
  public:
    explicit LaunchTrace(bool traceOn) : traceOn_(traceOn) {}
    void out(std::string_view text) override {
        if (traceOn_) {
            std::fwrite(text.data(), 1, text.size(), stdout);
        }
    }
    void err(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stderr); }

  private:
    bool traceOn_;
};

}  // namespace

void connectTrayDialogs(QtDesktop& desktop, TrayProgram& program) {
    // A click, the menu and a later launch: the certificate list over the coordinator's
    // snapshot, one window at a time. Scan Now runs the cycle on the GUI thread, and only
    // when no other cycle runs: the GUI thread never waits for the cycle turn.
    auto* list = new CertificatesList(
        program.coordinator, program.sortState, [&program] { return program.userScan(); },
        &desktop);
    list->setShownHandler([&program](CertificatesDialog& dialog) {
        const QSize size = dialog.size();
        program.trace.errf("Certificate list shown: %dx%d\n", size.width(), size.height());
    });
    desktop.setCertificatesHandler([list] { list->open(); });
    // The menu's Scan Now: a user cycle now, or once the running one is over.
    auto* retry = new QTimer(&desktop);
    retry->setSingleShot(true);
    retry->setInterval(kScanRetryMs);
    QObject::connect(retry, &QTimer::timeout, &desktop, [&program, retry] {
        if (!program.userScan()) {
            retry->start();
        }
    });
    desktop.setScanHandler([&program, retry] {
        if (!retry->isActive() && !program.userScan()) {
            retry->start();
        }
    });
    desktop.setAboutHandler([&desktop, &program] { showAboutDialog(desktop, program.ports.http); });
}

namespace {

// --help, a wrong option and a missing display end the launch before anything starts.
std::optional<int> endBeforeStart(const LaunchOptions& options) {
    if (options.help) {
        std::fputs(kUsageText, stdout);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "kestrune: %s\nTry 'kestrune --help'.\n", options.error.c_str());
        return kExitUsage;
    }
    if (!displayConfigured()) {
        std::fputs(kNoDisplayMessage, stderr);
        return kExitNoDisplay;
    }
    return std::nullopt;
}

// Qt creates the runtime folder the environment names when it is missing; one that is
// not there is not this program's to make (the session lock manages without it).
void forgetMissingRuntimeFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr) {
        struct stat folder {};
        if (::stat(runtime, &folder) != 0 || !S_ISDIR(folder.st_mode)) {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }
}

// Qt keeps a reference to argc for the application's whole life.
std::unique_ptr<QApplication> makeApplication(int& argc, char** argv) {
    std::unique_ptr<QApplication> app;
    {
        DisplayFailureGuard guard;
        app = std::make_unique<QApplication>(argc, argv);
    }
    QApplication::setApplicationName(QStringLiteral("kestrune"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(kestruneIcon());
    return app;
}

// The first launch of a menu action starts the monitor and opens what it asked for.
void openRequested(QtDesktop* desktop, SessionRequest request) {
    if (request == SessionRequest::Certificates) {
        QTimer::singleShot(0, desktop, [desktop] { desktop->openCertificates(); });
    } else if (request == SessionRequest::About) {
        QTimer::singleShot(0, desktop, [desktop] { desktop->openAbout(); });
    }
}

// The scan role on a worker thread, never joined: the GUI thread is Qt's.
void startScanRole(TrayProgram* program, QtDesktop* desktop,
                   const std::vector<std::string>& arguments) {
    MainRoutineHooks hooks;
    hooks.startUi = [desktop, program] { startQtUi(*desktop, program->tray); };
    // The options are the front end's own; the program's argument echo never sees them.
    const std::vector<std::string> programArguments(arguments.begin(), arguments.begin() + 1);
    std::thread([program, arguments = programArguments, hooks] {
        // Returns only when the program cannot go on; end at once from this thread,
        // without tearing down what the GUI thread still uses.
        program->endProcess(program->run(arguments, hooks));
    }).detach();
}

}  // namespace

int kestruneQtMain(int argc, char** argv) {
    // Line by line, so the diagnostic trace is in the file when Exit ends the process
    // without flushing anything.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Every argument as given, before Qt takes its own options out of argv.
    const std::vector<std::string> arguments(argv, argv + argc);
    const LaunchOptions options = parseLaunchOptions(arguments);
    if (const std::optional<int> status = endBeforeStart(options)) {
        return *status;
    }
    forgetMissingRuntimeFolder();
    const std::unique_ptr<QApplication> app = makeApplication(argc, argv);

    // Owned by the process, never freed: the worker is never joined, and the process
    // ends through Exit or a fatal error, not by unwinding (a destructor racing the
    // worker would be worse than nothing). What the desktop and the session say (notices
    // without a tray, a request handed over) always goes out; the scan trace on request.
    auto* said = new StdTrace;
    auto* trace = new LaunchTrace(options.trace);
    auto* desktop = new QtDesktop(*said);
    // One monitor per session: a later launch hands its request over and ends here,
    // before it opens a store or the settings.
    const SessionRequest request = options.request;
    auto* session = new SessionService(*desktop);
    if (const std::optional<int> handedOver = claimSession(*session, request, *said)) {
        std::fflush(stdout);
        std::_Exit(*handedOver);
    }
    auto* platform = new PlatformPorts(makePorts(defaultPlatformOptions(), *trace));
    auto* program = new TrayProgram(platform->ports(), *desktop, *trace);
    program->askCarefully();
    program->endProcess = [](int status) {
        std::fflush(stdout);
        std::_Exit(status);
    };
    connectTrayDialogs(*desktop, *program);
    openRequested(desktop, request);
    startScanRole(program, desktop, arguments);

    const int status = QApplication::exec();
    // Only a session ending the event loop gets here; end as Exit does, without tearing
    // down what the worker still uses.
    std::_Exit(status);
}

}  // namespace kestrune
