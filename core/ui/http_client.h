// One HTTP GET of a URL with a user agent, at most N bytes kept, or failure.
// Win32: wininet. Linux: libcurl. Tests: a real server on 127.0.0.1.
#pragma once

#include <cstddef>
#include <string>

namespace kestrune {

struct HttpResult {
    bool connected = false;  // the session and the URL could be opened
    int status = 0;          // the HTTP status, 0 when unknown
    bool readOk = false;     // the body read succeeded
    std::string body;        // at most maxBytes
    std::string error;       // why it failed, for the trace
};

class HttpClient {
  public:
    virtual ~HttpClient() = default;
    virtual HttpResult get(const std::string& url, const std::string& userAgent,
                           std::size_t maxBytes) = 0;
};

}  // namespace kestrune
