// kestrune-check --watch as an administrator meets it, on a temp root and home: how long
// from a new certificate (a file in local-anchors, or certutil adding one to an NSS
// database) to its "added" line; what a storm of 5,000 writes in 10 s costs in checks
// (during it: those that saw only part of it; after it: those that saw all of it);
// and the CPU it uses while nothing changes; then a rename storm through 3,000 anchor
// subfolders (every rename asks for the watches to be rebuilt): the CPU it costs, and a
// certificate written deep in the tree after it still reported. Targets: <= 3 s; <= 2
// checks during the storm and 1 after it; 0 ticks idle; the rename storm under a quarter
// of one core.
// Usage: watch_bench [tries=20] [rename]   ("rename": the rename storm alone)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_table.h"
#include "bench/pem_generator.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double since(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The watching process and every line it printed, with the time each arrived.
class Watch {
  public:
    Watch(const std::string& root, const std::string& home) {
        int fds[2];
        if (::pipe(fds) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            ::setenv("HOME", home.c_str(), 1);
            ::unsetenv("KESTRUNE_ROOT");
            ::execl(KESTRUNE_CHECK_EXE, KESTRUNE_CHECK_EXE, "--watch", "--root", root.c_str(),
                    nullptr);
            ::_exit(127);
        }
        ::close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] { read(fd); });
    }
    ~Watch() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        reader_.join();
    }
    pid_t pid() const { return pid_; }

    // Waits for a line holding `text` that arrived after `after`; its arrival time.
    std::optional<Clock::time_point> await(const std::string& text, Clock::time_point after,
                                           std::chrono::seconds bound = 120s) {
        std::unique_lock lock(mutex_);
        std::optional<Clock::time_point> found;
        cv_.wait_for(lock, bound, [&] {
            for (const auto& [at, line] : lines_) {
                if (at >= after && line.find(text) != std::string::npos) {
                    found = at;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    // The arrival times of the lines holding `text`.
    std::vector<Clock::time_point> times(const std::string& text) {
        std::lock_guard lock(mutex_);
        std::vector<Clock::time_point> out;
        for (const auto& [at, line] : lines_) {
            if (line.find(text) != std::string::npos) {
                out.push_back(at);
            }
        }
        return out;
    }
    std::vector<std::pair<Clock::time_point, std::string>> linesAfter(Clock::time_point from) {
        std::lock_guard lock(mutex_);
        std::vector<std::pair<Clock::time_point, std::string>> out;
        for (const auto& entry : lines_) {
            if (entry.first > from) {
                out.push_back(entry);
            }
        }
        return out;
    }
    std::string lastLine(const std::string& text) {
        std::lock_guard lock(mutex_);
        for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
            if (it->second.find(text) != std::string::npos) {
                return it->second;
            }
        }
        return {};
    }

  private:
    void read(int fd) {
        std::string pending;
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            const Clock::time_point at = Clock::now();
            pending.append(buffer, static_cast<std::size_t>(got));
            std::lock_guard lock(mutex_);
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                lines_.emplace_back(at, pending.substr(0, end));
                pending.erase(0, end + 1);
            }
            cv_.notify_all();
        }
        ::close(fd);
    }

    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::pair<Clock::time_point, std::string>> lines_;
};

// utime + stime of a process, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        } else if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

std::string name(unsigned index) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06u", index);
    return std::string("Bench Certificate ") + digits;
}

struct Latency {
    double median = 0;
    double worst = 0;
    int missed = 0;
};

Latency summarise(std::vector<double> seconds, int missed) {
    Latency l;
    l.missed = missed;
    if (!seconds.empty()) {
        std::sort(seconds.begin(), seconds.end());
        l.median = seconds[seconds.size() / 2];
        l.worst = seconds.back();
    }
    return l;
}

void latencyRows(const char* what, const Latency& l, int tries) {
    std::printf("%s: median %.3f s, worst %.3f s, %d of %d never reported\n", what, l.median,
                l.worst, l.missed, tries);
    kestrune::bench::tableRow(
        std::string("--watch latency, ") + what + ", median of " + std::to_string(tries),
        kestrune::bench::figure(l.median, "s"), "target", "3.00 s", l.median / 3.0);
    kestrune::bench::tableRow(
        std::string("--watch latency, ") + what + ", worst of " + std::to_string(tries),
        kestrune::bench::figure(l.worst, "s"), "target", "3.00 s", l.worst / 3.0);
}

