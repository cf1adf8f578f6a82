#include "platform/linux/sqlite_settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "inventory/c_handle.h"

namespace kestrune {

namespace {

namespace fs = std::filesystem;

using DbHandle = CHandle<sqlite3, sqlite3_close_v2>;
using Statement = CHandle<sqlite3_stmt, sqlite3_finalize>;

// Owns one file descriptor.
class UniqueFd {
  public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

constexpr const char* kSchema =
    "CREATE TABLE keys (path TEXT PRIMARY KEY COLLATE NOCASE);"
    "CREATE TABLE settings_values ("
    " key TEXT NOT NULL COLLATE NOCASE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY (key, name));";

SettingsStatus statusOf(int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return SettingsStatus::Ok;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return SettingsStatus::Busy;
        default:
            return SettingsStatus::Error;
    }
}

bool canWrite(const std::string& path, int mode) {
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// Creates the folder and any missing parents with `mode` exactly (whatever the umask);
// a folder that already exists keeps its own mode.
bool ensureFolder(const fs::path& folder, mode_t mode) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) {
        return true;
    }
    if (folder.has_parent_path() && folder.parent_path() != folder &&
        !ensureFolder(folder.parent_path(), mode)) {
        return false;
    }
    if (::mkdir(folder.c_str(), mode) != 0) {
        return errno == EEXIST && fs::is_directory(folder, ec);
    }
    return ::chmod(folder.c_str(), mode) == 0;
}

// Creates an empty file with `mode` exactly; an existing file is left as it is.
bool ensureFile(const std::string& path, mode_t mode) {
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.get() < 0) {
        return errno == EEXIST;
    }
    return ::fchmod(fd.get(), mode) == 0;
}

// A non-empty file that does not start with SQLite's header is not ours to open: SQLite
// could take a short one for an empty database and write over it.
bool looksLikeDatabase(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return true;  // SQLite reports why it cannot be opened
    }
    static constexpr char kMagic[16] = "SQLite format 3";  // and its terminating zero
    char header[sizeof kMagic] = {};
    const ssize_t got = ::read(fd.get(), header, sizeof header);
    if (got == 0) {
        return true;  // an empty file is an empty database
    }
    return got == static_cast<ssize_t>(sizeof header) &&
           std::memcmp(header, kMagic, sizeof kMagic) == 0;
}

// A read-write connection, or null when the file cannot be opened for writing.
DbHandle openConnection(const std::string& file, int busyTimeoutMs) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    DbHandle db(raw);
    if (rc != SQLITE_OK || !db || sqlite3_db_readonly(db.get(), "main") == 1) {
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), busyTimeoutMs);
    sqlite3_extended_result_codes(db.get(), 1);
    return db;
}

class SqliteKey final : public SettingsKey {
  public:
    SqliteKey(std::string file, std::string path, DbHandle db, std::string broken,
              int busyTimeoutMs)
        : file_(std::move(file)),
          path_(std::move(path)),
          db_(std::move(db)),
          broken_(std::move(broken)),
          busyTimeoutMs_(busyTimeoutMs) {
        rememberFile();
    }

