#include "platform/linux/watch/inotify_change_source.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "platform/linux/stores/extra_stores.h"
#include "platform/linux/stores/nss_store.h"
#include "platform/linux/stores/root_files.h"
#include "platform/linux/stores/trust_modules.h"
#include "platform/linux/stores/trust_store.h"
#include "platform/platform.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

using Steady = std::chrono::steady_clock;

// What changes a store: its files written, replaced, removed or made unreadable.
constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_EXCL_UNLINK;

// The files of an NSS database that say what it trusts (pkcs11.txt lists its modules).
const std::vector<std::string> kNssFiles = {"cert9.db", "cert8.db", "pkcs11.txt", "secmod.db"};

// A rebuilt watch set that found the tree still moving is built again, this many times
// at most in a row; the events of what moves on bring it back anyway.
constexpr int kRebuildRounds = 4;

// Rebuilding costs a walk of every recursive folder: while events keep asking for it (a
// rename storm through thousands of subfolders), it waits four times as long as the last
// one took, so it never takes more than a fifth of the time.
constexpr int kRebuildShare = 4;

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool isLink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    return path.substr(path.find_last_of('/') + 1);
}

std::string trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

class InotifyChangeSource final : public ChangeSource {
  public:
    InotifyChangeSource(std::function<std::vector<WatchTarget>()> targets, InotifyTuning tuning)
        : targets_(std::move(targets)),
          tuning_(std::move(tuning)),
          inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (!tuning_.addWatch) {
            tuning_.addWatch = [](int fd, const std::string& folder, std::uint32_t mask) {
                return ::inotify_add_watch(fd, folder.c_str(), mask);
            };
        }
        if (inotify_.get() < 0) {
            problem("changes to the stores are not watched: inotify: " +
                    std::string(std::strerror(errno)));
        } else {
            rebuild();
        }
    }

    Wake waitForChange(std::uint32_t timeoutMs) override {
        const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (stopped_.load()) {
                return Wake::Stopped;
            }
            if (requested_.exchange(false)) {
                // Whatever was queued is covered by the check asked for.
                drain();
                rebuild();
                changed_ = false;
                return Wake::Requested;
            }
            drain();
            const Steady::time_point now = Steady::now();
            if ((rebuildPending_ && now >= rebuildNotBefore_) ||
                (unwatched_ && now - lastRebuild_ >= std::chrono::milliseconds(tuning_.retryMs))) {
                rebuild();
            }
            if (changed_) {
                changed_ = false;
                return Wake::Changed;
            }
            auto until = deadline;
            if (rebuildPending_) {
                until = std::min(until, rebuildNotBefore_);
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Steady::now());
            if (left.count() <= 0) {
                if (until == deadline) {
                    return Wake::TimedOut;
                }
                continue;  // time for the rebuild that was held back
            }
            pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
            const int ready =
                ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
            if (ready < 0 && errno != EINTR) {
                problem(std::string("waiting for changes failed: ") + std::strerror(errno));
                return Wake::TimedOut;
            }
            if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t got = ::read(wake_.get(), &count, sizeof count);
            }
        }
    }

    void stop() override {
        // Called from signal handlers: an atomic flag and one write, errno untouched.
        stopped_.store(true);
        wakeUp();
    }

    void request() {
        requested_.store(true);
        wakeUp();
    }

    std::vector<std::string> problems() const override {
        std::lock_guard lock(problemsMutex_);
        return problems_;
    }

  private:
    struct Watch {
        std::string folder;
        bool all = false;              // every entry of the folder counts
        bool recursive = false;        // and its new subfolders are watched too
        std::set<std::string> names;   // otherwise these entries
        std::set<std::string> relist;  // entries whose change may add or remove targets
        bool relistAll = false;        // every entry's may (a folder new stores appear in)
        std::set<std::string> links;   // entries that were links: where they lead is watched
    };
    enum class Entry { Name, Relist };

    void wakeUp() {
        const int saved = errno;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
        errno = saved;
    }

    void problem(std::string line) {
        std::lock_guard lock(problemsMutex_);
        if (reported_.insert(line).second) {
            problems_.push_back(std::move(line));
        }
    }

    // Reads every queued event into changed_ and rebuildPending_.
    void drain() {
        if (inotify_.get() < 0) {
            return;
        }
        alignas(inotify_event) char buffer[64 * 1024];
        bool again = false;
        for (;;) {
            const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
            if (got <= 0) {
                break;  // EAGAIN: the queue is empty
            }
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (at > got) {
                    break;
                }
                consider(*event, again);
            }
        }
        if (again && !rebuildPending_) {
            rebuildPending_ = true;
        }
    }

    void consider(const inotify_event& event, bool& again) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            changed_ = again = true;  // events were lost: anything may have happened
            return;
        }
        const auto found = watches_.find(event.wd);
        if (found == watches_.end()) {
            return;  // a watch this source removed itself
        }
        const Watch& watch = found->second;
        if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
            // The folder went, or the kernel dropped its watch: what happened in it since
            // is unknown, and its parent's watch may bring it back.
            changed_ = again = true;
            return;
        }
        const std::string name = event.len > 0 ? std::string(event.name) : std::string();
        const bool relists = watch.relistAll || watch.relist.count(name) != 0;
        const bool counts = watch.all || watch.names.count(name) != 0;
        if (relists) {
            changed_ = again = true;
        }
        if (counts) {
            changed_ = true;
            if (watch.recursive && (event.mask & IN_ISDIR) != 0) {
                again = true;  // a subfolder came or went
            }
        }
        // A link made, retargeted or removed: where it leads is watched anew.
        if ((counts || relists) && !name.empty()) {
            if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0 && watch.links.count(name) != 0) {
                again = true;
            } else if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0 &&
                       isLink(joined(watch.folder, name))) {
                again = true;
            }
        }
    }

    // Watches a folder now; its descriptor, or -1 (said once where it is a fault).
    int watchFolder(const std::string& folder) {
        const int wd = tuning_.addWatch(inotify_.get(), folder, kMask);
        if (wd >= 0) {
            Watch& watch = next_[wd];
            watch.folder = folder;
            fresh_ = fresh_ || watches_.count(wd) == 0;
            return wd;
        }
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return -1;  // gone meanwhile: its parent's event brings it back
        }
        unwatched_ = true;
        if (error == ENOSPC) {
            if (!limitReported_) {
                limitReported_ = true;
                problem(
                    "the inotify watch limit (fs.inotify.max_user_watches) is reached; "
                    "some store folders are not watched, " +
                    folder + " first");
            }
        } else {
            problem(folder + ": not watched: " + std::strerror(error));
        }
        return -1;
    }

    // Waits for the first missing step of `path` in its nearest existing folder.
    void awaitMissing(const std::string& path) {
        std::string missing = path;
        std::string parent = parentOf(missing);
        while (parent != "/" && !isDirectory(parent)) {
            missing = parent;
            parent = parentOf(missing);
        }
        const int wd = watchFolder(parent);
        if (wd >= 0) {
            next_[wd].relist.insert(baseName(missing));
        }
        // Made between the look and the watch: no event will say so.
        raced_ = raced_ || isDirectory(missing);
    }

    // One entry of a folder, waited for where the folder is missing; the folder's
    // descriptor, or -1.
    int watchEntry(const std::string& folder, const std::string& name, Entry kind) {
        if (!isDirectory(folder)) {
            awaitMissing(joined(folder, name));
            return -1;
        }
        const int wd = watchFolder(folder);
        if (wd < 0) {
            awaitMissing(folder);  // went meanwhile
            return -1;
        }
        (kind == Entry::Relist ? next_[wd].relist : next_[wd].names).insert(name);
        return wd;
    }

    // Resolves a machine path as the readers do; every link on the way is watched for
    // being retargeted. False when it cannot be resolved (a loop): only the links are.
    bool follow(const RootDir& root, const std::string& machinePath, std::string& real) {
        std::vector<std::string> links;
        Result<std::string> resolved = root.follow(machinePath, links);
        for (const std::string& link : links) {
            const int wd = watchEntry(parentOf(link), baseName(link), Entry::Relist);
            if (wd >= 0) {
                next_[wd].links.insert(baseName(link));
            }
        }
        if (!resolved) {
            problem(machinePath + ": not watched where it leads: " + resolved.error());
            return false;
        }
        real = std::move(*resolved);
        return true;
    }

    // The folder and every folder below it, each watched before it is listed so that
    // nothing made in it meanwhile goes unseen. Subfolder links are not descended, as
    // the readers do not; links to files are followed.
    void walk(const RootDir& root, const std::string& top) {
        std::vector<std::string> pending = {top};
        while (!pending.empty()) {
            const std::string folder = std::move(pending.back());
            pending.pop_back();
            const int wd = watchFolder(folder);
            if (wd < 0) {
                continue;  // said, and tried again later
            }
            next_[wd].all = next_[wd].recursive = true;
            std::error_code ec;
            fs::directory_iterator it(folder, ec);
            if (ec) {
                if (ec != std::errc::no_such_file_or_directory) {
                    problem(folder + ": " + ec.message() + "; its subfolders are not watched");
                }
                continue;
            }
            for (const fs::directory_iterator end; it != end; it.increment(ec)) {
                std::error_code typeError;
                const fs::file_type type = it->symlink_status(typeError).type();
                if (type == fs::file_type::directory) {
                    pending.push_back(it->path().string());
                } else if (type == fs::file_type::symlink) {
                    std::string real;
                    if (follow(root, root.machinePath(it->path().string()), real)) {
                        watchEntry(parentOf(real), baseName(real), Entry::Name);
                    }
                }
            }
        }
    }

    void watchTarget(const WatchTarget& target) {
        const RootDir root(target.root);
        std::string real;
        if (!follow(root, trimmed(target.folder), real)) {
            return;
        }
        if (!isDirectory(real)) {
            awaitMissing(real);
            return;
        }
        if (real != "/") {
            // Deleted and made again, or replaced by rename.
            watchEntry(parentOf(real), baseName(real), Entry::Relist);
        }
        if (target.recursive) {
            walk(root, real);
            return;
        }
        if (target.relists && target.names.empty()) {
            if (const int wd = watchFolder(real); wd >= 0) {
                next_[wd].relistAll = true;
            }
            return;
        }
        for (const std::string& name : target.names) {
            std::string entry;
            if (follow(root, joined(root.machinePath(real), name), entry)) {
                watchEntry(parentOf(entry), baseName(entry),
                           target.relists ? Entry::Relist : Entry::Name);
            }
        }
    }

    // Watches what the targets name now and drops what they no longer do. A folder
    // watched for the first time may already hold what nobody saw being written.
    void rebuild() {
        const Steady::time_point started = Steady::now();
        bool fresh = false;
        for (int round = 0; round < kRebuildRounds; ++round) {
            next_.clear();
            fresh_ = raced_ = unwatched_ = false;
            for (const WatchTarget& target : targets_()) {
                watchTarget(target);
            }
            fresh = fresh || fresh_;
            for (const auto& [wd, watch] : watches_) {
                if (next_.count(wd) == 0) {
                    ::inotify_rm_watch(inotify_.get(), wd);
                }
            }
            watches_.swap(next_);
            if (!raced_) {
                break;
            }
        }
        next_.clear();
        const Steady::time_point ended = Steady::now();
        if (built_ && (fresh || raced_)) {
            changed_ = true;
        }
        built_ = true;
        rebuildPending_ = false;
        lastRebuild_ = ended;
        rebuildNotBefore_ = ended + kRebuildShare * (ended - started);
    }

    std::function<std::vector<WatchTarget>()> targets_;
    InotifyTuning tuning_;
    UniqueFd inotify_;
    UniqueFd wake_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> requested_{false};
    // Only the waiting thread touches these.
    std::map<int, Watch> watches_;
    std::map<int, Watch> next_;  // the set being built
    bool fresh_ = false;         // the set being built watches a folder the last did not
    bool raced_ = false;         // something awaited appeared while the set was built
    bool unwatched_ = false;     // a folder could not be watched: tried again later
    bool limitReported_ = false;
    bool built_ = false;
    bool changed_ = false;  // seen and not yet returned by a wait
    bool rebuildPending_ = false;
    Steady::time_point lastRebuild_{};
    Steady::time_point rebuildNotBefore_{};
    mutable std::mutex problemsMutex_;
    std::vector<std::string> problems_;
    std::set<std::string> reported_;
};

