// kestrune.exe: the tray program on Windows. The main thread is the scan role (start-up,
// then a cycle every hour); a second thread owns the window, the tray icon and the
// dialogs.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/platform_factory.h"
#include "app/startup.h"
#include "platform/win32/tray_window.h"
#include "platform/win32/win32_desktop.h"
#include "platform/win32/win32_text.h"
#include "ui/update_check.h"

namespace {

using namespace kestrune;

struct LocalFreer {
    void operator()(LPWSTR* p) const { LocalFree(p); }
};

std::vector<std::string> commandLineArguments() {
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::string> arguments;
    for (int i = 0; argv && i < count; ++i) {
        arguments.push_back(win32::narrow(argv.get()[i]));
    }
    return arguments;
}

// The trace goes out byte for byte (its lines carry their own \r\n) and unbuffered:
// Exit ends the process without flushing anything.
void prepareStream(FILE* stream) {
    std::setvbuf(stream, nullptr, _IONBF, 0);
    const int fd = _fileno(stream);
    if (fd >= 0) {
        _setmode(fd, _O_BINARY);
    }
}

// Everything the two threads share, made once and never freed: the process ends through
// Exit or a fatal error, never by unwinding.
struct Program {
    explicit Program(const PlatformOptions& options)
        : stores(makeCertStoreApi(options, trace)),
          settings(makeSettingsApi(options)),
          http(makeHttpClient()),
          desktop(trace, GetModuleHandleW(nullptr)),
          tray(desktop, state),
          cycle{state, *stores, desktop, clock, trace, tray, coordinator},
          ui(cycle, *http, kDefaultWebSite) {}
    StdTrace trace;
    std::unique_ptr<CertStoreApi> stores;
    std::unique_ptr<SettingsApi> settings;
    std::unique_ptr<HttpClient> http;
    KestruneState state;
    win32::Win32Desktop desktop;
    Tray tray;
    CycleCoordinator coordinator;
    SystemClock clock;
    CycleContext cycle;
    win32::UiProgram ui;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    prepareStream(stdout);
    prepareStream(stderr);
    const std::vector<std::string> arguments = commandLineArguments();

    Program* program = new Program(defaultPlatformOptions());
    win32::setUiProgram(&program->ui);

    echoArguments(arguments, program->desktop);
    // Reserved for installer and service modes this program does not have.
    (void)reservedWord(arguments);

    InitCommonControls();
    MainRoutineHooks hooks;
    hooks.startUi = [] {
        // Default stack, no parameter, running at once; the handle is not kept.
        const HANDLE thread = CreateThread(nullptr, 0, win32::uiThread, nullptr, 0, nullptr);
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    };
    mainRoutine(program->cycle, *program->settings, hooks);
    return 0;
}
