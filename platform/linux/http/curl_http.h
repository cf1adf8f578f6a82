// The HTTP client over libcurl: one GET, no proxy, a bounded reply and bounded waits.
#pragma once

#include <chrono>

#include "ui/http_client.h"

namespace kestrune {

class CurlHttpClient final : public HttpClient {
  public:
    // A dead server must not hold the About dialog for long: these bound the wait.
    static constexpr std::chrono::seconds kConnectTimeout{5};
    static constexpr std::chrono::seconds kTotalTimeout{10};

    CurlHttpClient(std::chrono::seconds connectTimeout = kConnectTimeout,
                   std::chrono::seconds totalTimeout = kTotalTimeout);

    HttpResult get(const std::string& url, const std::string& userAgent,
                   std::size_t maxBytes) override;

  private:
    std::chrono::seconds connectTimeout_;
    std::chrono::seconds totalTimeout_;
};

}  // namespace kestrune
