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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/ports.h"
#include "baseline/baseline_storage.h"
#include "inventory/certificate_record.h"
#include "platform/platform.h"
#include "tests/support/memory_settings.h"
#include "tests/support/sample_records.h"
#include "ui/baseline_messages.h"
#include "ui/certificates_dialog_layout.h"
#include "ui/cycle_dialogue.h"
#include "ui/tray.h"

namespace fs = std::filesystem;

namespace kestrune {
namespace {

// The program under test, as the build made it.
fs::path kestruneBinary() {
    return KESTRUNE_PROGRAM;
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

// A private session bus (what dbus-run-session starts), its address reported through a
// pipe.
class SessionBus {
  public:
    explicit SessionBus(const fs::path& scratch) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        daemon_ = std::make_unique<Child>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=3"},
            std::vector<std::string>{std::string("PATH=") + std::getenv("PATH")},
            scratch / "bus.out", scratch / "bus.err", fds[1]);
        ::close(fds[1]);
        pollfd p{fds[0], POLLIN, 0};
        char c = 0;
        while (::poll(&p, 1, kBoundMs) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
            address_ += c;
        }
        ::close(fds[0]);
    }
    const std::string& address() const { return address_; }

  private:
    std::unique_ptr<Child> daemon_;
    std::string address_;
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
    // withBus: a private session bus with a notification server (dunst) on it and
    // dbus-monitor recording what is said to that server.
    explicit Session(bool withTray, bool withBus = false) {
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
        if (withBus) {
            bus = std::make_unique<SessionBus>(dir.path());
            const std::string address = "DBUS_SESSION_BUS_ADDRESS=" + bus->address();
            xenv.push_back(address);
            env.push_back(address);
            monitor = std::make_unique<Child>(
                std::vector<std::string>{"dbus-monitor", "--session",
                                         "interface='org.freedesktop.Notifications'"},
                xenv, dir.path() / "monitor.out", dir.path() / "monitor.err");
            notifier = std::make_unique<Child>(std::vector<std::string>{"dunst"}, xenv,
                                               dir.path() / "dunst.out", dir.path() / "dunst.err");
            busReady_ =
                !bus->address().empty() &&
                waitFor([&] { return hasOwner("org.freedesktop.Notifications"); }, kBoundMs);
        }
        if (withTray) {
            startTray();
        }
    }

    // The tray host must own the tray before the program looks for one; on a busy
    // machine it can take a while to come up, and now and then it does not.
    void startTray() {
        for (int attempt = 0; attempt < 3 && !trayReady_; ++attempt) {
            tray.reset();
            tray = std::make_unique<Child>(
                std::vector<std::string>{"trayer", "--edge", "top", "--align", "left",
                                         "--widthtype", "pixel", "--width", "120", "--heighttype",
                                         "pixel", "--height", "32"},
                xenv, dir.path() / "trayer.out", dir.path() / "trayer.err");
            trayReady_ = waitFor(
                [&] {
                    return windows().find("\"panel\": (\"panel\" \"trayer\")") != std::string::npos;
                },
                15000);
        }
    }