    SettingsStatus queryValue(const std::string& name, std::uint32_t* type, std::uint8_t* out,
                              std::uint32_t* size) override {
        std::lock_guard lock(mutex_);
        if (!usable()) {
            return SettingsStatus::Error;
        }
        bool present = false;
        if (SettingsStatus s = tablesPresent(&present); s != SettingsStatus::Ok) {
            return s;
        }
        if (!present) {
            return SettingsStatus::NotFound;
        }
        Statement st;
        int rc =
            prepare("SELECT type, data FROM settings_values WHERE key = ?1 AND name = ?2", &st);
        if (rc == SQLITE_OK) {
            sqlite3_bind_text(st.get(), 1, path_.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(st.get(), 2, name.c_str(), -1, SQLITE_STATIC);
            rc = sqlite3_step(st.get());
        }
        if (rc == SQLITE_DONE) {
            return SettingsStatus::NotFound;
        }
        if (rc != SQLITE_ROW) {
            return fail(rc);
        }
        const auto valueType = static_cast<std::uint32_t>(sqlite3_column_int64(st.get(), 0));
        const void* bytes = sqlite3_column_blob(st.get(), 1);
        const int length = sqlite3_column_bytes(st.get(), 1);
        if (length < 0 || (length > 0 && bytes == nullptr)) {
            return fail(sqlite3_errcode(db_.get()));  // out of memory while fetching
        }
        if (type) {
            *type = valueType;
        }
        if (size == nullptr) {
            return out ? SettingsStatus::Error : SettingsStatus::Ok;
        }
        const auto needed = static_cast<std::uint32_t>(length);
        if (out == nullptr) {
            *size = needed;
            return SettingsStatus::Ok;
        }
        if (*size < needed) {
            *size = needed;
            return SettingsStatus::MoreData;
        }
        if (needed > 0) {
            std::memcpy(out, bytes, needed);
        }
        *size = needed;
        return SettingsStatus::Ok;
    }

    SettingsStatus setValue(const std::string& name, std::uint32_t type,
                            std::span<const std::uint8_t> data) override {
        const ValueWrite one{name, type, data};
        return setValues({&one, 1});
    }

    // One transaction: a crash or a failure leaves every value as it was, or all new.
    SettingsStatus setValues(std::span<const ValueWrite> values) override {
        std::lock_guard lock(mutex_);
        if (!usable()) {
            return SettingsStatus::Error;
        }
        if (int rc = configure(); rc != SQLITE_OK) {
            return fail(rc);
        }
        if (int rc = exec("BEGIN IMMEDIATE"); rc != SQLITE_OK) {
            return fail(rc);
        }
        int rc = createKeyRow();
        for (std::size_t i = 0; rc == SQLITE_OK && i < values.size(); ++i) {
            rc = writeValue(values[i]);
        }
        if (rc == SQLITE_OK) {
            rc = exec("COMMIT");
        }
        if (rc != SQLITE_OK) {
            const SettingsStatus status = fail(rc);
            if (!sqlite3_get_autocommit(db_.get())) {
                exec("ROLLBACK");
            }
            return status;
        }
        return SettingsStatus::Ok;
    }

    std::string describe() const override { return file_; }

    std::string lastError() const override {
        std::lock_guard lock(mutex_);
        return lastError_;
    }

    // For SqliteSettings: does the key exist? Ok with *exists, or why it cannot be told.
    SettingsStatus exists(bool* exists) {
        std::lock_guard lock(mutex_);
        *exists = false;
        if (!usable()) {
            return SettingsStatus::Error;
        }
        bool present = false;
        if (SettingsStatus s = tablesPresent(&present); s != SettingsStatus::Ok || !present) {
            return s;
        }
        Statement st;
        int rc = prepare("SELECT 1 FROM keys WHERE path = ?1", &st);
        if (rc == SQLITE_OK) {
            sqlite3_bind_text(st.get(), 1, path_.c_str(), -1, SQLITE_STATIC);
            rc = sqlite3_step(st.get());
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            return fail(rc);
        }
        *exists = rc == SQLITE_ROW;
        return SettingsStatus::Ok;
    }

    // For SqliteSettings: writes the key (and the tables of a new database) if missing.
    SettingsStatus create() {
        bool there = false;
        if (SettingsStatus s = exists(&there); s != SettingsStatus::Ok || there) {
            return s;
        }
        return setValues({});
    }

  private:
    bool usable() {
        if (!broken_.empty()) {
            lastError_ = broken_;
            return false;
        }
        // A database deleted or renamed over while open stays readable through the open
        // handle, and SQLite refuses to write it: a save would fail with a misleading
        // "readonly" and every load would quietly read a file nobody will see again. So
        // the key follows the name: no file, no key; another database under the name
        // (restored, or made afresh by kestrune-check) is opened and used; anything else
        // there is reported and never written.
        struct stat st {};
        if (::stat(file_.c_str(), &st) != 0) {
            lastError_ =
                file_ + ": the database was deleted while in use (" + std::strerror(errno) + ")";
            return false;
        }
        if (st.st_dev == device_ && st.st_ino == inode_) {
            return true;
        }
        if (!looksLikeDatabase(file_)) {
            lastError_ = file_ + ": replaced while in use by a file that is not a database";
            return false;
        }
        DbHandle fresh = openConnection(file_, busyTimeoutMs_);
        if (!fresh) {
            lastError_ = file_ + ": replaced while in use by a database that cannot be written";
            return false;
        }
        db_ = std::move(fresh);
        configured_ = false;
        tablesPresent_ = false;
        rememberFile();
        return true;
    }

    // Which file the connection has open (looked up by name just after opening it).
    void rememberFile() {
        struct stat st {};
        if (db_ && ::stat(file_.c_str(), &st) == 0) {
            device_ = st.st_dev;
            inode_ = st.st_ino;
        }
    }

    SettingsStatus fail(int rc) {
        if (!lastErrorOverride_.empty()) {
            lastError_ = std::exchange(lastErrorOverride_, {});
            return statusOf(rc);
        }
        lastError_ = file_ + ": " + sqlite3_errstr(rc);
        const char* detail = sqlite3_errmsg(db_.get());
        if (detail && std::strcmp(detail, sqlite3_errstr(rc)) != 0 &&
            std::strcmp(detail, "not an error") != 0) {
            lastError_ += std::string(" (") + detail + ")";
        }
        return statusOf(rc);
    }

    int prepare(const char* sql, Statement* st) {
        sqlite3_stmt* raw = nullptr;
        const int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr);
        st->reset(raw);
        return rc;
    }

