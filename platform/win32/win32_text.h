// The edge between the core's UTF-8 and the Win32 "W" calls, and the system's own
// words for an error code.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kestrune::win32 {

std::wstring widen(std::string_view utf8);
// Up to the first zero unit or `maxUnits`, whichever comes first; never reads past it.
std::string narrow(const wchar_t* text, std::size_t maxUnits = std::wstring::npos);

// "error 5: Access denied." (the message from the system, or from `module` for codes
// that live there, such as wininet's).
std::string errorText(DWORD code, HMODULE module = nullptr);

// True when ntdll is Wine's (it exports wine_get_version); `version` gets its version.
bool runningUnderWine(std::string* version = nullptr);

}  // namespace kestrune::win32
