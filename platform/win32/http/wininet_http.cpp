#include "platform/win32/http/wininet_http.h"

// clang-format off
#include <windows.h>
#include <wininet.h>
// clang-format on

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <memory>

#include "inventory/c_handle.h"
#include "platform/win32/win32_text.h"

namespace kestrune {
namespace win32 {

namespace {

using InternetHandle = CHandle<void, InternetCloseHandle>;

std::string lastInternetError(const char* call) {
    const DWORD code = GetLastError();
    // wininet's own codes (12000 and up) have their texts in wininet.dll.
    const HMODULE module = code >= INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST
                               ? GetModuleHandleW(L"wininet.dll")
                               : nullptr;
    return std::string(call) + " failed: " + errorText(code, module);
}

void setTimeouts(HINTERNET handle) {
    for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                               INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        DWORD milliseconds = WininetHttpClient::kTimeoutMs;
        InternetSetOptionW(handle, option, &milliseconds, sizeof milliseconds);
    }
}

}  // namespace

HttpResult WininetHttpClient::get(const std::string& url, const std::string& userAgent,
                                  std::size_t maxBytes) {
    HttpResult result;
    const std::wstring wideUrl = widen(url);
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;  // non-zero: point into wideUrl
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    if (!InternetCrackUrlW(wideUrl.c_str(), 0, 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0) {
        result.error = "not an http or https URL: " + url;
        return result;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo ? parts.lpszExtraInfo : L"", parts.dwExtraInfoLength);
    if (path.empty()) {
        path = L"/";
    }

    // Declared in this order so they close request first, session last, on every path.
    const InternetHandle session(
        InternetOpenW(widen(userAgent).c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session) {
        result.error = lastInternetError("InternetOpenW");
        return result;
    }
    setTimeouts(session.get());
    const InternetHandle connection(InternetConnectW(
        session.get(), host.c_str(), parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        result.error = lastInternetError("InternetConnectW");
        return result;
    }
    // Always from the server: a cached copy of a version file would answer an update
    // check with an old release.
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) {
        flags |= INTERNET_FLAG_SECURE;
    }
    const InternetHandle request(HttpOpenRequestW(connection.get(), L"GET", path.c_str(), nullptr,
                                                  nullptr, nullptr, flags, 0));
    if (!request) {
        result.error = lastInternetError("HttpOpenRequestW");
        return result;
    }
    // On the request as well: Wine applies a session's receive timeout to nothing.
    setTimeouts(request.get());
    if (!HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
        result.error = lastInternetError("HttpSendRequestW");
        return result;
    }
    result.connected = true;

    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                       &statusSize, nullptr)) {
        result.status = static_cast<int>(status);
    }

    // One read of at most maxBytes.
    const DWORD wanted =
        static_cast<DWORD>(std::min<std::size_t>(maxBytes, std::numeric_limits<DWORD>::max()));
    std::string body(wanted, '\0');
    DWORD read = 0;
    if (wanted == 0) {
        result.readOk = true;
    } else if (InternetReadFile(request.get(), body.data(), wanted, &read)) {
        result.readOk = true;
        body.resize(std::min(read, wanted));
        result.body = std::move(body);
    } else {
        result.error = lastInternetError("InternetReadFile");
    }
    return result;
}

}  // namespace win32

}  // namespace kestrune