std::atomic<ChangeSource*> stopOnSignal{nullptr};
std::atomic<InotifyChangeSource*> checkOnSignal{nullptr};
std::atomic<bool> stopping{false};

// How long a stopped watch may take to finish what it is doing (a scan, a report the
// journal is slow to take) before it ends without it: a service stops within seconds.
constexpr unsigned kStopGraceSeconds = 3;

void endNow(int) {
    static const char kLine[] = "kestrune-check: stopped before the check under way was reported\n";
    // Said only where it cannot block: a full pipe may be what holds the check up.
    pollfd out{STDERR_FILENO, POLLOUT, 0};
    if (::poll(&out, 1, 0) == 1 && (out.revents & POLLOUT) != 0) {
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kLine, sizeof kLine - 1);
    }
    ::_exit(0);
}

void stopFromSignal(int) {
    if (stopping.exchange(true)) {
        endNow(0);  // asked twice: no more waiting
    }
    if (ChangeSource* source = stopOnSignal.load()) {
        source->stop();
    }
    ::alarm(kStopGraceSeconds);
}

void checkFromSignal(int) {
    if (InotifyChangeSource* source = checkOnSignal.load()) {
        source->request();
    }
}

void handle(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

// Signals blocked by whoever started the program would never arrive.
void unblock(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : signals) {
        sigaddset(&set, signal);
    }
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

std::vector<WatchTarget> trustSourceTargets(const PlatformOptions& options) {
    const std::string& root = options.root;
    std::vector<WatchTarget> targets;
    const TrustSourcePaths paths = trustSourcePaths();
    // Updates replace the bundle by rename: its folder is watched for its name, and
    // where it leads when it is a link (Fedora's points into ca-trust/extracted).
    for (const std::string& bundle : paths.bundles) {
        targets.push_back({parentOf(bundle), false, {baseName(bundle)}, true, root});
    }
    for (const auto* folders : {&paths.anchorFolders, &paths.blocklistFolders}) {
        for (const std::string& folder : *folders) {
            targets.push_back({folder, true, {}, false, root});
        }
    }
    // Module lists: p11-kit's folders here; each database's pkcs11.txt with its files.
    for (const std::string& folder : p11KitModuleFolders()) {
        targets.push_back({folder, true, {}, false, root});
    }
    targets.push_back({"/etc/pki/nssdb", false, kNssFiles, false, root});
    // The user's databases are named as this machine names them.
    const UserNssPaths user = userNssPaths(options.home);
    for (const std::string& database : user.databases) {
        targets.push_back({database, false, kNssFiles, false, ""});
    }
    for (const std::string& folder : user.iniFolders) {
        targets.push_back({folder, false, {"profiles.ini"}, true, ""});
    }
    // A change where the application stores are looked for may add or remove one.
    for (WatchPoint& point : applicationWatchPoints(RootDir(root), options.home)) {
        std::vector<std::string> names;
        if (!point.name.empty()) {
            names.push_back(std::move(point.name));
        }
        targets.push_back({std::move(point.folder), point.recursive, std::move(names),
                           !point.recursive, point.user ? "" : root});
    }
    return targets;
}

std::unique_ptr<ChangeSource> makeInotifyChangeSource(
    std::function<std::vector<WatchTarget>()> targets, InotifyTuning tuning) {
    return std::make_unique<InotifyChangeSource>(std::move(targets), std::move(tuning));
}

void requestCheck(ChangeSource& source) {
    if (auto* inotify = dynamic_cast<InotifyChangeSource*>(&source)) {
        inotify->request();
    }
}

std::unique_ptr<ChangeSource> makeChangeSource(const PlatformOptions& options) {
    return makeInotifyChangeSource([options] { return trustSourceTargets(options); });
}

void stopOnTermination(ChangeSource& source) {
    stopOnSignal.store(&source);
    checkOnSignal.store(dynamic_cast<InotifyChangeSource*>(&source));
    handle(SIGALRM, endNow);
    handle(SIGTERM, stopFromSignal);
    handle(SIGINT, stopFromSignal);
    // The daemon convention: watch everything anew and check at once.
    handle(SIGHUP, checkFromSignal);
    unblock({SIGTERM, SIGINT, SIGHUP, SIGALRM});
}

void endOnTermination() {
    // Whatever was inherited (ignored, blocked): the check ends at once. What it writes
    // is never left half done (the baseline is one transaction, the metrics file is
    // replaced by rename), so the default action is the clean end.
    handle(SIGTERM, SIG_DFL);
    handle(SIGINT, SIG_DFL);
    struct sigaction hangup {};
    if (::sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN) {
        handle(SIGHUP, SIG_DFL);  // ignored on purpose (nohup) stays ignored
    }
    unblock({SIGTERM, SIGINT, SIGHUP});
}

}  // namespace kestrune
