#include "tests/platform/win32/gui_driver.h"

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <cstdlib>

#include "platform/win32/win32_text.h"

namespace kestrune::testing {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(50);

std::wstring classOf(HWND window) {
    wchar_t name[256] = {};
    const int n = GetClassNameW(window, name, 256);
    return std::wstring(name, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace

std::string narrowText(const std::wstring& text) {
    return win32::narrow(text.c_str(), text.size());
}

std::wstring widenText(const std::string& utf8) {
    return win32::widen(utf8);
}

ChildProcess::ChildProcess(const std::wstring& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        startError_ = "CreatePipe: " + win32::errorText(GetLastError());
        return;
    }
    UniqueHandle reader(readEnd);
    UniqueHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &info)) {
        startError_ =
            "CreateProcessW " + narrowText(program) + ": " + win32::errorText(GetLastError());
        return;
    }
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    id_ = info.dwProcessId;
    writer.reset();  // only the child holds the write end now: its exit ends the reads
    reader_ = std::thread([this, pipe = std::move(reader)] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
            std::lock_guard lock(mutex_);
            output_.append(buffer, got);
        }
    });
}

ChildProcess::~ChildProcess() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 10000);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

std::string ChildProcess::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

std::size_t ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                                        std::size_t from) const {
    std::size_t at = std::string::npos;
    waitUntil(
        [&] {
            const std::string out = output();
            at = from <= out.size() ? out.find(text, from) : std::string::npos;
            return at != std::string::npos;
        },
        timeout);
    return at;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout, DWORD* status) {
    if (!process_ ||
        WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return false;
    }
    GetExitCodeProcess(process_.get(), status);
    return true;
}

namespace {

struct WindowSearch {
    DWORD processId = 0;
    std::vector<TopWindow> found;
};

BOOL CALLBACK collectTopWindow(HWND window, LPARAM parameter) {
    auto* s = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == s->processId) {
        s->found.push_back(
            {window, classOf(window), windowText(window), IsWindowVisible(window) != 0});
    }
    return TRUE;
}

struct TextSearch {
    std::wstring text;
};

BOOL CALLBACK findStaticText(HWND child, LPARAM parameter) {
    auto* s = reinterpret_cast<TextSearch*>(parameter);
    if (_wcsicmp(classOf(child).c_str(), L"Static") == 0) {
        std::wstring text = windowText(child);
        if (!text.empty()) {
            s->text = std::move(text);
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

std::vector<TopWindow> topWindows(DWORD processId) {
    WindowSearch search;
    search.processId = processId;
    EnumWindows(collectTopWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

HWND waitForWindow(const std::function<HWND()>& found, std::chrono::milliseconds timeout) {
    HWND window = nullptr;
    waitUntil(
        [&] {
            window = found();
            return window != nullptr;
        },
        timeout);
    return window;
}

HWND findDialog(DWORD processId, const std::wstring& caption) {
    for (const TopWindow& w : topWindows(processId)) {
        if (w.visible && w.className == L"#32770" && w.caption == caption) {
            return w.hwnd;
        }
    }
    return nullptr;
}

HWND waitForDialog(DWORD processId, const std::wstring& caption,
                   std::chrono::milliseconds timeout) {
    return waitForWindow([&] { return findDialog(processId, caption); }, timeout);
}

std::wstring windowText(HWND window) {
    // WM_GETTEXT reaches windows of other processes too (the system copies the text).
    wchar_t buffer[2048] = {};
    const LRESULT n = SendMessageW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer));
    return std::wstring(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::wstring controlText(HWND dialog, int id) {
    const HWND control = GetDlgItem(dialog, id);
    return control ? windowText(control) : L"<no control " + std::to_wstring(id) + L">";
}

std::wstring messageBoxText(HWND box) {
    // The box's text is its static control with text (the icon's static has none).
    TextSearch search;
    EnumChildWindows(box, findStaticText, reinterpret_cast<LPARAM>(&search));
    return search.text;
}

void pressButton(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::wstring answerBox(DWORD processId, const std::wstring& caption, int button,
                       std::chrono::milliseconds timeout) {
    const HWND box = waitForDialog(processId, caption, timeout);
    if (box == nullptr) {
        return {};
    }
    const std::wstring text = messageBoxText(box);
    pressButton(box, button);
    waitUntil([&] { return !IsWindowVisible(box); }, timeout);
    return text;
}

int listItemCount(HWND list) {
    return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

std::wstring remoteListCell(DWORD processId, HWND list, int row, int column) {
    // LVM_GETITEMTEXTW writes through a pointer, which must point into the list's own
    // process: the item record and its buffer are borrowed there.
    constexpr std::size_t kUnits = 256;
    const UniqueHandle process(
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId));
    if (!process) {
        return L"<OpenProcess failed>";
    }
    const std::size_t size = sizeof(LVITEMW) + kUnits * sizeof(wchar_t);
    void* remote =
        VirtualAllocEx(process.get(), nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote == nullptr) {
        return L"<VirtualAllocEx failed>";
    }
    auto* remoteText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote) + sizeof(LVITEMW));
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = remoteText;
    item.cchTextMax = static_cast<int>(kUnits);
    std::wstring text;
    if (WriteProcessMemory(process.get(), remote, &item, sizeof item, nullptr)) {
        const LRESULT n =
            SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote));
        wchar_t buffer[kUnits] = {};
        if (n > 0 && ReadProcessMemory(process.get(), remoteText, buffer, sizeof buffer, nullptr)) {
            text.assign(buffer, static_cast<std::size_t>(n) < kUnits ? n : kUnits - 1);
        }
    }
    VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    return text;
}

void pauseForLook(const char* what) {
    const char* ms = std::getenv("KESTRUNE_GUI_PAUSE_MS");
    if (ms == nullptr || *ms == '\0') {
        return;
    }
    std::printf("look: %s\n", what);
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::strtoul(ms, nullptr, 10)));
}

}  // namespace kestrune::testing
