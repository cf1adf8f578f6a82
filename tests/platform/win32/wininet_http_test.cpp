// The wininet client against a server of the test's own on 127.0.0.1.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/http/wininet_http.h"
#include "tests/support/scripted_desktop.h"
#include "ui/update_check.h"

namespace kestrune {
namespace {

constexpr const char* kUserAgent = "Kestrune Version 1.0.0 - http://127.0.0.1";
constexpr const char* kPath = "/software/kestrune/CurrentVersion.txt";

std::string httpReply(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// One listening socket on 127.0.0.1 and a thread that answers each connection with the
// next scripted reply (the last one repeats). An empty reply accepts, reads the request
// and never answers.
class LoopbackServer {
  public:
    explicit LoopbackServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
        WSADATA wsa;
        started_ = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (listener_ == INVALID_SOCKET ||
            bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            listen(listener_, 8) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~LoopbackServer() {
        closesocket(listener_);  // ends the accept loop
        if (thread_.joinable()) {
            thread_.join();
        }
        for (SOCKET s : held_) {
            closesocket(s);
        }
        if (started_) {
            WSACleanup();
        }
    }

    int port() const { return port_; }
    std::string url(const char* path = kPath) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

  private:
    void serve() {
        for (std::size_t n = 0;; ++n) {
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) {
                return;
            }
            DWORD timeout = 5000;
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                       sizeof timeout);
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
                const int got = recv(client, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    break;
                }
                request.append(buffer, got);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            const std::string& reply = replies_[std::min(n, replies_.size() - 1)];
            if (reply.empty()) {
                held_.push_back(client);
                continue;
            }
            for (std::size_t sent = 0; sent < reply.size();) {
                const int put =
                    send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), 0);
                if (put <= 0) {
                    break;
                }
                sent += static_cast<std::size_t>(put);
            }
            shutdown(client, SD_SEND);
            closesocket(client);
        }
    }

    std::vector<std::string> replies_;
    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
    std::vector<SOCKET> held_;  // touched by the server thread until it is joined
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
};

TEST(WininetHttp, GetSendsTheUserAgentAndReturnsStatusAndBody) {
    LoopbackServer server({httpReply("200 OK", "1.0.1\r\n")});
    ASSERT_NE(server.port(), 0);
    const HttpResult r =
        std::make_unique<win32::WininetHttpClient>()->get(server.url(), kUserAgent, 1024);
    EXPECT_TRUE(r.connected) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.readOk) << r.error;
    EXPECT_EQ(r.body, "1.0.1\r\n");

    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind(std::string("GET ") + kPath + " HTTP/1.1\r\n", 0), 0u)
        << requests[0];
    EXPECT_NE(requests[0].find(std::string("\r\nUser-Agent: ") + kUserAgent + "\r\n"),
              std::string::npos)
        << requests[0];
}

TEST(WininetHttp, OneReadKeepsAtMostMaxBytesAndStatusesAreReported) {
    std::string big;
    for (int i = 0; big.size() < 2000; ++i) {
        big += std::to_string(i) + ".";
    }
    LoopbackServer server({httpReply("200 OK", big), httpReply("404 Not Found", "gone")});
    auto client = std::make_unique<win32::WininetHttpClient>();
    const HttpResult r = client->get(server.url(), kUserAgent, 1024);
    EXPECT_TRUE(r.readOk) << r.error;
    EXPECT_EQ(r.body, big.substr(0, 1024));

    const HttpResult missing = client->get(server.url(), kUserAgent, 1024);
    EXPECT_TRUE(missing.connected);
    EXPECT_EQ(missing.status, 404);
}

TEST(WininetHttp, ARefusedConnectionFailsWithAReason) {
    int port = 0;
    {
        LoopbackServer closed({httpReply("200 OK", "")});
        port = closed.port();
    }
    const HttpResult r = std::make_unique<win32::WininetHttpClient>()->get(
        "http://127.0.0.1:" + std::to_string(port) + kPath, kUserAgent, 1024);
    EXPECT_FALSE(r.connected);
    EXPECT_FALSE(r.readOk);
    // wininet's own error text, not just a number.
    EXPECT_NE(r.error.find("HttpSendRequestW failed: error 12029: "), std::string::npos) << r.error;

    const HttpResult notHttp =
        std::make_unique<win32::WininetHttpClient>()->get("ftp://127.0.0.1/x", kUserAgent, 1024);
    EXPECT_FALSE(notHttp.connected);
    EXPECT_EQ(notHttp.error, "not an http or https URL: ftp://127.0.0.1/x");
}

TEST(WininetHttp, AServerThatNeverAnswersIsGivenUpOnWithinTheTimeout) {
    LoopbackServer server({""});
    const auto start = std::chrono::steady_clock::now();
    const HttpResult r =
        std::make_unique<win32::WininetHttpClient>()->get(server.url(), kUserAgent, 1024);
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(r.connected && r.readOk && !r.body.empty());
    EXPECT_LT(seconds, 3.0 * win32::WininetHttpClient::kTimeoutMs / 1000) << r.error;
    EXPECT_EQ(server.requests().size(), 1u);
}

// The portable update check over wininet: what the About dialog runs on Windows.
TEST(WininetHttp, UpdateCheckOverWininetReachesEachOutcome) {
    const std::pair<std::string, UpdateOutcome> cases[] = {
        {httpReply("200 OK", "1.0.0\r\n"), UpdateOutcome::MostCurrent},
        {httpReply("200 OK", "1.2.0"), UpdateOutcome::NewerAvailable},
        {httpReply("200 OK", "0.9.9"), UpdateOutcome::OwnNewer},
        {httpReply("404 Not Found", "1.2.0"), UpdateOutcome::CheckFailed},
    };
    for (const auto& [reply, outcome] : cases) {
        LoopbackServer server({reply});
        const std::string site = "http://127.0.0.1:" + std::to_string(server.port());
        testing::ScriptedDesktop desktop;
        desktop.script({Answer::ok, Answer::no});
        auto client = std::make_unique<win32::WininetHttpClient>();
        EXPECT_EQ(checkForUpdates(desktop, *client, kNoOwner, site), outcome) << reply;
        const std::vector<std::string> requests = server.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_NE(requests[0].find("\r\nUser-Agent: Kestrune Version 1.0.0 - " + site + "\r\n"),
                  std::string::npos)
            << requests[0];
    }
}

}  // namespace
}  // namespace kestrune