// The rename storm: top folders of a 30 x 100 tree renamed away and back for 10 s.
void renameStorm(const std::string& base, kestrune::bench::Generator& generator) {
    const std::string root = base + "/rename-root";
    const std::string home = base + "/rename-home";
    const std::string anchors = root + "/usr/local/share/ca-certificates";
    constexpr int kTop = 30;
    constexpr int kSub = 100;
    for (int t = 0; t < kTop; ++t) {
        for (int u = 0; u < kSub; ++u) {
            fs::create_directories(anchors + "/t" + std::to_string(t) + "/s" + std::to_string(u));
        }
    }
    fs::create_directories(home);
    std::ofstream(anchors + "/first.crt") << generator.pem(1);
    Watch watch(root, home);
    if (!watch.await("All certificates in all stores", Clock::time_point{})) {
        std::printf("rename storm: no first report\n");
        return;
    }
    std::this_thread::sleep_for(12s);  // past the first check's settling
    const long before = cpuTicks(watch.pid());
    const auto start = Clock::now();
    int renames = 0;
    while (Clock::now() - start < 10s) {
        const std::string from = anchors + "/t" + std::to_string(renames % kTop);
        fs::rename(from, from + ".moved");
        fs::rename(from + ".moved", from);
        renames += 2;
        std::this_thread::sleep_for(2ms);
    }
    const double stormSeconds = since(start, Clock::now());
    const long ticks = cpuTicks(watch.pid()) - before;
    const double share =
        static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / stormSeconds;
    // Still watching: a certificate deep in a folder that was renamed away and back.
    std::this_thread::sleep_for(12s);
    const auto written = Clock::now();
    std::ofstream(anchors + "/t7/s42/deep.crt") << generator.pem(7);
    const bool seen = watch.await("\t" + name(7) + "\t", written, 60s).has_value();
    std::printf(
        "rename storm: %d renames of folders in a tree of %d in %.1f s: %ld ticks (%.3f "
        "of a core); a certificate written deep after it %s\n",
        renames, kTop * (kSub + 1), stormSeconds, ticks, share, seen ? "reported" : "NOT reported");
    kestrune::bench::tableRow("--watch, rename storm through 3,000 subfolders: CPU share of a core",
                              kestrune::bench::figure(share, "of a core"), "target", "0.25",
                              share / 0.25);
    kestrune::bench::tableRow("--watch, rename storm: a certificate deep in the tree after it",
                              seen ? "reported" : "missed", "target", "reported", seen ? 1.0 : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int tries = argc > 1 ? std::atoi(argv[1]) : 20;
    const bool renameOnly = argc > 2 && std::string(argv[2]) == "rename";
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string base = (fs::temp_directory_path() / "kestrune-watch-bench-XXXXXX").string();
    if (::mkdtemp(base.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = base + "/root";
    const std::string home = base + "/home";
    const std::string anchors = root + "/usr/local/share/ca-certificates";
    const std::string nssdb = home + "/.pki/nssdb";
    fs::create_directories(anchors);
    fs::create_directories(nssdb);
    kestrune::bench::Generator generator;
    std::ofstream(anchors + "/first.crt") << generator.pem(1);
    const bool haveNss =
        std::system(
            ("certutil -N -d 'sql:" + nssdb + "' --empty-password >/dev/null 2>&1").c_str()) == 0;

    if (!renameOnly) {
        Watch watch(root, home);
        if (!watch.await("All certificates in all stores", Clock::time_point{})) {
            std::printf("no first report\n");
            return 1;
        }
        // Each try starts ten seconds after the check before, so the figure is the quiet
        // period and the scan, not the gap between two checks.
        // A report's opening line comes before its other lines, and after its scan began.
        auto settle = [&] {
            std::this_thread::sleep_until(watch.times("check\t").back() + 10500ms);
        };

        unsigned next = 1000;
        std::vector<double> fileLatency;
        int fileMissed = 0;
        for (int i = 0; i < tries; ++i) {
            settle();
            const unsigned index = next++;
            const auto start = Clock::now();
            std::ofstream(anchors + "/try-" + std::to_string(index) + ".crt")
                << generator.pem(index);
            if (const auto at = watch.await("\t" + name(index) + "\t", start)) {
                fileLatency.push_back(since(start, *at));
            } else {
                ++fileMissed;
            }
        }
        latencyRows("file in local-anchors", summarise(fileLatency, fileMissed), tries);

        int nssAdded = 0;
        if (haveNss) {
            std::vector<double> nssLatency;
            int nssMissed = 0;
            for (int i = 0; i < tries; ++i) {
                settle();
                const unsigned index = next++;
                const std::string pem = base + "/import.pem";
                std::ofstream(pem) << generator.pem(index);
                const auto start = Clock::now();
                if (std::system(("certutil -A -d 'sql:" + nssdb + "' -n n" + std::to_string(index) +
                                 " -t C,, -i '" + pem + "' >/dev/null 2>&1")
                                    .c_str()) != 0) {
                    ++nssMissed;
                    continue;
                }
                ++nssAdded;
                if (const auto at = watch.await("\t" + name(index) + "\t", start)) {
                    nssLatency.push_back(since(start, *at));
                } else {
                    ++nssMissed;
                }
            }
            latencyRows("certutil -A into an NSS database", summarise(nssLatency, nssMissed),
                        tries);
        } else {
            std::printf("certutil not found: no NSS figures\n");
        }

        // The storm: 5,000 certificate files written over ten seconds.
        settle();
        constexpr unsigned kStorm = 5000;
        const auto stormStart = Clock::now();
        for (unsigned i = 0; i < kStorm; ++i) {
            std::ofstream(anchors + "/storm-" + std::to_string(i) + ".crt")
                << generator.pem(100000 + i);
            std::this_thread::sleep_until(stormStart + (i + 1) * 2ms);
        }
        const auto stormEnd = Clock::now();
        std::this_thread::sleep_until(stormEnd + 25s);
        // Every certificate added since the first report and none missing: the unique
        // count is the first file and every one added (a certificate counts once in each
        // pass that reads its store, so "added" is the observed total but the baseline's).
        const unsigned expected = 1 + static_cast<unsigned>(tries) + nssAdded + kStorm;
        const std::string summary = watch.lastLine(" added, ");
        unsigned added = 0;
        unsigned missing = 1;
        unsigned baseline = 0;
        unsigned observed = 0;
        unsigned unique = 0;
        const bool parsed =
            std::sscanf(summary.c_str(),
                        "%u added, %u missing, 0 changed (baseline: %u certificates, observed: "
                        "%u certificates, %u unique)",
                        &added, &missing, &baseline, &observed, &unique) == 5;
        const bool correct =
            parsed && missing == 0 && unique == expected && added == observed - baseline;
        // A check that saw fewer certificates than the last one began during the storm.
        int during = 0;
        int after = 0;
        for (const auto& [at, line] : watch.linesAfter(stormStart)) {
            unsigned a = 0;
            unsigned m = 0;
            unsigned b = 0;
            unsigned seen = 0;
            if (std::sscanf(line.c_str(),
                            "%u added, %u missing, 0 changed (baseline: %u certificates, "
                            "observed: %u certificates",
                            &a, &m, &b, &seen) == 4) {
                (seen < observed ? during : after) += 1;
            }
        }
        std::printf(
            "storm of %u writes in %.1f s: %d checks during, %d after; last summary: %s "
            "(expected %u unique)\n",
            kStorm, since(stormStart, stormEnd), during, after, summary.c_str(), expected);
        kestrune::bench::tableRow("--watch, storm of 5,000 writes in 10 s: checks during",
                                  std::to_string(during), "target", "<= 2", during / 2.0);
        kestrune::bench::tableRow("--watch, storm of 5,000 writes in 10 s: checks after",
                                  std::to_string(after), "target", "1", after / 1.0);
        kestrune::bench::tableRow("--watch, storm: the last report is correct",
                                  correct ? "yes" : "no", "target", "yes", correct ? 1.0 : 0.0);

        // Idle: a minute without changes, after the last check.
        const long before = cpuTicks(watch.pid());
        std::this_thread::sleep_for(60s);
        const long ticks = cpuTicks(watch.pid()) - before;
        std::printf("idle for 60 s: %ld ticks of CPU\n", ticks);
        kestrune::bench::tableRow("--watch, idle CPU over 60 s without changes",
                                  std::to_string(ticks) + " ticks", "target", "0 ticks",
                                  static_cast<double>(ticks));
    }
    renameStorm(base, generator);
    fs::remove_all(base);
    return 0;
}
