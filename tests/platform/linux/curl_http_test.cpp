#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/linux/http/curl_http.h"
#include "tests/support/scripted_desktop.h"
#include "ui/update_check.h"

namespace kestrune {
namespace {

using testing::ScriptedDesktop;

constexpr WindowRef kDialog = 0x5150;

struct FdCloser {
    void operator()(int* fd) const {
        ::close(*fd);
        delete fd;
    }
};
using UniqueFd = std::unique_ptr<int, FdCloser>;

UniqueFd listenOnLoopback() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return nullptr;
    }
    UniqueFd owner(new int(fd));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
        return nullptr;
    }
    return owner;
}

int portOf(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

std::string httpReply(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " Whatever\r\nContent-Type: text/plain\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

// A web server on 127.0.0.1 in a thread of the test: records every raw request and
// answers each with the same reply, or (silent) accepts and never answers.
class LoopbackServer {
  public:
    explicit LoopbackServer(std::optional<std::string> reply)
        : reply_(std::move(reply)), listener_(listenOnLoopback()) {
        if (listener_) {
            port_ = portOf(*listener_);
            thread_ = std::thread([this] { run(); });
        }
    }
    ~LoopbackServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    bool listening() const { return listener_ != nullptr; }
    std::string site() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int connections() const { return connections_.load(); }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    void run() {
        std::vector<UniqueFd> held;  // silent mode: kept open, unanswered, until the end
        while (!stop_) {
            pollfd p{*listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const int fd = ::accept(*listener_, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            UniqueFd client(new int(fd));
            ++connections_;
            if (!reply_) {
                held.push_back(std::move(client));
                continue;
            }
            std::string request = readRequest(fd);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(std::move(request));
            }
            std::size_t sent = 0;
            while (sent < reply_->size()) {
                const ssize_t n =
                    ::send(fd, reply_->data() + sent, reply_->size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;  // the client stopped reading: that is its right
                }
                sent += static_cast<std::size_t>(n);
            }
            ::shutdown(fd, SHUT_WR);
        }
    }

    std::string readRequest(int fd) {
        std::string request;
        char buffer[1024];
        while (!stop_ && request.find("\r\n\r\n") == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            request.append(buffer, static_cast<std::size_t>(n));
        }
        return request;
    }

    std::optional<std::string> reply_;
    UniqueFd listener_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Points every proxy variable libcurl honours at a port nobody listens on, so a client
// that used a proxy could not reach the server.
class DeadProxyEnvironment {
  public:
    DeadProxyEnvironment() {
        for (const char* name : kNames) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::setenv(name, "http://127.0.0.1:9", 1);
        }
    }
    ~DeadProxyEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name, value->c_str(), 1);
            } else {
                ::unsetenv(name);
            }
        }
    }

  private:
    static constexpr const char* kNames[] = {"http_proxy", "https_proxy", "ALL_PROXY", "all_proxy"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

std::string headerLine(const std::string& request, const std::string& name) {
    const auto at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return {};
    }
    const auto start = at + 2;
    return request.substr(start, request.find("\r\n", start) - start);
}

TEST(CurlUpdateCheck, SendsOneDirectGetOfTheVersionFileWithTheUserAgent) {
    LoopbackServer server(httpReply(200, "1.0.0\r\n"));
    ASSERT_TRUE(server.listening());
    DeadProxyEnvironment proxies;
    ScriptedDesktop desktop;
    desktop.script({Answer::ok});
    auto http = std::make_unique<CurlHttpClient>();

    EXPECT_EQ(checkForUpdates(desktop, *http, kDialog, server.site()), UpdateOutcome::MostCurrent);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& raw = requests[0];
    EXPECT_EQ(raw.substr(0, raw.find("\r\n")),
              "GET /software/kestrune/CurrentVersion.txt HTTP/1.1");
    EXPECT_EQ(headerLine(raw, "User-Agent"),
              "User-Agent: Kestrune Version 1.0.0 - " + server.site());
    EXPECT_EQ(headerLine(raw, "Host"), "Host: " + server.site().substr(7));
    EXPECT_EQ(server.connections(), 1);
    ASSERT_EQ(desktop.messageBoxes().size(), 2u);
    EXPECT_EQ(desktop.messageBoxes()[1].text, kMostCurrentText);
}

