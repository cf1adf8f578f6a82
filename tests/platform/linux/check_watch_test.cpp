// kestrune-check --watch as a process on a temp root: a report at start, one after a
// certificate file is added and one after it is removed, and a clean end on SIGTERM;
// signals in every state of the watch and of a single check, a full journal included.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

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

// How a program is started: its arguments, the journal socket it is given, and the
// signals its starter ignores (as `sh -c 'cmd &'` ignores SIGINT).
struct Launch {
    std::vector<std::string> args;
    std::string journal;
    std::vector<int> ignored;
};

// The watching program, its output in files of the temp root's own folder.
class WatchProcess {
  public:
    WatchProcess(const TempDir& root, const TempDir& home, const std::string& extra)
        : WatchProcess(home, watching(root, extra)) {}
    WatchProcess(const TempDir& home, const Launch& launch)
        : out_(home.path() + "/out.txt"), err_(home.path() + "/err.txt") {
        std::vector<std::string> args = launch.args;
        args.insert(args.begin(), KESTRUNE_CHECK_EXE);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::freopen(out_.c_str(), "w", stdout);
            ::freopen(err_.c_str(), "w", stderr);
            ::setenv("HOME", home.path().c_str(), 1);
            ::unsetenv("KESTRUNE_ROOT");
            if (!launch.journal.empty()) {
                ::setenv("KESTRUNE_JOURNAL_SOCKET", launch.journal.c_str(), 1);
            }
            for (const int signal : launch.ignored) {
                ::signal(signal, SIG_IGN);
            }
            ::execv(KESTRUNE_CHECK_EXE, argv.data());
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
    pid_t pid() const { return pid_; }
    // Sends `signal`; the wait status once the program ended within `bound`, else
    // nothing (and it is killed).
    std::optional<int> endsAfter(int signal, std::chrono::seconds bound) {
        ::kill(pid_, signal);
        int status = 0;
        if (pollUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound)) {
            ended_ = true;
            return status;
        }
        return std::nullopt;
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
    static Launch watching(const TempDir& root, const std::string& extra) {
        Launch launch{{"--watch", "--root", root.path()}, "", {}};
        if (!extra.empty()) {
            launch.args.push_back(extra);
        }
        return launch;
    }
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

TEST(CheckWatch, SighupRebuildsTheWatchesAndChecksAtOnceWithoutAnyChange) {
    TempDir root;
    TempDir home;
    root.write("/usr/local/share/ca-certificates/one.crt",
               toPem(*makeCertificate(simpleFields("One", {1}))));
    WatchProcess watch(root, home, "");
    ASSERT_TRUE(pollUntil([&] { return watch.reports("check\t") == 1; }, 60s)) << watch.err();
    ::kill(watch.pid(), SIGHUP);
    ASSERT_TRUE(pollUntil([&] { return watch.reports("0 added, 0 missing") == 1; }, 60s))
        << watch.out() << watch.err();
    EXPECT_EQ(watch.reports("check\t"), 2u);
    EXPECT_EQ(watch.terminate(), 0) << watch.err();
}

// A datagram socket bound where journald's would be, read by nobody and filled first: a
// journal that has stopped taking entries.
class FullJournal {
  public:
    explicit FullJournal(std::string path) : path_(std::move(path)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        const auto* at = reinterpret_cast<const sockaddr*>(&address);
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(fd_, at, sizeof address), 0) << path_;
        const int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::connect(sender, at, sizeof address), 0);
        while (::send(sender, "X=1\n", 4, MSG_DONTWAIT) == 4) {
        }
        EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
        ::close(sender);
    }
    ~FullJournal() { ::close(fd_); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
};

// Whether /proc says the process ignores or blocks `signal` (false when it cannot tell).
bool ignoresOrBlocks(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const unsigned long long bit = 1ull << (signal - 1);
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigIgn:", 0) == 0 || line.rfind("SigBlk:", 0) == 0) {
            if ((std::stoull(line.substr(7), nullptr, 16) & bit) != 0) {
                return true;
            }
        }
    }
    return false;
}

