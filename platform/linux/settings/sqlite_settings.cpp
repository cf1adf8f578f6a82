#include "platform/linux/settings/sqlite_settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include "platform/linux/settings/sqlite_files.h"
#include "platform/linux/settings/sqlite_key.h"

namespace kestrune {

namespace fs = std::filesystem;
using sqlite_files::canWrite;
using sqlite_files::ensureFile;
using sqlite_files::ensureFolder;
using sqlite_files::lockFolderOf;
using sqlite_files::looksLikeDatabase;

std::string machineSettingsPath(const std::string& root) {
    fs::path base(root.empty() ? "/" : root);
    return (base / "var/lib/kestrune/settings.db").lexically_normal().string();
}

std::string userSettingsPath(const std::string& home) {
    // The XDG rule: a relative XDG_CONFIG_HOME is invalid and ignored.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    fs::path config;
    if (xdg && xdg[0] == '/') {
        config = xdg;
    } else if (!home.empty()) {
        config = fs::path(home) / ".config";
    } else {
        return {};
    }
    return (config / "kestrune/settings.db").lexically_normal().string();
}

SqliteSettings::SqliteSettings(SqliteSettingsOptions options) : options_(std::move(options)) {}

SqliteSettings::FileIdentity SqliteSettings::identify(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        return {};
    }
    return {st.st_dev,          st.st_ino,         st.st_size,        st.st_mtim.tv_sec,
            st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

std::unique_ptr<SettingsKey> SqliteSettings::openKey(SettingsRoot root, const std::string& path) {
    return open(root, path, Access::Full);
}

std::unique_ptr<SettingsKey> SqliteSettings::createKey(SettingsRoot root, const std::string& path) {
    return open(root, path, Access::Create);
}

std::unique_ptr<SettingsKey> SqliteSettings::openKeyForReading(SettingsRoot root,
                                                               const std::string& path) {
    return open(root, path, Access::Read);
}

std::string SqliteSettings::where(SettingsRoot root, const std::string&) const {
    const std::string& file =
        root == SettingsRoot::Machine ? options_.machineDatabase : options_.userDatabase;
    return file.empty() ? std::string("this user's settings (no home folder)") : file;
}

SetAsideResult SqliteSettings::setAside(SettingsRoot root, const std::string&) {
    const std::string& file =
        root == SettingsRoot::Machine ? options_.machineDatabase : options_.userDatabase;
    if (file.empty()) {
        return {false, {}, where(root, {}) + ": nothing to set aside"};
    }
    char stamp[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    // Only the file judged damaged is moved, and one run at a time looks, moves and makes
    // the new database: a run that comes second finds another's new baseline there (or
    // its empty tables) and leaves it, and no run ever sees a new file half made.
    const UniqueFd folder = lockFolderOf(file, LOCK_EX);
    if (folder.get() < 0) {
        return {false, {}, file + ": its folder cannot be locked (" + std::strerror(errno) + ")"};
    }
    const int slot = root == SettingsRoot::Machine ? 0 : 1;
    const FileIdentity judged = opened_[slot];
    if (judged.inode == 0 || !(identify(file) == judged)) {
        return {true, {}, {}};  // set aside already, or changed since it was judged
    }
    std::string kept = file + ".damaged-" + stamp;
    for (int n = 2; ::access(kept.c_str(), F_OK) == 0 || errno != ENOENT; ++n) {
        if (n > 100) {
            return {false, {}, file + ": no free name to keep it under"};
        }
        kept = file + ".damaged-" + stamp + "-" + std::to_string(n);
    }
    if (::rename(file.c_str(), kept.c_str()) != 0) {
        return {false, {}, file + ": cannot be renamed (" + std::strerror(errno) + ")"};
    }
    // A journal left beside it belongs to the old file: SQLite would play it into the
    // new one.
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        const std::string journal = file + suffix;
        if (::access(journal.c_str(), F_OK) == 0) {
            ::rename(journal.c_str(), (kept + suffix).c_str());
        }
    }
    // The new database with its tables, still under the lock.
    if (!open(root, kSettingsKeyPath, Access::Create)) {
        return {false, kept, openError_.empty() ? file + ": cannot be created" : openError_};
    }
    opened_[slot] = judged;
    return {true, kept, {}};
}

std::unique_ptr<SettingsKey> SqliteSettings::open(SettingsRoot root, const std::string& path,
                                                  Access access) {
    openError_.clear();
    const bool machine = root == SettingsRoot::Machine;
    const std::string& file = machine ? options_.machineDatabase : options_.userDatabase;
    if (file.empty()) {
        return nullptr;
    }
    auto failed = [&](const std::string& what, int error) -> std::unique_ptr<SettingsKey> {
        openError_ = file + ": " + what + " (" + std::strerror(error) + ")";
        return nullptr;
    };
    const fs::path folder = fs::path(file).parent_path();
    if (access == Access::Create) {
        if (!ensureFolder(folder, machine ? 0755 : 0700) ||
            !ensureFile(file, machine ? 0644 : 0600)) {
            return failed("cannot be created", errno);
        }
    } else {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) {
            return errno == ENOENT ? nullptr : failed("cannot be looked at", errno);
        }
    }
    if (access == Access::Read) {
        if (!canWrite(file, R_OK)) {
            return failed("cannot be read", errno);
        }
    } else if (!canWrite(file, R_OK | W_OK)) {
        // Full access: the file, and its folder for the journal beside it.
        return failed("cannot be opened for writing", errno);
    } else if (!canWrite(folder.string(), W_OK | X_OK)) {
        return failed("its folder cannot be written, so no journal can be made", errno);
    }
    // The file a damaged verdict is about, so setAside moves that one and no other.
    opened_[machine ? 0 : 1] = identify(file);
    if (!looksLikeDatabase(file)) {
        return makeSqliteKey(file, path, nullptr, file + ": file is not a database",
                             options_.busyTimeoutMs, access == Access::Read);
    }
    DbHandle db = openConnection(file, options_.busyTimeoutMs, access == Access::Read);
    if (!db) {
        openError_ = file + ": SQLite cannot open it" +
                     (access == Access::Read ? " for reading" : " for writing");
        return nullptr;
    }
    auto key = makeSqliteKey(file, path, std::move(db), std::string(), options_.busyTimeoutMs,
                             access == Access::Read);
    if (access == Access::Read) {
        return key;  // what it holds, or why it cannot be read, is the reader's to find
    }
    bool there = false;
    const bool create = access == Access::Create;
    const SettingsStatus status = create ? key->create() : key->exists(&there);
    // A store that cannot be read still yields the key, so its calls report the fault.
    if (status == SettingsStatus::Ok && !create && !there) {
        return nullptr;
    }
    return key;
}

}  // namespace kestrune