    int exec(const char* sql) { return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr); }

    // Connection settings that need the database readable; retried until they take.
    int configure() {
        if (configured_) {
            return SQLITE_OK;
        }
        const int rc = exec("PRAGMA synchronous = FULL");
        configured_ = rc == SQLITE_OK;
        return rc;
    }

    SettingsStatus tablesPresent(bool* present) {
        if (tablesPresent_) {
            *present = true;
            return SettingsStatus::Ok;
        }
        Statement st;
        int rc = prepare(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('keys', "
            "'settings_values')",
            &st);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(st.get());
        }
        if (rc != SQLITE_ROW) {
            return fail(rc);
        }
        tablesPresent_ = sqlite3_column_int(st.get(), 0) == 2;
        *present = tablesPresent_;
        return SettingsStatus::Ok;
    }

    // Inside the write transaction: the tables of a new database, then the key's row.
    // A database that holds other tables but not ours is someone else's: left alone.
    int createKeyRow() {
        Statement st;
        int rc = prepare(
            "SELECT count(*), sum(name IN ('keys', 'settings_values')) FROM sqlite_master "
            "WHERE type = 'table'",
            &st);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(st.get());
        }
        if (rc != SQLITE_ROW) {
            return rc;
        }
        const int tables = sqlite3_column_int(st.get(), 0);
        const int ours = sqlite3_column_int(st.get(), 1);
        st.reset();
        if (tables == 0) {
            rc = exec(kSchema);
            if (rc != SQLITE_OK) {
                return rc;
            }
        } else if (ours != 2) {
            lastErrorOverride_ = file_ + ": not a Kestrune settings database";
            return SQLITE_NOTADB;
        }
        tablesPresent_ = true;
        rc = prepare("INSERT OR IGNORE INTO keys (path) VALUES (?1)", &st);
        if (rc == SQLITE_OK) {
            sqlite3_bind_text(st.get(), 1, path_.c_str(), -1, SQLITE_STATIC);
            rc = sqlite3_step(st.get());
        }
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    int writeValue(const ValueWrite& value) {
        Statement st;
        int rc = prepare(
            "INSERT OR REPLACE INTO settings_values (key, name, type, data) "
            "VALUES (?1, ?2, ?3, ?4)",
            &st);
        if (rc != SQLITE_OK) {
            return rc;
        }
        sqlite3_bind_text(st.get(), 1, path_.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st.get(), 2, value.name.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(st.get(), 3, value.type);
        // A null pointer would bind SQL NULL: an empty value is a zero-length blob.
        if (value.data.empty()) {
            rc = sqlite3_bind_zeroblob(st.get(), 4, 0);
        } else {
            rc = sqlite3_bind_blob64(st.get(), 4, value.data.data(), value.data.size(),
                                     SQLITE_STATIC);
        }
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(st.get());
        }
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    const std::string file_;
    const std::string path_;
    DbHandle db_;
    const std::string broken_;  // why the file cannot be used at all; empty when it can
    mutable std::mutex mutex_;  // the tray's two threads share one key
    std::string lastError_;
    std::string lastErrorOverride_;
    bool configured_ = false;
    bool tablesPresent_ = false;
    const int busyTimeoutMs_;
    dev_t device_ = 0;  // the file SQLite opened
    ino_t inode_ = 0;
};

}  // namespace

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

std::unique_ptr<SettingsKey> SqliteSettings::openKey(SettingsRoot root, const std::string& path) {
    return open(root, path, false);
}

std::unique_ptr<SettingsKey> SqliteSettings::createKey(SettingsRoot root, const std::string& path) {
    return open(root, path, true);
}

std::unique_ptr<SettingsKey> SqliteSettings::open(SettingsRoot root, const std::string& path,
                                                  bool create) {
    const bool machine = root == SettingsRoot::Machine;
    const std::string& file = machine ? options_.machineDatabase : options_.userDatabase;
    if (file.empty()) {
        return nullptr;
    }
    const fs::path folder = fs::path(file).parent_path();
    if (create) {
        if (!ensureFolder(folder, machine ? 0755 : 0700) ||
            !ensureFile(file, machine ? 0644 : 0600)) {
            return nullptr;
        }
    } else {
        std::error_code ec;
        if (!fs::exists(file, ec)) {
            return nullptr;
        }
    }
    // Full access: the file, and its folder for the journal beside it.
    if (!canWrite(file, R_OK | W_OK) || !canWrite(folder.string(), W_OK | X_OK)) {
        return nullptr;
    }
    if (!looksLikeDatabase(file)) {
        return std::make_unique<SqliteKey>(file, path, nullptr, file + ": file is not a database",
                                           options_.busyTimeoutMs);
    }
    DbHandle db = openConnection(file, options_.busyTimeoutMs);
    if (!db) {
        return nullptr;
    }
    auto key = std::make_unique<SqliteKey>(file, path, std::move(db), std::string(),
                                           options_.busyTimeoutMs);
    bool there = false;
    const SettingsStatus status = create ? key->create() : key->exists(&there);
    // A store that cannot be read still yields the key, so its calls report the fault.
    if (status == SettingsStatus::Ok && !create && !there) {
        return nullptr;
    }
    return key;
}

}  // namespace kestrune
