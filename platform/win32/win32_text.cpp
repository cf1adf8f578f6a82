#include "platform/win32/win32_text.h"

#include <cwchar>

#include "inventory/text.h"

namespace kestrune::win32 {

// wchar_t is UTF-16 on Windows, so char16_t strings convert unit for unit.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::wstring widen(std::string_view utf8) {
    const std::u16string units = utf8ToUtf16(utf8);
    return std::wstring(units.begin(), units.end());
}

std::string narrow(const wchar_t* text, std::size_t maxUnits) {
    if (text == nullptr) {
        return {};
    }
    std::size_t n = 0;
    while (n < maxUnits && text[n] != L'\0') {
        ++n;
    }
    return utf16ToUtf8(std::u16string(text, text + n));
}

std::string errorText(DWORD code, HMODULE module) {
    wchar_t* buffer = nullptr;
    const DWORD source = module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    const DWORD units =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | source | FORMAT_MESSAGE_IGNORE_INSERTS,
                       module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = "error " + std::to_string(code);
    if (units != 0 && buffer != nullptr) {
        std::string message = narrow(buffer, units);
        while (!message.empty() &&
               (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
            message.pop_back();
        }
        if (!message.empty()) {
            text += ": " + message;
        }
    }
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    return text;
}

bool runningUnderWine(std::string* version) {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return false;
    }
    using WineGetVersion = const char*(CDECL*)();
    // Through void*: FARPROC's own signature is not the export's.
    const auto wineGetVersion = reinterpret_cast<WineGetVersion>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    if (wineGetVersion == nullptr) {
        return false;
    }
    if (version != nullptr) {
        const char* text = wineGetVersion();
        *version = text ? text : "";
    }
    return true;
}

}  // namespace kestrune::win32
