// kestrune-check --watch as a process on a temp root: a report at start, one after a
// certificate file is added and one after it is removed, and a clean end on SIGTERM.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/platform/linux/cert_maker.h"
#include "tests/platform/linux/scratch_dir.h"
#include "tests/support/poll_until.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::makeCertificate;
using testing::pollUntil;
using testing::readBytes;
using testing::simpleFields;
using testing::TempDir;
using testing::toPem;

// The watching program, its output in files of the temp root's own folder.
class WatchProcess {
  public:
    WatchProcess(const TempDir& root, const TempDir& home, const std::string& extra)
        : out_(home.path() + "/out.txt"), err_(home.path() + "/err.txt") {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::freopen(out_.c_str(), "w", stdout);
            ::freopen(err_.c_str(), "w", stderr);
            ::setenv("HOME", home.path().c_str(), 1);
            ::unsetenv("KESTRUNE_ROOT");
            ::execl(KESTRUNE_CHECK_EXE, KESTRUNE_CHECK_EXE, "--watch", "--root",
                    root.path().c_str(), extra.empty() ? nullptr : extra.c_str(), nullptr);
            ::_exit(127);
        }
    }
    ~WatchProcess() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    std::string out() const { return read(out_); }
    std::string err() const { return read(err_); }
    // How many reports the output holds so far.
    std::size_t reports(const std::string& opening) const {
        const std::string text = out();
        std::size_t n = 0;
        for (std::size_t at = text.find(opening); at != std::string::npos;
             at = text.find(opening, at + 1)) {
            ++n;
        }
        return n;
    }
    // Sends `signal` and waits; the exit status, or -1 when it did not end normally.
    int terminate(int signal = SIGTERM) {
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ended_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    static std::string read(const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }
    std::string out_;
    std::string err_;
    pid_t pid_ = -1;
    bool ended_ = false;
};

TEST(CheckWatch, ReportsAtStartAfterAnAdditionAndARemovalThenEndsCleanlyOnSigterm) {
    TempDir root;
    TempDir home;
    root.write("/usr/local/share/ca-certificates/one.crt",
               toPem(*makeCertificate(simpleFields("One", {1}))));
    WatchProcess watch(root, home, "");
    ASSERT_TRUE(
        pollUntil([&] { return watch.out().find("No baseline yet") != std::string::npos; }, 60s))
        << watch.out() << watch.err();
    EXPECT_EQ(watch.out().rfind("check\t", 0), 0u) << "each report opens with its time";
    const std::string settings = root.path() + "/var/lib/kestrune/settings.db";
    const auto baseline = readBytes(settings);

    root.write("/usr/local/share/ca-certificates/two.crt",
               toPem(*makeCertificate(simpleFields("Watched Two", {2}))));
    ASSERT_TRUE(pollUntil(
        [&] { return watch.out().find("1 added, 0 missing") != std::string::npos; }, 120s))
        << watch.out() << watch.err();
    EXPECT_NE(watch.out().find("added\tSystem\tlocal-anchors\t02\t"), std::string::npos)
        << watch.out();

    fs::remove(root.path() + "/usr/local/share/ca-certificates/two.crt");
    ASSERT_TRUE(pollUntil(
        [&] { return watch.out().find("0 added, 0 missing") != std::string::npos; }, 120s))
        << watch.out() << watch.err();
    EXPECT_EQ(watch.reports("check\t"), 3u) << watch.out();

    EXPECT_EQ(watch.terminate(), 0) << watch.err();
    EXPECT_EQ(readBytes(settings), baseline) << "nothing stored without --accept";
    EXPECT_EQ(watch.err(), "");
}

TEST(CheckWatch, JsonReportsOpenWithTheirTimeAndSigintEndsItToo) {
    TempDir root;
    TempDir home;
    root.write("/etc/ssl/certs/ca-certificates.crt",
               toPem(*makeCertificate(simpleFields("Bundle", {3}))));
    WatchProcess watch(root, home, "--json");
    ASSERT_TRUE(pollUntil([&] { return watch.reports("\"event\":\"baseline\"") == 1; }, 60s))
        << watch.out() << watch.err();
    EXPECT_EQ(watch.out().rfind("{\"event\":\"check\",\"time\":\"20", 0), 0u) << watch.out();
    EXPECT_EQ(watch.terminate(SIGINT), 0) << watch.err();  // as Ctrl+C
    EXPECT_EQ(watch.reports("\"event\":\"check\""), 1u) << watch.out();
}

}  // namespace
}  // namespace kestrune
