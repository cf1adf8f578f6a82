// Drives another process's windows the way a user would, with messages: finds its
// top-level windows by class and caption, reads their texts, presses their buttons, and
// reads a list view's rows through memory borrowed in that process.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::testing {

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// A program started with its standard output and error collected as they come. The
// destructor ends it if it is still running.
class ChildProcess {
  public:
    // `arguments` are appended to the quoted program path as they are.
    ChildProcess(const std::wstring& program, const std::wstring& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_ != nullptr; }
    const std::string& startError() const { return startError_; }
    DWORD id() const { return id_; }
    std::string output() const;  // standard output and error, as written so far

    // Waits until the output holds `text` (counting from `from`); its offset, or npos.
    std::size_t waitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                              std::size_t from = 0) const;
    // Waits for the process to end; its exit status, or nothing on timeout.
    bool waitForExit(std::chrono::milliseconds timeout, DWORD* status);

  private:
    UniqueHandle process_;
    DWORD id_ = 0;
    std::string startError_;
    mutable std::mutex mutex_;
    std::string output_;
    std::thread reader_;
};

struct TopWindow {
    HWND hwnd = nullptr;
    std::wstring className;
    std::wstring caption;
    bool visible = false;
};

// The process's top-level windows, in Z order.
std::vector<TopWindow> topWindows(DWORD processId);

// Polls until `found` gives a window (or the timeout passes); null on timeout.
HWND waitForWindow(const std::function<HWND()>& found, std::chrono::milliseconds timeout);
// A visible top-level dialog (class #32770) of the process with this caption.
HWND findDialog(DWORD processId, const std::wstring& caption);
HWND waitForDialog(DWORD processId, const std::wstring& caption, std::chrono::milliseconds timeout);

// Polls `condition` until it holds; whether it did.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

std::wstring windowText(HWND window);
std::wstring controlText(HWND dialog, int id);
// The text of a message box (its static text control).
std::wstring messageBoxText(HWND box);
// Sends WM_COMMAND for a button id, as the dialog manager does when it is pressed.
void pressButton(HWND dialog, int id);
// Waits for a box with this caption and presses `button` in it; the box's text, empty
// when no such box came.
std::wstring answerBox(DWORD processId, const std::wstring& caption, int button,
                       std::chrono::milliseconds timeout);

// Rows and cells of a list view that lives in another process.
int listItemCount(HWND list);
std::wstring remoteListCell(DWORD processId, HWND list, int row, int column);

// For screenshots by hand: when KESTRUNE_GUI_PAUSE_MS is set, prints "look: <what>"
// and waits that long so a screen grab can be taken.
void pauseForLook(const char* what);

std::string narrowText(const std::wstring& text);
std::wstring widenText(const std::string& utf8);

}  // namespace kestrune::testing
