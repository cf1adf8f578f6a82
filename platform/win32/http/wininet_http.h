// One HTTP GET through wininet: session, connection and request handles opened one by
// one (not InternetOpenUrlW), because Wine honours a receive timeout only when it is
// set on the request handle, which InternetOpenUrlW hands back only after the reply.
#pragma once

#include <cstdint>

#include "ui/http_client.h"

namespace kestrune::win32 {

class WininetHttpClient final : public HttpClient {
  public:
    // Connect, send and receive each give up after this long, so a dead server cannot
    // hold the caller for long.
    static constexpr std::uint32_t kTimeoutMs = 5000;

    HttpResult get(const std::string& url, const std::string& userAgent,
                   std::size_t maxBytes) override;
};

}  // namespace kestrune::win32