    bool ready() const {
        return !x.display().empty() && (tray == nullptr || trayReady_) &&
               (bus == nullptr || busReady_);
    }
    bool hasOwner(const std::string& name) {
        return run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                   xenv, dir.path())
                   .find("boolean true") != std::string::npos;
    }
    // Another launch of the program to its end, with its output.
    int launch(const std::vector<std::string>& arguments, std::string& output) {
        std::vector<std::string> argv{kestruneBinary().string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        Child child(argv, env, dir.path() / "launch.out", dir.path() / "launch.err");
        int status = -1;
        if (!child.wait(kBoundMs, status)) {
            ADD_FAILURE() << "a second launch did not end";
        }
        output = readFile(dir.path() / "launch.out") + readFile(dir.path() / "launch.err");
        return status;
    }
    // The notification server's Notify calls, each as its string arguments in order:
    // application name, icon, summary, body, then the actions' keys and labels.
    std::vector<std::vector<std::string>> notifyCalls() const {
        std::vector<std::vector<std::string>> calls;
        std::istringstream in(readFile(dir.path() / "monitor.out"));
        bool inNotify = false;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("method call", 0) == 0 || line.rfind("signal", 0) == 0 ||
                line.rfind("method return", 0) == 0) {
                inNotify = line.find("member=Notify") != std::string::npos;
                if (inNotify) {
                    calls.emplace_back();
                }
                continue;
            }
            const auto at = line.find("string \"");
            if (inNotify && at != std::string::npos &&
                line.find("dict entry") == std::string::npos) {
                const std::string rest = line.substr(at + 8);
                calls.back().push_back(rest.substr(0, rest.rfind('"')));
            }
        }
        return calls;
    }
    bool notified(const std::string& body) const {
        for (const auto& call : notifyCalls()) {
            if (call.size() >= 4 && call[3] == body) {
                return true;
            }
        }
        return false;
    }
    // How many top-level windows of the program carry this caption.
    int windowCount(const std::string& caption) {
        const std::string w = windows();
        const std::string needle = "\"" + caption + "\": (\"kestrune\" \"kestrune\")";
        int n = 0;
        for (auto at = w.find(needle); at != std::string::npos; at = w.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }
    // With the scan trace: the tests follow the program's steps in it.
    void start(const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> e = env;
        e.insert(e.end(), extraEnv.begin(), extraEnv.end());
        program =
            std::make_unique<Child>(std::vector<std::string>{kestruneBinary().string(), "--trace"},
                                    e, out, dir.path() / "kestrune.err");
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
    void pressReturnOn(const std::string& caption) { pressKeysOn(caption, {"Return"}); }
    void pressKeysOn(const std::string& caption, const std::vector<std::string>& keys) {
        const std::string w = windows();
        const auto at = w.find("\"" + caption + "\": (\"kestrune\" \"kestrune\")");
        int width = 0, height = 0, x = 0, y = 0;
        if (at == std::string::npos || std::sscanf(w.c_str() + w.find(')', at) + 1, " %dx%d+%d+%d",
                                                   &width, &height, &x, &y) != 4) {
            ADD_FAILURE() << "no box " << caption << " in\n" << w;
            return;
        }
        std::vector<std::string> argv{"xdotool", "mousemove", std::to_string(x + width / 2),
                                      std::to_string(y + height / 2), "key"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        run(argv, xenv, dir.path());
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
    std::unique_ptr<BaselineStore> machineKey() {
        NullTrace quiet;
        return testing::openStore(
            *makePorts(PlatformOptions{root.string(), home.string()}, quiet).settings,
            SettingsRoot::Machine, StoreAccess::Create);
    }

    TempDir dir;
    const fs::path root = dir.path() / "root";
    const fs::path home = dir.path() / "home";
    const fs::path runtime = dir.path() / "runtime";
    const fs::path out = dir.path() / "kestrune.out";
    Xvfb x{dir.path()};
    std::vector<std::string> xenv;
    std::vector<std::string> env;
    std::unique_ptr<SessionBus> bus;
    std::unique_ptr<Child> monitor;
    std::unique_ptr<Child> notifier;
    bool busReady_ = false;
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
    auto key = testing::openStore(
        *makePorts(PlatformOptions{s.root.string(), s.home.string()}, quiet).settings,
        SettingsRoot::Machine, StoreAccess::Write);
    ASSERT_TRUE(key) << "running as root, the baseline belongs in the machine database";
    const StoreResult<std::uint32_t> size = key->valueSize(BaselineValue::Data);
    ASSERT_TRUE(size) << size.error();
    EXPECT_EQ(*size, 2u * sizeof(CertificateRecord));

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
    const StoreResult<std::uint32_t> size = key->valueSize(BaselineValue::Data);
    ASSERT_TRUE(size) << size.error();
    EXPECT_EQ(*size, sizeof(CertificateRecord));
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

constexpr const char* kCertificatesCaption = CERTIFICATES_DIALOG_CAPTION;

// A stored baseline that no store matches: the first cycle asks about it, so its notices
// come after the icon was added.
void storeBaselineOfOneMissing(Session& s) {
    auto key = s.machineKey();
    ASSERT_TRUE(key);
    RecordTable table;
    testing::fillTable(table, 1, 7);
    ASSERT_TRUE(saveBaseline(*key, table, 1));
}

void storeEmptyBaseline(Session& s) {
    auto key = s.machineKey();
    ASSERT_TRUE(key);
    ASSERT_TRUE(saveBaseline(*key, RecordTable{}, 0));
}

// Starts the monitor and waits until it has loaded its baseline, so what follows talks
// to a running monitor.
bool startAndWaitForTheLoad(Session& s) {
    s.start();
    return waitFor(
        [&] { return s.output().find("registry_settings_load() retuend") != std::string::npos; },
        kBoundMs);
}

void requireBusTools() {
    requireDesktopTools();
    for (const char* tool : {"dbus-daemon", "dbus-send", "dbus-monitor", "dunst", "dunstctl"}) {
        ASSERT_TRUE(onPath(tool)) << tool << " is missing: run scripts/setup.sh";
    }
}

TEST(KestruneWithoutTray, NoticesBecomeDesktopNotificationsWhoseActionOpensTheList) {
    requireBusTools();
    Session s(false, true);
    ASSERT_TRUE(s.ready()) << readFile(s.dir.path() / "bus.err")
                           << readFile(s.dir.path() / "dunst.err");
    storeBaselineOfOneMissing(s);
    s.start();
    ASSERT_TRUE(waitFor([&] { return s.boxShown(kMissingCaption); }, kBoundMs))
        << s.windows() << s.errors();
    // The icon's first notice, then the saved baseline's, each one Notify call.
    ASSERT_TRUE(waitFor([&] { return s.notified("Initializing..."); }, kBoundMs))
        << readFile(s.dir.path() / "monitor.out") << s.output();
    s.pressReturnOn(kMissingCaption);
    ASSERT_TRUE(waitFor([&] { return s.boxShown(kChangesCaption); }, kBoundMs)) << s.windows();
    // Return would keep the baseline: Yes is chosen on purpose (from No, the default
    // button, back to Yes, and press it).
    s.pressKeysOn(kChangesCaption, {"shift+Tab", "space"});
    ASSERT_TRUE(waitFor([&] { return s.notified(kNoticeSaved); }, kBoundMs))
        << readFile(s.dir.path() / "monitor.out");
    for (const auto& call : s.notifyCalls()) {
        ASSERT_GE(call.size(), 4u);
        EXPECT_EQ(call[0], "Brimtal Kestrune");
        EXPECT_EQ(call[1], "kestrune");
        EXPECT_EQ(call[2], "Brimtal Kestrune");
        // dunst offers actions: clicking the notice and its button both open the list.
        EXPECT_NE(std::find(call.begin(), call.end(), "Show certificates"), call.end());
    }
    // The latest notice's default action, as a click on it does.
    run({"dunstctl", "action", "0"}, s.xenv, s.dir.path());
    EXPECT_TRUE(waitFor([&] { return s.boxShown(kCertificatesCaption); }, kBoundMs))
        << s.windows() << readFile(s.dir.path() / "monitor.out");
}

TEST(KestruneWithoutTray, ALaterLaunchAndTheMenuActionsReachTheRunningMonitor) {
    requireBusTools();
    Session s(false, true);
    ASSERT_TRUE(s.ready());
    storeEmptyBaseline(s);
    ASSERT_TRUE(startAndWaitForTheLoad(s)) << s.output() << s.errors();

    // The menu entry: the program again, which only asks for the list and ends.
    std::string said;
    int status = s.launch({}, said);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << said;
    EXPECT_EQ(said.find("registry_settings_load"), std::string::npos) << "it ran a monitor";
    ASSERT_TRUE(waitFor([&] { return s.windowCount(kCertificatesCaption) == 1; }, kBoundMs))
        << s.windows();

    // The entry's actions, as the installed file names them: each opens its window in the
    // running monitor (the open list is brought forward, not opened twice), and Exit ends
    // it.
    std::map<std::string, std::vector<std::string>> actions;
    {
        std::istringstream in(
            readFile(fs::path(KESTRUNE_SOURCE_DIR) / "resources/qt/kestrune.desktop"));
        std::string section;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("[Desktop Action ", 0) == 0) {
                section = line.substr(16, line.size() - 17);
            } else if (!section.empty() && line.rfind("Exec=kestrune", 0) == 0) {
                std::istringstream words(line.substr(13));
                for (std::string w; words >> w;) {
                    actions[section].push_back(w);
                }
            }
        }
    }
    ASSERT_EQ(actions.size(), 3u);
    status = s.launch(actions["Certificates"], said);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << said;
    EXPECT_NE(said.find("asked to open the certificate list"), std::string::npos) << said;
    EXPECT_EQ(s.windowCount(kCertificatesCaption), 1) << s.windows();
    status = s.launch(actions["About"], said);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << said;
    EXPECT_TRUE(waitFor([&] { return s.boxShown("Brimtal Kestrune"); }, kBoundMs)) << s.windows();
    status = s.launch(actions["Exit"], said);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << said;
    ASSERT_TRUE(s.program->wait(kBoundMs, status)) << "Exit did not end the monitor";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // With none running, Exit starts nothing.
    status = s.launch(actions["Exit"], said);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << said;
    EXPECT_FALSE(s.hasOwner("com.brimtal.Kestrune"));
}

TEST(KestruneWithoutTray, WithoutASessionBusTheLockFileKeepsASecondMonitorFromStarting) {
    requireDesktopTools();
    Session s(false);
    ASSERT_TRUE(s.ready());
    storeEmptyBaseline(s);
    ASSERT_TRUE(startAndWaitForTheLoad(s)) << s.output() << s.errors();
    std::string said;
    const int status = s.launch({}, said);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << said;
    EXPECT_NE(said.find("already running"), std::string::npos) << said;
    EXPECT_EQ(said.find("registry_settings_load"), std::string::npos) << "it ran a monitor";
}

// The session lock without a usable runtime folder: unset, missing, or a file (the
// folder is never created); a second monitor is still kept out.
TEST(KestruneWithoutTray, WithoutAUsableRuntimeFolderASecondMonitorIsStillKeptOut) {
    requireDesktopTools();
    for (const std::string runtime : {"", "missing", "a-file"}) {
        SCOPED_TRACE(runtime);
        Session s(false);
        ASSERT_TRUE(s.ready());
        storeEmptyBaseline(s);
        const fs::path folder = s.dir.path() / runtime;
        if (runtime == "a-file") {
            std::ofstream(folder) << "not a folder";
        }
        for (std::string& e : s.env) {
            if (e.rfind("XDG_RUNTIME_DIR=", 0) == 0) {
                e = runtime.empty() ? "XDG_RUNTIME_DIR_UNSET=1"
                                    : "XDG_RUNTIME_DIR=" + folder.string();
            }
        }
        ASSERT_TRUE(startAndWaitForTheLoad(s)) << s.output() << s.errors();
        std::string said;
        const int status = s.launch({}, said);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << said;
        EXPECT_NE(said.find("already running"), std::string::npos) << said;
        EXPECT_EQ(said.find("registry_settings_load"), std::string::npos) << "it ran a monitor";
        if (runtime == "missing") {
            EXPECT_FALSE(fs::exists(folder));
        }
        if (runtime == "a-file") {
            EXPECT_EQ(readFile(folder), "not a folder");
        }
    }
}

// Someone else holds the monitor's bus name: the program monitors all the same and says
// the name is taken.
TEST(KestruneWithoutTray, AProcessHoldingTheBusNameDoesNotStopMonitoring) {
    requireBusTools();
    Session s(false, true);
    ASSERT_TRUE(s.ready());
    storeEmptyBaseline(s);
    Child squatter({"/usr/bin/python3", "-c",
                    "from gi.repository import Gio, GLib\n"
                    "Gio.bus_own_name(Gio.BusType.SESSION, 'com.brimtal.Kestrune', 0, None, None, "
                    "None)\nGLib.MainLoop().run()"},
                   s.xenv, s.dir.path() / "squatter.out", s.dir.path() / "squatter.err");
    ASSERT_TRUE(waitFor([&] { return s.hasOwner("com.brimtal.Kestrune"); }, kBoundMs))
        << readFile(s.dir.path() / "squatter.err");
    ASSERT_TRUE(startAndWaitForTheLoad(s)) << s.output() << s.errors();
    EXPECT_NE(s.errors().find("com.brimtal.Kestrune is taken by another process"),
              std::string::npos)
        << s.errors();
    // Monitoring: the first cycle compares the scan with the baseline.
    EXPECT_TRUE(waitFor(
        [&] { return s.output().find("iCertificateCountTotal_Registry = ") != std::string::npos; },
        kBoundMs))
        << s.output();
}

TEST(KestruneWithoutTray, ATrayHostStartedLaterGetsTheIcon) {
    requireDesktopTools();
    Session s(false);
    ASSERT_TRUE(s.ready());
    storeEmptyBaseline(s);
    s.start();
    ASSERT_TRUE(waitFor(
        [&] {
            return s.output().find(
                       "Tray notice (no system tray): Brimtal Kestrune: "
                       "Initializing...") != std::string::npos;
        },
        kBoundMs))
        << s.output() << s.errors();
    s.startTray();
    ASSERT_TRUE(s.trayReady_) << s.windows();
    EXPECT_TRUE(waitFor([&] { return s.iconInTray(); }, kBoundMs)) << s.windows();
}

TEST(KestruneProgram, HelpAndABadCommandLineEndAtOnceWithoutAWindow) {
    requireDesktopTools();
    Session s(false);
    ASSERT_TRUE(s.ready());
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string says;
    } cases[] = {
        {{"--help"}, 0, "Usage: kestrune [--certificates | --about | --exit] [--trace]"},
        {{"--trace", "--help"}, 0, "--trace         write the per-record scan trace"},
        {{"--bogus"}, 2, "kestrune: unknown option '--bogus'"},
        {{"/etc/hosts"}, 2, "kestrune: unexpected argument '/etc/hosts'"},
        {{"--about", "--exit"}, 2, "only one of --certificates, --about and --exit"},
    };
    for (const auto& c : cases) {
        std::string said;
        const int status = s.launch(c.arguments, said);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
    EXPECT_EQ(s.windows().find("(\"kestrune\" \"kestrune\")"), std::string::npos) << s.windows();
    EXPECT_FALSE(fs::exists(s.home / ".config/kestrune")) << "it started a monitor";
}

TEST(KestruneProgram, ASingleClickOnAnXEmbedTrayOpensOneList) {
    requireDesktopTools();
    Session s(true);
    ASSERT_TRUE(s.ready()) << s.windows();
    storeEmptyBaseline(s);
    s.start();
    ASSERT_TRUE(waitFor([&] { return s.iconInTray(); }, kBoundMs)) << s.windows() << s.errors();
    run({"xdotool", "mousemove", "12", "16", "click", "1"}, s.xenv, s.dir.path());
    ASSERT_TRUE(waitFor([&] { return s.windowCount(kCertificatesCaption) == 1; }, kBoundMs))
        << s.windows() << s.errors();
    // A double-click finds it open: still one list.
    run({"xdotool", "mousemove", "12", "16", "click", "--repeat", "2", "1"}, s.xenv, s.dir.path());
    ASSERT_TRUE(waitFor(
        [&] { return s.errors().find("Certificate list shown") != std::string::npos; }, kBoundMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(s.windowCount(kCertificatesCaption), 1) << s.windows();
}

// A panel that speaks StatusNotifierItem (Plasma, GNOME's AppIndicator extension, XFCE,
// LXQt): the item registers with the watcher, its menu is exported over dbusmenu, and
// "activate" (a click there) opens the list, at 100 % and at twice the scale; each list
// must fit the 1024x768 screen. The screenshots stay beside the test for people to see.
TEST(KestruneOnStatusNotifierTrays, ActivateOpensTheListAndTheMenuHasItsFourActions) {
    requireBusTools();
    ASSERT_EQ(std::system("/usr/bin/python3 -c \"import gi; gi.require_version('Gio', '2.0')\""), 0)
        << "python3-gi is missing: run scripts/setup.sh";
    const std::string watcherScript =
        (fs::path(KESTRUNE_SOURCE_DIR) / "tests/platform/qt/sni_watcher.py").string();
    for (const int scale : {1, 2}) {
        SCOPED_TRACE(scale);
        Session s(false, true);
        ASSERT_TRUE(s.ready()) << readFile(s.dir.path() / "bus.err");
        addLocalAnchors(s.root, s.dir.path());
        // The anchors as the stored baseline (kestrune-check stores one where there is
        // none), so the list shows them.
        run({KESTRUNE_CHECK_PROGRAM, "--root", s.root.string()}, s.env, s.dir.path());
        const fs::path said = s.dir.path() / "watcher.said";
        Child watcher({"/usr/bin/python3", watcherScript, said.string()}, s.xenv,
                      s.dir.path() / "watcher.out", s.dir.path() / "watcher.err");
        ASSERT_TRUE(
            waitFor([&] { return readFile(said).find("watching") != std::string::npos; }, kBoundMs))
            << readFile(s.dir.path() / "watcher.err");
        s.start({"QT_SCALE_FACTOR=" + std::to_string(scale)});

        ASSERT_TRUE(waitFor([&] { return readFile(said).find("activated") != std::string::npos; },
                            kBoundMs))
            << readFile(said) << readFile(s.dir.path() / "watcher.err") << s.errors();
        EXPECT_NE(readFile(said).find("menu _Show Certificates|Scan _Now|-|_About|E_xit\n"),
                  std::string::npos)
            << readFile(said);
        ASSERT_TRUE(waitFor([&] { return s.windowCount(kCertificatesCaption) == 1; }, kBoundMs))
            << s.windows() << s.errors();
        ASSERT_TRUE(waitFor(
            [&] { return s.errors().find("Certificate list shown: ") != std::string::npos; },
            kBoundMs));
        // Its size on the screen, in the screen's pixels.
        const std::string w = s.windows();
        const auto at = w.find("\"" + std::string(kCertificatesCaption) + "\": (\"kestrune\"");
        ASSERT_NE(at, std::string::npos) << w;
        int width = 0, height = 0, x = 0, y = 0;
        ASSERT_EQ(
            std::sscanf(w.c_str() + w.find(')', at) + 1, " %dx%d+%d+%d", &width, &height, &x, &y),
            4);
        const std::string e = s.errors();
        const auto shown = e.find("Certificate list shown: ") + 24;
        std::cout << "list at scale " << scale << ": " << width << "x" << height
                  << " screen pixels (" << e.substr(shown, e.find('\n', shown) - shown)
                  << " as the program reports it)" << std::endl;
        EXPECT_LE(width, 1024);
        EXPECT_LE(height, 768);
        EXPECT_GT(width, 300 * scale);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // painted
        EXPECT_GT(s.screenshot("kestrune-list-" + std::to_string(scale * 100) + ".png"), 8)
            << "the screenshot looks blank";
    }
}

// A headless Wayland compositor takes no injected input: the boxes are answered through
// the accessibility bus, as a screen reader would press their buttons.
TEST(KestruneOnWayland, FirstStartBoxesTheStoredBaselineAndAListFromASecondLaunch) {
    ASSERT_TRUE(onPath("weston") && onPath("dbus-daemon")) << "run scripts/setup.sh";
    ASSERT_EQ(std::system("/usr/bin/python3 -c \"import gi; gi.require_version('Atspi', '2.0')\""),
              0)
        << "gir1.2-atspi-2.0 is missing: run scripts/setup.sh";
    TempDir dir;
    const fs::path root = dir.path() / "root";
    const fs::path home = dir.path() / "home";
    const fs::path runtime = dir.path() / "runtime";
    fs::create_directories(root);
    fs::create_directories(home);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    addLocalAnchors(root, dir.path());
    SessionBus bus(dir.path());
    ASSERT_FALSE(bus.address().empty()) << readFile(dir.path() / "bus.err");
    const std::vector<std::string> base{
        std::string("PATH=") + std::getenv("PATH"), "HOME=" + home.string(),
        "XDG_RUNTIME_DIR=" + runtime.string(), "DBUS_SESSION_BUS_ADDRESS=" + bus.address()};
    Child weston(
        {"weston", "--backend=headless-backend.so", "--socket=kestrune-wl", "--idle-time=0"}, base,
        dir.path() / "weston.out", dir.path() / "weston.err");
    ASSERT_TRUE(waitFor([&] { return fs::exists(runtime / "kestrune-wl"); }, kBoundMs))
        << readFile(dir.path() / "weston.err");
    std::vector<std::string> env = base;
    env.insert(env.end(), {"WAYLAND_DISPLAY=kestrune-wl", "QT_QPA_PLATFORM=wayland",
                           "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1",
                           "XDG_CONFIG_HOME=" + (home / ".config").string(),
                           "KESTRUNE_ROOT=" + root.string()});
    Child program({kestruneBinary().string(), "--trace"}, env, dir.path() / "kestrune.out",
                  dir.path() / "kestrune.err");
    const std::string press =
        (fs::path(KESTRUNE_SOURCE_DIR) / "tests/platform/qt/atspi_press.py").string();
    const auto pressOn = [&](const std::string& caption, const std::string& button) {
        return waitFor(
            [&] {
                Child helper({"/usr/bin/python3", press, "kestrune", caption, button}, base,
                             dir.path() / "press.out", dir.path() / "press.err");
                int status = -1;
                return helper.wait(kBoundMs, status) && WIFEXITED(status) &&
                       WEXITSTATUS(status) == 0;
            },
            kBoundMs);
    };
    const auto pressOk = [&](const std::string& caption) { return pressOn(caption, "OK"); };
    ASSERT_TRUE(pressOk("Brimtal Kestrune"))
        << readFile(dir.path() / "kestrune.err") << readFile(dir.path() / "press.err");
    ASSERT_TRUE(pressOk("Brimtal Kestrune - Certificate Baseline"));
    ASSERT_TRUE(waitFor(
        [&] {
            return readFile(dir.path() / "kestrune.out")
                       .find("registry_settings_load() retuend: 1\r\n") != std::string::npos;
        },
        kBoundMs))
        << readFile(dir.path() / "kestrune.out");
    NullTrace quiet;
    auto key = testing::openStore(
        *makePorts(PlatformOptions{root.string(), home.string()}, quiet).settings,
        SettingsRoot::Machine, StoreAccess::Write);
    ASSERT_TRUE(key);
    const StoreResult<std::uint32_t> size = key->valueSize(BaselineValue::Data);
    ASSERT_TRUE(size) << size.error();
    EXPECT_EQ(*size, 2u * sizeof(CertificateRecord));

    // No tray here: once the icon's first notice is out, a second launch opens the list,
    // and its Scan Now runs a cycle that ends with the user's notice.
    const auto said = [&](const std::string& text) {
        return waitFor(
            [&] { return readFile(dir.path() / "kestrune.out").find(text) != std::string::npos; },
            kBoundMs);
    };
    ASSERT_TRUE(said("Tray notice (no system tray): Brimtal Kestrune: Initializing..."));
    Child second({kestruneBinary().string()}, env, dir.path() / "second.out",
                 dir.path() / "second.err");
    int status = -1;
    ASSERT_TRUE(second.wait(kBoundMs, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(pressOn(kCertificatesCaption, "Scan Now"));
    EXPECT_TRUE(
        said("Tray notice (no system tray): Brimtal Kestrune: User initiated scan complete"))
        << readFile(dir.path() / "kestrune.out");
}

}  // namespace
}  // namespace kestrune
