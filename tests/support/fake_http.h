// An HTTP client for tests: answers every GET with a scripted result and records the
// requests it was given.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "ui/http_client.h"

namespace kestrune::testing {

struct HttpRequest {
    std::string url;
    std::string userAgent;
    std::size_t maxBytes = 0;
};

class FakeHttpClient : public HttpClient {
  public:
    // A 200 reply with this body.
    static HttpResult ok(std::string body);
    // A connection that could not be made.
    static HttpResult unreachable();

    HttpResult get(const std::string& url, const std::string& userAgent,
                   std::size_t maxBytes) override;

    void answer(HttpResult result);
    std::vector<HttpRequest> requests() const;

  private:
    mutable std::mutex mutex_;
    HttpResult next_ = unreachable();
    std::vector<HttpRequest> requests_;
};

}  // namespace kestrune::testing
