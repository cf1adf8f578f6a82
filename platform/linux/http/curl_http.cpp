#include "platform/linux/http/curl_http.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "inventory/c_handle.h"

namespace kestrune {
namespace {

using UniqueCurl = CHandle<CURL, curl_easy_cleanup>;

// The global set-up is done once for the process and kept: libcurl may be used from
// any thread afterwards.
CURLcode initialiseCurlOnce() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

struct Sink {
    std::string* body;
    std::size_t maxBytes;
    bool full = false;  // more arrived than we keep: the transfer was stopped on purpose
};

std::size_t keepAtMost(char* data, std::size_t size, std::size_t count, void* user) {
    auto& sink = *static_cast<Sink*>(user);
    const std::size_t bytes = size * count;
    const std::size_t room = sink.maxBytes - sink.body->size();
    if (bytes > room) {
        sink.body->append(data, room);
        sink.full = true;
        return 0;  // stops the transfer
    }
    sink.body->append(data, bytes);
    return bytes;
}

}  // namespace

CurlHttpClient::CurlHttpClient(std::chrono::seconds connectTimeout,
                               std::chrono::seconds totalTimeout)
    : connectTimeout_(connectTimeout), totalTimeout_(totalTimeout) {}

HttpResult CurlHttpClient::get(const std::string& url, const std::string& userAgent,
                               std::size_t maxBytes) {
    HttpResult result;
    if (const CURLcode init = initialiseCurlOnce(); init != CURLE_OK) {
        result.error = curl_easy_strerror(init);
        return result;
    }
    UniqueCurl curl(curl_easy_init());
    if (!curl) {
        result.error = "curl_easy_init failed";
        return result;
    }

    char errorText[CURL_ERROR_SIZE] = {};
    Sink sink{&result.body, maxBytes};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, userAgent.c_str());
    // Direct connection: an empty proxy also overrides the *_proxy variables.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // Timeouts without signals: the caller may be any thread.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout_.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(totalTimeout_.count()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, keepAtMost);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);

    const CURLcode code = curl_easy_perform(c);

    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    result.status = static_cast<int>(status);
    result.connected = status != 0;
    result.readOk = code == CURLE_OK || (code == CURLE_WRITE_ERROR && sink.full);
    if (!result.readOk) {
        result.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
    }
    return result;
}

}  // namespace kestrune
