#include "tests/support/fake_http.h"

namespace kestrune::testing {

HttpResult FakeHttpClient::ok(std::string body) {
    HttpResult r;
    r.connected = true;
    r.status = 200;
    r.readOk = true;
    r.body = std::move(body);
    return r;
}

HttpResult FakeHttpClient::unreachable() {
    HttpResult r;
    r.error = "could not connect";
    return r;
}

HttpResult FakeHttpClient::get(const std::string& url, const std::string& userAgent,
                               std::size_t maxBytes) {
    std::lock_guard lock(mutex_);
    requests_.push_back({url, userAgent, maxBytes});
    HttpResult r = next_;
    // Keep the client's promise: never more than was asked for.
    if (r.body.size() > maxBytes) {
        r.body.resize(maxBytes);
    }
    return r;
}

void FakeHttpClient::answer(HttpResult result) {
    std::lock_guard lock(mutex_);
    next_ = std::move(result);
}

std::vector<HttpRequest> FakeHttpClient::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

}  // namespace kestrune::testing
