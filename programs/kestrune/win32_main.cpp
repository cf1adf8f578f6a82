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

#include "app/ports.h"
#include "app/tray_program.h"
#include "platform/platform.h"
#include "platform/win32/desktop/tray_window.h"
#include "platform/win32/desktop/win32_desktop.h"
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

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    prepareStream(stdout);
    prepareStream(stderr);
    const std::vector<std::string> arguments = commandLineArguments();

    // Everything the two threads share, made once and never freed: the process ends
    // through Exit or a fatal error, never by unwinding.
    auto* trace = new StdTrace;
    auto* desktop = new win32::Win32Desktop(*trace, GetModuleHandleW(nullptr));
    auto* platform = new PlatformPorts(makePorts(defaultPlatformOptions(), *trace));
    auto* program = new TrayProgram(platform->ports(), *desktop, *trace);
    program->endProcess = [](int status) { TerminateProcess(GetCurrentProcess(), status); };
    auto* ui = new win32::UiProgram(*program, kDefaultWebSite);

    MainRoutineHooks hooks;
    hooks.initialise = [] { InitCommonControls(); };
    hooks.startUi = [ui] {
        // Default stack, running at once; the handle is not kept.
        const HANDLE thread = CreateThread(nullptr, 0, win32::uiThread, ui, 0, nullptr);
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    };
    // Returns only when the program cannot go on; end at once, whatever the UI thread
    // is doing.
    program->endProcess(program->run(arguments, hooks));
    return 0;
}
