// kestrune-check's outlets on Windows: no systemd journal; files replaced with
// MoveFileExW, so windows_exporter's textfile collector never reads half a file.
#include <windows.h>

#include "app/check_delivery.h"
#include "platform/platform.h"
#include "platform/win32/win32_text.h"

namespace kestrune {

namespace {

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

class Win32CheckOutlets final : public CheckOutlets {
  public:
    bool stdoutIsJournal() const override { return false; }
    std::unique_ptr<EventJournal> openJournal(std::string& error) override {
        error = "Windows has no systemd journal";
        return nullptr;
    }
    bool replaceFile(const std::string& path, const std::string& text,
                     std::string& error) override {
        const std::wstring target = win32::widen(path);
        // A name of its own per process in the same folder, so the move stays a rename.
        const std::wstring temp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
        auto failed = [&](const char* step) {
            error = std::string(step) + ": " + win32::errorText(GetLastError());
            DeleteFileW(temp.c_str());
            return false;
        };
        const HANDLE raw = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        if (raw == INVALID_HANDLE_VALUE) {
            error = "cannot create " + path + ".tmp: " + win32::errorText(GetLastError());
            return false;
        }
        UniqueHandle file(raw);
        DWORD written = 0;
        const bool wrote =
            WriteFile(raw, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size() && FlushFileBuffers(raw);
        const DWORD why = GetLastError();
        file.reset();  // closed before the temp file is deleted or moved
        if (!wrote) {
            SetLastError(why);
            return failed("write");
        }
        if (!MoveFileExW(temp.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return failed("rename");
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<CheckOutlets> makeCheckOutlets() {
    return std::make_unique<Win32CheckOutlets>();
}

}  // namespace kestrune