TEST(CurlUpdateCheck, PublishedVersionsDecideTheBox) {
    struct Case {
        std::string reply;
        UpdateOutcome outcome;
        std::string text;
    };
    const Case cases[] = {
        {httpReply(200, "2.1.0\n"), UpdateOutcome::NewerAvailable, kNewerAvailableText},
        {httpReply(200, "0.9.9"), UpdateOutcome::OwnNewer, kOwnNewerText},
        {httpReply(404, "1.0.0"), UpdateOutcome::CheckFailed, kUpdateFailedText},
        {httpReply(200, ""), UpdateOutcome::CheckFailed, kUpdateFailedText},
    };
    auto http = std::make_unique<CurlHttpClient>();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        LoopbackServer server(c.reply);
        ASSERT_TRUE(server.listening());
        ScriptedDesktop desktop;
        desktop.script({Answer::ok, Answer::yes});
        EXPECT_EQ(checkForUpdates(desktop, *http, kDialog, server.site()), c.outcome);
        EXPECT_EQ(server.requests().size(), 1u);
        const auto calls = desktop.calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[1].text, c.text);
        if (c.outcome == UpdateOutcome::CheckFailed) {
            EXPECT_EQ(calls.size(), 2u);
        } else {
            ASSERT_EQ(calls.size(), 3u);
            EXPECT_EQ(calls[2].text, server.site() + "/software/kestrune/");
        }
    }
}

TEST(CurlHttp, KeepsTheFirstBytesOfALongReplyWithoutFailing) {
    std::string body = "2.0.0\n";
    for (int i = 0; body.size() < 5000; ++i) {
        body += static_cast<char>('a' + i % 26);
    }
    LoopbackServer server(httpReply(200, body));
    ASSERT_TRUE(server.listening());
    auto http = std::make_unique<CurlHttpClient>();

    const HttpResult r = http->get(server.site() + "/big", "test", 1024);
    EXPECT_TRUE(r.connected);
    EXPECT_TRUE(r.readOk) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, body.substr(0, 1024));

    ScriptedDesktop desktop;
    desktop.script({Answer::ok});
    EXPECT_EQ(checkForUpdates(desktop, *http, kDialog, server.site()),
              UpdateOutcome::NewerAvailable);
}

TEST(CurlUpdateCheck, ServerThatNeverAnswersEndsWithinTheTimeout) {
    LoopbackServer server(std::nullopt);
    ASSERT_TRUE(server.listening());
    ScriptedDesktop desktop;
    desktop.script({Answer::ok});
    auto http = std::make_unique<CurlHttpClient>();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(checkForUpdates(desktop, *http, kDialog, server.site()), UpdateOutcome::CheckFailed);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(server.connections(), 1);
    EXPECT_LT(elapsed, std::chrono::seconds(15));
    EXPECT_EQ(desktop.messageBoxes().back().text, kUpdateFailedText);
}

TEST(CurlUpdateCheck, NobodyListeningIsAFailedCheck) {
    std::string site;
    {
        auto probe = listenOnLoopback();
        ASSERT_TRUE(probe);
        site = "http://127.0.0.1:" + std::to_string(portOf(*probe));
    }  // closed: the port refuses connections now
    ScriptedDesktop desktop;
    desktop.script({Answer::ok});
    auto http = std::make_unique<CurlHttpClient>();
    EXPECT_EQ(checkForUpdates(desktop, *http, kDialog, site), UpdateOutcome::CheckFailed);
    EXPECT_EQ(desktop.messageBoxes().back().caption, "Brimtal Kestrune");
}

TEST(CurlUpdateCheck, CancelMakesNoConnection) {
    LoopbackServer server(httpReply(200, "2.0.0"));
    ASSERT_TRUE(server.listening());
    ScriptedDesktop desktop;
    desktop.script({Answer::cancel});
    auto http = std::make_unique<CurlHttpClient>();

    EXPECT_EQ(checkForUpdates(desktop, *http, kDialog, server.site()), std::nullopt);
    // The server takes connections in the order they come: once it has taken this later
    // one, it would have counted any the check had made.
    EXPECT_TRUE(http->get(server.site() + "/later", "test", 1024).readOk);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(desktop.calls().size(), 1u);
}

}  // namespace
}  // namespace kestrune
