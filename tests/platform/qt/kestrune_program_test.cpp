// The real `kestrune` binary as a user meets it: without a display, and under Xvfb with
// a tray host, from the first-start boxes to Exit from the tray menu.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/ports.h"
#include "baseline/baseline_storage.h"
#include "inventory/certificate_record.h"
#include "tests/support/sample_records.h"
#include "ui/baseline_messages.h"

namespace fs = std::filesystem;

namespace kestrune {
namespace {

// The build puts the program three levels above this test's folder.
fs::path kestruneBinary() {
    return fs::canonical("/proc/self/exe").parent_path() / "../../../platform/qt/kestrune";
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool onPath(const std::string& program) {
    const std::string cmd = "command -v " + program + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// How long to wait for the program, a helper or the X server before calling it stuck:
// a bound for a fault, well past what a busy machine needs.
constexpr int kBoundMs = 60000;

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kestrune-qt-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// A child process with its own environment; killed (by its pid) if still running when
// the test ends.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
          const fs::path& out, const fs::path& err, int passFd = -1) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        if (passFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, passFd, 3);
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (const auto& e : env) {
            envp.push_back(const_cast<char*>(e.c_str()));
        }
        envp.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    // True when the child ended within `timeoutMs`; `status` is its wait status.
    bool wait(int timeoutMs, int& status) {
        const bool ended = waitFor(
            [&] {
                if (pid_ <= 0) {
                    return true;
                }
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;
                    return true;
                }
                return false;
            },
            timeoutMs);
        return ended;
    }

  private:
    pid_t pid_ = -1;
};

// Runs a helper program to the end and returns its standard output.
std::string run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const fs::path& scratch) {
    const fs::path out = scratch / "helper.out";
    Child child(argv, env, out, scratch / "helper.err");
    int status = 0;
    child.wait(kBoundMs, status);
    return readFile(out);
}

TEST(KestruneProgram, WithoutAnyDisplayItNamesTheHeadlessToolAndExitsWithTwo) {
    TempDir dir;
    const std::string bin = kestruneBinary().string();
    ASSERT_TRUE(fs::exists(bin)) << "build the kestrune target first: " << bin;
    const std::string path = std::string("PATH=") + std::getenv("PATH");

    // Nothing configured at all.
    {
        Child child({bin}, {path, "HOME=" + dir.path().string()}, dir.path() / "out",
                    dir.path() / "err");
        int status = 0;
        ASSERT_TRUE(child.wait(kBoundMs, status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        const std::string err = readFile(dir.path() / "err");
        EXPECT_NE(err.find("kestrune-check"), std::string::npos) << err;
        EXPECT_TRUE(readFile(dir.path() / "out").empty());
    }
    // A display that is configured but cannot be reached: Qt's abort is turned into the
    // same message and status.
    int unused = 90;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(unused)) ||
           fs::exists("/tmp/.X" + std::to_string(unused) + "-lock")) {
        ++unused;
    }
    {
        Child child({bin},
                    {path, "HOME=" + dir.path().string(), "DISPLAY=:" + std::to_string(unused)},
                    dir.path() / "out", dir.path() / "err");
        int status = 0;
        ASSERT_TRUE(child.wait(kBoundMs, status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        EXPECT_NE(readFile(dir.path() / "err").find("kestrune-check"), std::string::npos);
    }
    // A display that takes the connection and never answers: a listening socket on the
    // loopback that nobody reads (the kernel completes the connection by itself).
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    int number = 77;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;; ++number) {
        ASSERT_LT(number, 200) << "no free X port on the loopback";
        address.sin_port = htons(static_cast<std::uint16_t>(6000 + number));
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            break;
        }
    }
    ASSERT_EQ(::listen(listener, 4), 0);
    {
        Child child(
            {bin},
            {path, "HOME=" + dir.path().string(), "DISPLAY=127.0.0.1:" + std::to_string(number)},
            dir.path() / "out", dir.path() / "err");
        int status = 0;
        ASSERT_TRUE(child.wait(kBoundMs, status)) << "still waiting for a silent display";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        EXPECT_NE(readFile(dir.path() / "err").find("kestrune-check"), std::string::npos);
    }
    ::close(listener);
}