TEST(CheckSignals, TerminationEndsTheCheckAndTheWatchWhileTheJournalIsFull) {
    struct Case {
        bool watch;
        int signal;
        bool ignoredByStarter;
    };
    for (const Case& c :
         {Case{false, SIGTERM, true}, Case{false, SIGINT, true}, Case{false, SIGHUP, false},
          Case{true, SIGTERM, false}, Case{true, SIGINT, true}}) {
        SCOPED_TRACE(std::string(c.watch ? "--watch, " : "one-shot, ") + strsignal(c.signal));
        TempDir root;
        TempDir home;
        root.write("/usr/local/share/ca-certificates/one.crt",
                   toPem(*makeCertificate(simpleFields("One", {1}))));
        FullJournal journal(home.path() + "/journal.sock");
        Launch launch{{"--journal", "--root", root.path()}, journal.path(), {}};
        if (c.watch) {
            launch.args.insert(launch.args.begin(), "--watch");
        }
        if (c.ignoredByStarter) {
            launch.ignored = {c.signal};
        }
        WatchProcess check(home, launch);
        // The baseline is made after the signals are set up and before the report is sent.
        ASSERT_TRUE(pollUntil(
            [&] { return fs::exists(root.path() + "/var/lib/kestrune/settings.db"); }, 60s))
            << check.err();
        EXPECT_FALSE(ignoresOrBlocks(check.pid(), c.signal));
        const std::optional<int> status = check.endsAfter(c.signal, 60s);
        ASSERT_TRUE(status) << "still running: " << check.err();
        if (c.watch) {
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        } else if (WIFEXITED(*status)) {
            // Done before the signal came: the journal given up on, the report printed.
            EXPECT_EQ(WEXITSTATUS(*status), 2);
            EXPECT_NE(check.err().find("queue stayed full"), std::string::npos) << check.err();
            EXPECT_NE(check.out().find("No baseline yet"), std::string::npos) << check.out();
        } else {
            EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == c.signal) << *status;
        }
    }
}

TEST(CheckSignals, AWatchHeldUpInTheMiddleOfACheckStillEndsOnSigterm) {
    TempDir root;
    TempDir home;
    for (int i = 0; i < 1500; ++i) {
        root.write("/usr/local/share/ca-certificates/junk" + std::to_string(i) + ".crt", "junk\n");
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        ::freopen("/dev/null", "w", stdout);
        ::setenv("HOME", home.path().c_str(), 1);
        ::unsetenv("KESTRUNE_ROOT");
        ::execl(KESTRUNE_CHECK_EXE, KESTRUNE_CHECK_EXE, "--watch", "--trace", "--root",
                root.path().c_str(), nullptr);
        ::_exit(127);
    }
    ::close(fds[1]);
    // The scan's trace fills a pipe nobody reads: the check stops in the middle of it.
    int queued = 0;
    EXPECT_TRUE(
        pollUntil([&] { return ::ioctl(fds[0], FIONREAD, &queued) == 0 && queued >= 60'000; }, 60s))
        << queued;
    ::kill(pid, SIGTERM);
    int status = 0;
    const bool ended = pollUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 60s);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::close(fds[0]);
    ASSERT_TRUE(ended) << "still held up";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(CheckSignals, AFullJournalIsGivenUpOnAfterABoundedWaitAndTheReportPrinted) {
    TempDir root;
    TempDir home;
    root.write("/usr/local/share/ca-certificates/one.crt",
               toPem(*makeCertificate(simpleFields("One", {1}))));
    FullJournal journal(home.path() + "/journal.sock");
    WatchProcess check(home, Launch{{"--journal", "--root", root.path()}, journal.path(), {}});
    const std::optional<int> status = check.endsAfter(0, 60s);  // no signal: it ends by itself
    ASSERT_TRUE(status) << "still waiting for the journal";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << *status;
    EXPECT_NE(check.err().find("could not write to the journal: " + journal.path() +
                               ": the journal's queue stayed full; gave up after waiting 2000 ms"),
              std::string::npos)
        << check.err();
    EXPECT_NE(check.out().find("No baseline yet"), std::string::npos) << check.out();
}

}  // namespace
}  // namespace kestrune
