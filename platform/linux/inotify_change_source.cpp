#include "platform/linux/inotify_change_source.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

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

#include "platform/linux/nss_store.h"
#include "platform/linux/root_files.h"
#include "platform/linux/trust_store.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

// What changes a store: its files written, replaced, removed or made unreadable.
constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_EXCL_UNLINK;

// The files of an NSS database that say what it trusts (pkcs11.txt lists its modules).
const std::vector<std::string> kNssFiles = {"cert9.db", "cert8.db", "pkcs11.txt", "secmod.db"};

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
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

class InotifyChangeSource final : public ChangeSource {
  public:
    explicit InotifyChangeSource(std::function<std::vector<WatchTarget>()> targets)
        : targets_(std::move(targets)),
          inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (inotify_.get() < 0) {
            problem("changes to the stores are not watched: inotify: " +
                    std::string(std::strerror(errno)));
        } else {
            rewatch();
        }
    }

    Wake waitForChange(std::uint32_t timeoutMs) override {
        using Steady = std::chrono::steady_clock;
        const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (stopped_.load()) {
                return Wake::Stopped;
            }
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now());
            if (left.count() <= 0) {
                // Changes already queued still count: a deadline of 0 only asks.
                return drain() ? Wake::Changed : Wake::TimedOut;
            }
            pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
            const int ready =
                ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                problem(std::string("waiting for changes failed: ") + std::strerror(errno));
                return Wake::TimedOut;
            }
            if (stopped_.load()) {
                return Wake::Stopped;
            }
            if (ready > 0 && (fds[1].revents & POLLIN) != 0 && drain()) {
                return Wake::Changed;
            }
        }
    }

    void stop() override {
        // Called from signal handlers: an atomic flag and one write, errno untouched.
        const int saved = errno;
        stopped_.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
        errno = saved;
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
    };

    void problem(std::string line) {
        std::lock_guard lock(problemsMutex_);
        if (reported_.insert(line).second) {
            problems_.push_back(std::move(line));
        }
    }

    // Reads every queued event; true when one of them may change a store.
    bool drain() {
        if (inotify_.get() < 0) {
            return false;
        }
        alignas(inotify_event) char buffer[64 * 1024];
        bool changed = false;
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
                consider(*event, changed, again);
            }
        }
        if (again) {
            rewatch();
        }
        return changed;
    }

    void consider(const inotify_event& event, bool& changed, bool& again) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            changed = again = true;  // events were lost: anything may have happened
            return;
        }
        const auto found = watches_.find(event.wd);
        if (found == watches_.end()) {
            return;  // a watch this source removed itself
        }
        const Watch& watch = found->second;
        if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
            // The folder went: what was below it is gone, its parent may get it back.
            changed = changed || watch.all || !watch.names.empty();
            again = true;
            return;
        }
        const std::string name = event.len > 0 ? std::string(event.name) : std::string();
        if (watch.relist.count(name) != 0) {
            changed = again = true;
        }
        if (watch.all || watch.names.count(name) != 0) {
            changed = true;
            if (watch.recursive && (event.mask & IN_ISDIR) != 0) {
                again = true;  // a subfolder came or went
            }
        }
    }

    void want(std::map<std::string, Watch>& wanted, const std::string& folder,
              const std::function<void(Watch&)>& add) {
        Watch& watch = wanted[folder];
        watch.folder = folder;
        add(watch);
    }

    // The folder and every folder below it, symbolic links not followed.
    void walk(const std::string& top, std::map<std::string, Watch>& wanted) {
        std::vector<std::string> pending = {top};
        while (!pending.empty()) {
            const std::string folder = std::move(pending.back());
            pending.pop_back();
            want(wanted, folder, [](Watch& w) { w.all = w.recursive = true; });
            std::error_code ec;
            fs::directory_iterator it(folder, ec);
            if (ec) {
                problem(folder + ": " + ec.message() + "; its subfolders are not watched");
                continue;
            }
            for (const fs::directory_iterator end; it != end; it.increment(ec)) {
                std::error_code typeError;
                if (it->symlink_status(typeError).type() == fs::file_type::directory) {
                    pending.push_back(it->path().string());
                }
            }
        }
    }

    // Watches what the targets name now and drops what they no longer do.
    void rewatch() {
        std::map<std::string, Watch> wanted;
        for (const WatchTarget& target : targets_()) {
            const std::string folder = trimmed(target.folder);
            if (isDirectory(folder)) {
                if (target.recursive) {
                    walk(folder, wanted);
                } else {
                    want(wanted, folder, [&](Watch& w) {
                        (target.relists ? w.relist : w.names)
                            .insert(target.names.begin(), target.names.end());
                    });
                }
                if (folder != "/") {
                    // Deleted and made again, or replaced by rename.
                    want(wanted, parentOf(folder),
                         [&](Watch& w) { w.relist.insert(baseName(folder)); });
                }
                continue;
            }
            // Not there yet: wait for the missing step in the nearest folder that is.
            std::string missing = folder;
            std::string parent = parentOf(missing);
            while (parent != "/" && !isDirectory(parent)) {
                missing = parent;
                parent = parentOf(missing);
            }
            want(wanted, parent, [&](Watch& w) { w.relist.insert(baseName(missing)); });
        }

        std::map<int, Watch> watches;
        for (auto& [folder, watch] : wanted) {
            const int wd = ::inotify_add_watch(inotify_.get(), folder.c_str(), kMask);
            if (wd < 0) {
                if (errno == ENOSPC) {
                    problem(
                        "the inotify watch limit (fs.inotify.max_user_watches) is reached; "
                        "some store folders are not watched, " +
                        folder + " first");
                } else if (errno != ENOENT && errno != ENOTDIR) {
                    // Gone meanwhile: its parent's event brings it back.
                    problem(folder + ": not watched: " + std::strerror(errno));
                }
                continue;
            }
            // Two paths to one folder share a watch.
            Watch& merged = watches[wd];
            merged.folder = folder;
            merged.all = merged.all || watch.all;
            merged.recursive = merged.recursive || watch.recursive;
            merged.names.insert(watch.names.begin(), watch.names.end());
            merged.relist.insert(watch.relist.begin(), watch.relist.end());
        }
        for (const auto& [wd, watch] : watches_) {
            if (watches.count(wd) == 0) {
                ::inotify_rm_watch(inotify_.get(), wd);
            }
        }
        watches_ = std::move(watches);
    }

    std::function<std::vector<WatchTarget>()> targets_;
    UniqueFd inotify_;
    UniqueFd wake_;
    std::atomic<bool> stopped_{false};
    std::map<int, Watch> watches_;  // only the waiting thread touches these
    mutable std::mutex problemsMutex_;
    std::vector<std::string> problems_;
    std::set<std::string> reported_;
};