// Xvfb on a display number it picks itself, reported through a pipe.
class Xvfb {
  public:
    explicit Xvfb(const fs::path& scratch) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        server_ = std::make_unique<Child>(
            std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24",
                                     "-nolisten", "tcp"},
            std::vector<std::string>{std::string("PATH=") + std::getenv("PATH")},
            scratch / "xvfb.out", scratch / "xvfb.err", fds[1]);
        ::close(fds[1]);
        pollfd p{fds[0], POLLIN, 0};
        std::string number;
        char c = 0;
        while (::poll(&p, 1, kBoundMs) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        ::close(fds[0]);
        if (!number.empty()) {
            display_ = ":" + number;
        }
    }
    const std::string& display() const { return display_; }

  private:
    std::unique_ptr<Child> server_;
    std::string display_;
};

// Two self-signed CA certificates where admins add their own.
void addLocalAnchors(const fs::path& root, const fs::path& scratch) {
    const fs::path anchors = root / "usr/local/share/ca-certificates";
    fs::create_directories(anchors);
    for (const char* name : {"alpha", "bravo"}) {
        const std::string cmd =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "
            "'/CN=Kestrune Test " +
            std::string(name) + "' -keyout " + (scratch / (std::string(name) + ".key")).string() +
            " -out " + (anchors / (std::string(name) + ".crt")).string() + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
}

// One desktop session under Xvfb: a temp root, home and runtime folder, optionally a
// tray host at the top left, and the program started with only those in its
// environment.
class Session {
  public:
    explicit Session(bool withTray) {
        fs::create_directories(root);
        fs::create_directories(home);
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
        if (x.display().empty()) {
            return;
        }
        const std::string path = std::string("PATH=") + std::getenv("PATH");
        xenv = {path, "DISPLAY=" + x.display(), "HOME=" + home.string()};
        env = {path,
               "DISPLAY=" + x.display(),
               "HOME=" + home.string(),
               "XDG_CONFIG_HOME=" + (home / ".config").string(),
               "XDG_RUNTIME_DIR=" + runtime.string(),
               "KESTRUNE_ROOT=" + root.string()};
        if (withTray) {
            // The tray host must own the tray before the program looks for one; on a busy
            // machine it can take a while to come up, and now and then it does not.
            for (int attempt = 0; attempt < 3 && !trayReady_; ++attempt) {
                tray.reset();
                tray = std::make_unique<Child>(
                    std::vector<std::string>{"trayer", "--edge", "top", "--align", "left",
                                             "--widthtype", "pixel", "--width", "120",
                                             "--heighttype", "pixel", "--height", "32"},
                    xenv, dir.path() / "trayer.out", dir.path() / "trayer.err");
                trayReady_ = waitFor(
                    [&] {
                        return windows().find("\"panel\": (\"panel\" \"trayer\")") !=
                               std::string::npos;
                    },
                    15000);
            }
        }
    }

    bool ready() const { return !x.display().empty() && (tray == nullptr || trayReady_); }
    void start() {
        program = std::make_unique<Child>(std::vector<std::string>{kestruneBinary().string()}, env,
                                          out, dir.path() / "kestrune.err");
    }
    std::string output() const { return readFile(out); }
    bool trayReady_ = false;
    std::string errors() const { return readFile(dir.path() / "kestrune.err"); }
    std::string windows() { return run({"xwininfo", "-root", "-tree"}, xenv, dir.path()); }
    // A box is a top-level window of the program with the caption as its name.
    bool boxShown(const std::string& caption) {
        return windows().find("\"" + caption + "\": (\"kestrune\" \"kestrune\")") !=
               std::string::npos;
    }
    // Saved next to the test program for people to look at; returns the colour count.
    int screenshot(const std::string& name) {
        const fs::path shot = fs::current_path() / name;
        run({"import", "-window", "root", shot.string()}, xenv, dir.path());
        std::cout << "screenshot: " << shot.string() << std::endl;
        return std::atoi(
            run({"identify", "-format", "%k", shot.string()}, xenv, dir.path()).c_str());
    }
    // Without a window manager keys go to the window under the pointer: put it in the
    // middle of the box first.
    void pressReturnOn(const std::string& caption) {
        const std::string w = windows();
        const auto at = w.find("\"" + caption + "\": (\"kestrune\" \"kestrune\")");
        int width = 0, height = 0, x = 0, y = 0;
        if (at == std::string::npos || std::sscanf(w.c_str() + w.find(')', at) + 1, " %dx%d+%d+%d",
                                                   &width, &height, &x, &y) != 4) {
            ADD_FAILURE() << "no box " << caption << " in\n" << w;
            return;
        }
        run({"xdotool", "mousemove", std::to_string(x + width / 2), std::to_string(y + height / 2),
             "key", "Return"},
            xenv, dir.path());
    }
    // The icon sits in the tray host's first slot once added.
    bool iconInTray() {
        const std::string w = windows();
        return w.find("\"panel\": (\"panel\" \"trayer\")") != std::string::npos &&
               w.find("(\"kestrune\" \"kestrune\")  22x") != std::string::npos;
    }
    // The program's windows on screen, one id a line.
    std::string windowsShown() {
        return run({"xdotool", "search", "--onlyvisible", "--class", "kestrune"}, xenv, dir.path());
    }
    void exitFromTrayMenu(const std::string& menuShot) {
        const std::string before = windowsShown();
        run({"xdotool", "mousemove", "12", "16", "click", "3"}, xenv, dir.path());
        // The menu is a window of the program on screen that was not before (a balloon
        // may have gone meanwhile).
        const auto menuShown = [&] {
            std::istringstream now(windowsShown());
            for (std::string id; std::getline(now, id);) {
                if (before.find(id + "\n") == std::string::npos) {
                    return true;
                }
            }
            return false;
        };
        if (!waitFor(menuShown, kBoundMs)) {
            ADD_FAILURE() << "no tray menu came up in\n" << windows();
        }
        if (!menuShot.empty()) {
            screenshot(menuShot);
        }
        run({"xdotool", "key", "x"}, xenv, dir.path());
    }
    std::unique_ptr<SettingsKey> machineKey() {
        NullTrace quiet;
        return makePorts(PlatformOptions{root.string(), home.string()}, quiet)
            .settings->createKey(SettingsRoot::Machine, kSettingsKeyPath);
    }

    TempDir dir;
    const fs::path root = dir.path() / "root";
    const fs::path home = dir.path() / "home";
    const fs::path runtime = dir.path() / "runtime";
    const fs::path out = dir.path() / "kestrune.out";
    Xvfb x{dir.path()};
    std::vector<std::string> xenv;
    std::vector<std::string> env;
    std::unique_ptr<Child> tray;
    std::unique_ptr<Child> program;
};

void requireDesktopTools() {
    for (const char* tool : {"Xvfb", "xdotool", "xwininfo", "import", "identify", "trayer"}) {
        ASSERT_TRUE(onPath(tool)) << tool << " is missing: run scripts/setup.sh";
    }
    ASSERT_TRUE(fs::exists(kestruneBinary())) << "build the kestrune target first";
}

TEST(KestruneProgram, EndToEndUnderXvfbFirstStartBaselineNoticesAndExit) {
    requireDesktopTools();
    Session s(true);
    ASSERT_TRUE(s.ready()) << readFile(s.dir.path() / "xvfb.err");
    addLocalAnchors(s.root, s.dir.path());
    s.start();

    // First start: the announcement, then the summary with both counts.
    ASSERT_TRUE(waitFor([&] { return s.boxShown("Brimtal Kestrune"); }, kBoundMs))
        << s.windows() << s.errors();
    EXPECT_GT(s.screenshot("kestrune-first-start.png"), 8) << "the screenshot looks blank";
    s.pressReturnOn("Brimtal Kestrune");
    ASSERT_TRUE(
        waitFor([&] { return s.boxShown("Brimtal Kestrune - Certificate Baseline"); }, kBoundMs))
        << s.windows();
    s.screenshot("kestrune-baseline-summary.png");
    s.pressReturnOn("Brimtal Kestrune - Certificate Baseline");

    // The baseline was stored before the load, which found it.
    ASSERT_TRUE(waitFor(
        [&] {
            return s.output().find("registry_settings_load() retuend: 1\r\n") != std::string::npos;
        },
        kBoundMs))
        << s.output();
    NullTrace quiet;
    auto key = makePorts(PlatformOptions{s.root.string(), s.home.string()}, quiet)
                   .settings->openKey(SettingsRoot::Machine, kSettingsKeyPath);
    ASSERT_TRUE(key) << "running as root, the baseline belongs in the machine database";
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    ASSERT_EQ(key->queryValue(kValueCertificateData, &type, nullptr, &size), SettingsStatus::Ok);
    EXPECT_EQ(size, 2u * sizeof(CertificateRecord));

    // 3 s after the UI starts the icon is in the tray with its first balloon; its menu's
    // Exit ends the program with status 0.
    ASSERT_TRUE(waitFor([&] { return s.iconInTray(); }, kBoundMs)) << s.windows();
    s.screenshot("kestrune-tray.png");
    // A double-click opens the certificate list; Exit still works while it is open.
    run({"xdotool", "mousemove", "12", "16", "click", "--repeat", "2", "--delay", "80", "1"},
        s.xenv, s.dir.path());
    ASSERT_TRUE(waitFor([&] { return s.boxShown("Brimtal Kestrune - Certificates"); }, kBoundMs))
        << s.windows();
    s.screenshot("kestrune-certificates.png");
    s.exitFromTrayMenu("kestrune-tray-menu.png");
    int status = -1;
    ASSERT_TRUE(s.program->wait(kBoundMs, status)) << "Exit did not end the program";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(KestruneProgram, ExitFromTheTrayWhileTheCycleWaitsForTheUser) {
    requireDesktopTools();
    Session s(true);
    ASSERT_TRUE(s.ready());
    // A stored baseline of one certificate that no store holds: the first cycle stops at
    // the missing-certificate box, and the tray must still answer.
    {
        auto key = s.machineKey();
        ASSERT_TRUE(key);
        RecordTable table;
        testing::fillTable(table, 1, 7);
        ASSERT_TRUE(saveBaseline(*key, table, 1));
    }
    s.start();
    ASSERT_TRUE(
        waitFor([&] { return s.boxShown("Brimtal Kestrune - Certificate Missing"); }, kBoundMs))
        << s.windows() << s.output();
    ASSERT_TRUE(waitFor([&] { return s.iconInTray(); }, kBoundMs)) << s.windows();
    EXPECT_TRUE(s.boxShown("Brimtal Kestrune - Certificate Missing"));
    s.exitFromTrayMenu("");
    int status = -1;
    ASSERT_TRUE(s.program->wait(kBoundMs, status)) << "Exit did not end the program";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // Nothing was written on the way out: the stored baseline is the one from before.
    auto key = s.machineKey();
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    ASSERT_EQ(key->queryValue(kValueCertificateData, &type, nullptr, &size), SettingsStatus::Ok);
    EXPECT_EQ(size, sizeof(CertificateRecord));
}

TEST(KestruneProgram, WithoutASystemTrayEveryNoticeIsWrittenToStandardOutput) {
    requireDesktopTools();
    Session s(false);
    ASSERT_TRUE(s.ready());
    // An empty stored baseline: no boxes, straight to the load and the tray.
    {
        auto key = s.machineKey();
        ASSERT_TRUE(key);
        ASSERT_TRUE(saveBaseline(*key, RecordTable{}, 0));
    }
    s.start();
    EXPECT_TRUE(waitFor(
        [&] {
            return s.output().find(
                       "Tray notice (no system tray): Brimtal Kestrune: "
                       "Initializing... | Brimtal Kestrune | Total Certificate "
                       "Count: ") != std::string::npos;
        },
        kBoundMs))
        << s.output() << s.errors();
}

}  // namespace
}  // namespace kestrune