std::atomic<ChangeSource*> stopOnSignal{nullptr};

void stopFromSignal(int) {
    if (ChangeSource* source = stopOnSignal.load()) {
        source->stop();
    }
}

}  // namespace

std::vector<WatchTarget> trustSourceTargets(const PlatformOptions& options) {
    std::string root = trimmed(options.root.empty() ? "/" : options.root);
    if (root == "/") {
        root.clear();
    }
    std::vector<WatchTarget> targets;
    const TrustSourcePaths paths = trustSourcePaths();
    // Updates replace the bundle by rename: its folder is watched for its name. A bundle
    // that is a link (Fedora's points into ca-trust/extracted) is watched where it leads
    // as well, found again whenever the link changes.
    const RootDir rootDir(options.root);
    for (const std::string& bundle : paths.bundles) {
        targets.push_back({root + parentOf(bundle), false, {baseName(bundle)}, true});
        std::string real;
        std::string why;
        if (rootDir.real(bundle, real, why) && real != root + bundle) {
            targets.push_back({parentOf(real), false, {baseName(real)}, true});
        }
    }
    for (const auto* folders : {&paths.anchorFolders, &paths.blocklistFolders}) {
        for (const std::string& folder : *folders) {
            targets.push_back({root + folder, true, {}, false});
        }
    }
    targets.push_back({root + "/etc/pki/nssdb", false, kNssFiles, false});
    const UserNssPaths user = userNssPaths(options.home);
    for (const std::string& database : user.databases) {
        targets.push_back({database, false, kNssFiles, false});
    }
    for (const std::string& folder : user.iniFolders) {
        targets.push_back({folder, false, {"profiles.ini"}, true});
    }
    return targets;
}

std::unique_ptr<ChangeSource> makeInotifyChangeSource(
    std::function<std::vector<WatchTarget>()> targets) {
    return std::make_unique<InotifyChangeSource>(std::move(targets));
}

std::unique_ptr<ChangeSource> makeChangeSource(const PlatformOptions& options) {
    return makeInotifyChangeSource([options] { return trustSourceTargets(options); });
}

void stopOnTermination(ChangeSource& source) {
    stopOnSignal.store(&source);
    struct sigaction action {};
    action.sa_handler = stopFromSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace kestrune
