#include "platform/linux/settings/sqlite_key.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/settings/sqlite_files.h"

namespace kestrune {

namespace {

using sqlite_files::looksLikeDatabase;
using sqlite_files::statSettled;
using Statement = CHandle<sqlite3_stmt, sqlite3_finalize>;
using BlobHandle = CHandle<sqlite3_blob, sqlite3_blob_close>;

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

}  // namespace

DbHandle openConnection(const std::string& file, int busyTimeoutMs, bool readOnly) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(
        file.c_str(), &raw,
        (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_FULLMUTEX, nullptr);
    DbHandle db(raw);
    if (rc != SQLITE_OK || !db || (!readOnly && sqlite3_db_readonly(db.get(), "main") == 1)) {
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), busyTimeoutMs);
    sqlite3_extended_result_codes(db.get(), 1);
    // Values are read once, straight into the caller's memory; a page cache kept for
    // them would only add their size again to the program's memory.
    sqlite3_exec(db.get(), "PRAGMA cache_size = 16", nullptr, nullptr, nullptr);
    return db;
}

namespace {

// What a database's tables make it: new (no tables), Kestrune's (both tables with
// exactly their columns; other tables beside them are tolerated) or someone else's.
struct Schema {
    enum class Kind { None, Ours, Foreign } kind = Kind::None;
    std::string why;  // Foreign: what differs
};

int readSchema(sqlite3* db, Schema* out) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(
        db,
        "SELECT count(*), sum(name IN ('keys', 'settings_values')) FROM sqlite_master WHERE "
        "type = 'table'",
        -1, &raw, nullptr);
    Statement st(raw);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(st.get());
    }
    if (rc != SQLITE_ROW) {
        return rc;
    }
    const int tables = sqlite3_column_int(st.get(), 0);
    const int ours = sqlite3_column_int(st.get(), 1);
    *out = {};
    if (tables == 0) {
        return SQLITE_OK;
    }
    if (ours != 2) {
        out->kind = Schema::Kind::Foreign;
        out->why = "its tables are not Kestrune's";
        return SQLITE_OK;
    }
    static constexpr const char* kColumns[][2] = {{"keys", "path"},
                                                  {"settings_values", "key, name, type, data"}};
    for (const auto& [table, expected] : kColumns) {
        raw = nullptr;
        rc = sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info(?1) ORDER BY cid", -1, &raw,
                                nullptr);
        Statement columns(raw);
        if (rc != SQLITE_OK) {
            return rc;
        }
        sqlite3_bind_text(columns.get(), 1, table, -1, SQLITE_STATIC);
        std::string found;
        while ((rc = sqlite3_step(columns.get())) == SQLITE_ROW) {
            const auto* name = sqlite3_column_text(columns.get(), 0);
            found += (found.empty() ? "" : ", ") +
                     std::string(name ? reinterpret_cast<const char*>(name) : "");
        }
        if (rc != SQLITE_DONE) {
            return rc;
        }
        if (found != expected) {
            out->kind = Schema::Kind::Foreign;
            out->why = std::string("table \"") + table + "\" has the columns (" + found +
                       "), Kestrune's has (" + expected + ")";
            return SQLITE_OK;
        }
    }
    out->kind = Schema::Kind::Ours;
    return SQLITE_OK;
}

// The baseline is one long value, read and written a page per call.
constexpr int kPageSize = 65536;

class DatabaseKey final : public SqliteKey {
  public:
    DatabaseKey(std::string file, std::string path, DbHandle db, std::string broken,
                int busyTimeoutMs, bool readOnly = false)
        : file_(std::move(file)),
          path_(std::move(path)),
          db_(std::move(db)),
          broken_(std::move(broken)),
          busyTimeoutMs_(busyTimeoutMs),
          readOnly_(readOnly) {
        rememberFile();
    }

    SettingsStatus queryValue(const std::string& name, std::uint32_t* type, std::uint8_t* out,
                              std::uint32_t* size) override {
        std::lock_guard lock(mutex_);
        Located value;
        if (SettingsStatus s = locate(name, value); s != SettingsStatus::Ok) {
            return s;
        }
        if (type) {
            *type = value.type;
        }
        if (size == nullptr) {
            return out ? SettingsStatus::Error : SettingsStatus::Ok;
        }
        const auto needed = static_cast<std::uint32_t>(value.length);
        if (out == nullptr) {
            *size = needed;
            return SettingsStatus::Ok;
        }
        if (*size < needed) {
            *size = needed;
            return SettingsStatus::MoreData;
        }
        if (const int rc = copyOut(value, out, needed); rc != SQLITE_OK) {
            return fail(rc);
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
        if (readOnly_) {
            lastError_ = file_ + ": opened for reading only";
            return SettingsStatus::Error;
        }
        if (!usable()) {
            return SettingsStatus::Error;
        }
        if (int rc = configure(); rc != SQLITE_OK) {
            return fail(rc);
        }
        // Room for a save's pages between writing and filling them (see writeValue).
        if (int rc = exec("PRAGMA cache_size = 256; BEGIN IMMEDIATE"); rc != SQLITE_OK) {
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
            releaseSaveMemory();
            return status;
        }
        enlargePages();
        releaseSaveMemory();
        return SettingsStatus::Ok;
    }

    std::string describe() const override { return file_; }
    // The database is written only when a baseline is saved (or its key made), so its
    // modification time is when the baseline was saved.
    std::optional<std::int64_t> lastWriteTime() const override {
        struct stat st {};
        if (::stat(file_.c_str(), &st) != 0) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(st.st_mtime);
    }

    std::string foreignStore() const override {
        std::lock_guard lock(mutex_);
        if (!broken_.empty()) {
            return broken_;
        }
        struct stat st {};
        if (::stat(file_.c_str(), &st) == 0 && st.st_size == 0) {
            return file_ + ": the file is empty (0 bytes), not a Kestrune settings database";
        }
        Schema schema;
        if (!db_ || readSchema(db_.get(), &schema) != SQLITE_OK) {
            return {};  // the reads say why
        }
        if (schema.kind == Schema::Kind::None) {
            return file_ + ": the database holds no Kestrune tables";
        }
        if (schema.kind == Schema::Kind::Foreign) {
            return file_ + ": not a Kestrune settings database: " + schema.why;
        }
        return {};
    }

    std::string damage() const override {
        std::lock_guard lock(mutex_);
        return damage_;
    }

    std::string lastError() const override {
        std::lock_guard lock(mutex_);
        return lastError_;
    }

    SettingsStatus exists(bool* exists) override {
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

    SettingsStatus create() override {
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
        if (!statSettled(file_, st)) {
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
        DbHandle fresh = openConnection(file_, busyTimeoutMs_, readOnly_);
        if (!fresh) {
            lastError_ = file_ + ": replaced while in use by a database that cannot be written";
            return false;
        }
        db_ = std::move(fresh);
        configured_ = false;
        tablesPresent_ = false;
        pagesEnlarged_ = false;
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

    // A value's row, held by its statement until the read is done so no writer can commit
    // in between; for a value that is not a blob, SQLite's copy of its bytes.
    struct Located {
        Statement row;
        Statement other;
        sqlite3_int64 rowid = 0;
        std::uint32_t type = 0;
        sqlite3_int64 length = 0;
        const std::uint8_t* otherBytes = nullptr;
    };

    // The size comes from the record header: asking for the size never reads the value.
    SettingsStatus locate(const std::string& name, Located& value) {
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
        int rc = prepare(
            "SELECT rowid, type, length(data), typeof(data) = 'blob' FROM settings_values "
            "WHERE key = ?1 AND name = ?2",
            &value.row);
        if (rc == SQLITE_OK) {
            sqlite3_bind_text(value.row.get(), 1, path_.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(value.row.get(), 2, name.c_str(), -1, SQLITE_STATIC);
            rc = sqlite3_step(value.row.get());
        }
        if (rc == SQLITE_DONE) {
            return SettingsStatus::NotFound;
        }
        if (rc != SQLITE_ROW) {
            return fail(rc);
        }
        value.rowid = sqlite3_column_int64(value.row.get(), 0);
        value.type = static_cast<std::uint32_t>(sqlite3_column_int64(value.row.get(), 1));
        value.length = sqlite3_column_int64(value.row.get(), 2);
        if (sqlite3_column_int(value.row.get(), 3) == 0) {
            if (SettingsStatus s = fetchOther(value); s != SettingsStatus::Ok) {
                return s;
            }
        }
        if (value.length < 0 || value.length > static_cast<sqlite3_int64>(UINT32_MAX)) {
            lastError_ = file_ + ": \"" + name + "\" is too large to read";
            return SettingsStatus::Error;
        }
        return SettingsStatus::Ok;
    }

    // Not a blob (only a hand-edited database holds one): its bytes as SQLite gives them,
    // through the slow path.
    SettingsStatus fetchOther(Located& value) {
        int rc = prepare("SELECT data FROM settings_values WHERE rowid = ?1", &value.other);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int64(value.other.get(), 1, value.rowid);
            rc = sqlite3_step(value.other.get());
        }
        if (rc != SQLITE_ROW) {
            return fail(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
        }
        value.otherBytes =
            static_cast<const std::uint8_t*>(sqlite3_column_blob(value.other.get(), 0));
        value.length = sqlite3_column_bytes(value.other.get(), 0);
        if (value.length > 0 && value.otherBytes == nullptr) {
            return fail(sqlite3_errcode(db_.get()));  // out of memory while fetching
        }
        return SettingsStatus::Ok;
    }

    // The bytes straight from the file into the caller's buffer, never assembled in a copy
    // first.
    int copyOut(const Located& value, std::uint8_t* out, std::uint32_t needed) {
        if (needed == 0) {
            return SQLITE_OK;
        }
        if (value.otherBytes) {
            std::memcpy(out, value.otherBytes, needed);
            return SQLITE_OK;
        }
        sqlite3_blob* raw = nullptr;
        int rc =
            sqlite3_blob_open(db_.get(), "main", "settings_values", "data", value.rowid, 0, &raw);
        const BlobHandle blob(raw);
        if (rc == SQLITE_OK && sqlite3_blob_bytes(blob.get()) != value.length) {
            rc = SQLITE_CORRUPT;  // the row changed under a statement that holds it
        }
        if (rc == SQLITE_OK) {
            rc = sqlite3_blob_read(blob.get(), out, static_cast<int>(needed), 0);
        }
        return rc;
    }

    SettingsStatus fail(int rc) {
        damage_.clear();
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
        if ((rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB) {
            damage_ = lastError_;
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

    // A database made before large pages is rebuilt with them once, after a save has
    // shown it is Kestrune's and writable: the one full rewrite spares every later save
    // and load a call per 4 KiB. Atomic like any transaction; when it cannot run (another
    // process reading, no room) the database stays as it is and the next save tries again.
    void enlargePages() {
        if (pagesEnlarged_) {
            return;
        }
        Statement st;
        if (prepare("PRAGMA page_size", &st) != SQLITE_OK || sqlite3_step(st.get()) != SQLITE_ROW) {
            return;
        }
        const int pageSize = sqlite3_column_int(st.get(), 0);
        st.reset();
        pagesEnlarged_ =
            pageSize >= kPageSize ||
            exec(("PRAGMA page_size = " + std::to_string(kPageSize) + "; VACUUM").c_str()) ==
                SQLITE_OK;
    }

    // A save may keep a bounded cache of pages: it writes the new value into zeroed
    // pages and then fills them, and pages spilled in between are read back from the
    // system's cache. Afterwards the connection goes back to the small cache of reads.
    void releaseSaveMemory() {
        exec("PRAGMA cache_size = 16");
        sqlite3_db_release_memory(db_.get());
    }

    // Connection settings that need the database readable; retried until they take.
    int configure() {
        if (configured_) {
            return SQLITE_OK;
        }
        // Secure delete (Debian's default) overwrites every page a save frees with
        // zeros, journal included: several extra writes of the whole baseline for
        // records that are no secret.
        int rc = exec("PRAGMA synchronous = FULL; PRAGMA secure_delete = OFF");
        // A new database gets large pages; only an empty file can take the setting
        // (an existing one is rebuilt after a save, see enlargePages).
        struct stat st {};
        if (rc == SQLITE_OK && ::stat(file_.c_str(), &st) == 0 && st.st_size == 0) {
            rc = exec(("PRAGMA page_size = " + std::to_string(kPageSize)).c_str());
        }
        configured_ = rc == SQLITE_OK;
        return rc;
    }

    // Ok with *present when the database is Kestrune's; a new one has no values yet and
    // someone else's is an error, never read as an empty baseline.
    SettingsStatus tablesPresent(bool* present) {
        if (tablesPresent_) {
            *present = true;
            return SettingsStatus::Ok;
        }
        Schema schema;
        if (const int rc = readSchema(db_.get(), &schema); rc != SQLITE_OK) {
            return fail(rc);
        }
        if (schema.kind == Schema::Kind::Foreign) {
            lastError_ = file_ + ": not a Kestrune settings database: " + schema.why;
            return SettingsStatus::Error;
        }
        tablesPresent_ = schema.kind == Schema::Kind::Ours;
        *present = tablesPresent_;
        return SettingsStatus::Ok;
    }

    // Inside the write transaction: the tables of a new database, then the key's row.
    // A database whose tables are not exactly ours is someone else's: left alone.
    int createKeyRow() {
        // The whole schema is checked before the first row is written.
        Schema schema;
        int rc = readSchema(db_.get(), &schema);
        if (rc != SQLITE_OK) {
            return rc;
        }
        if (schema.kind == Schema::Kind::None) {
            rc = exec(kSchema);
            if (rc != SQLITE_OK) {
                return rc;
            }
        } else if (schema.kind == Schema::Kind::Foreign) {
            lastErrorOverride_ = file_ + ": not a Kestrune settings database: " + schema.why;
            return SQLITE_NOTADB;
        }
        Statement st;
        tablesPresent_ = true;
        rc = prepare("INSERT OR IGNORE INTO keys (path) VALUES (?1)", &st);
        if (rc == SQLITE_OK) {
            sqlite3_bind_text(st.get(), 1, path_.c_str(), -1, SQLITE_STATIC);
            rc = sqlite3_step(st.get());
        }
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    // Writes one value inside the save's transaction without ever copying it whole: a
    // value of a new size is written into pages that were free before the transaction
    // (no journal needed; SQLite frees the old pages only after taking the new ones),
    // and a value of the same size is overwritten in place where its bytes differ, each
    // changed page journalled once. Replacing the row instead would free the old pages
    // first and journal every one of them as it is taken again.
    int writeValue(const ValueWrite& value) {
        sqlite3_int64 rowid = 0;
        sqlite3_int64 stored = -1;  // the stored value's size; -1 when none
        int rc = findValue(value.name, &rowid, &stored);
        if (rc != SQLITE_OK) {
            return rc;
        }
        const auto size = static_cast<sqlite3_int64>(value.data.size());
        if (stored != size) {
            Statement st;
            rc = prepare(
                "INSERT INTO settings_values (key, name, type, data) "
                "VALUES (?1, ?2, ?3, zeroblob(?4)) ON CONFLICT (key, name) DO UPDATE SET "
                "type = excluded.type, data = excluded.data RETURNING rowid",
                &st);
            if (rc != SQLITE_OK) {
                return rc;
            }
            sqlite3_bind_text(st.get(), 1, path_.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(st.get(), 2, value.name.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int64(st.get(), 3, value.type);
            sqlite3_bind_int64(st.get(), 4, size);
            rc = sqlite3_step(st.get());
            if (rc != SQLITE_ROW) {
                return rc == SQLITE_DONE ? SQLITE_CORRUPT : rc;
            }
            rowid = sqlite3_column_int64(st.get(), 0);
            rc = sqlite3_step(st.get());
            if (rc != SQLITE_DONE) {
                return rc;
            }
        } else {
            Statement st;
            rc = prepare("UPDATE settings_values SET type = ?1 WHERE rowid = ?2 AND type != ?1",
                         &st);
            if (rc == SQLITE_OK) {
                sqlite3_bind_int64(st.get(), 1, value.type);
                sqlite3_bind_int64(st.get(), 2, rowid);
                rc = sqlite3_step(st.get());
            }
            if (rc != SQLITE_DONE) {
                return rc;
            }
        }
        return size == 0 ? SQLITE_OK : writeBytes(rowid, value.data, stored == size);
    }

    // The row and size of a stored value of this key.
    int findValue(const std::string& name, sqlite3_int64* rowid, sqlite3_int64* size) {
        Statement st;
        int rc = prepare(
            "SELECT rowid, length(data), typeof(data) = 'blob' FROM settings_values "
            "WHERE key = ?1 AND name = ?2",
            &st);
        if (rc != SQLITE_OK) {
            return rc;
        }
        sqlite3_bind_text(st.get(), 1, path_.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st.get(), 2, name.c_str(), -1, SQLITE_STATIC);
        rc = sqlite3_step(st.get());
        if (rc == SQLITE_ROW) {
            *rowid = sqlite3_column_int64(st.get(), 0);
            // Not a blob (a hand-edited database): rewritten whole as one.
            *size = sqlite3_column_int(st.get(), 2) ? sqlite3_column_int64(st.get(), 1) : -1;
            return SQLITE_OK;
        }
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    // The value's bytes into its row, page-sized pieces at a time; with `changedOnly`
    // the stored bytes are compared first and pieces already equal are left alone.
    int writeBytes(sqlite3_int64 rowid, std::span<const std::uint8_t> data, bool changedOnly) {
        sqlite3_blob* raw = nullptr;
        int rc = sqlite3_blob_open(db_.get(), "main", "settings_values", "data", rowid, 1, &raw);
        const BlobHandle blob(raw);
        if (rc != SQLITE_OK) {
            return rc;
        }
        if (sqlite3_blob_bytes(blob.get()) != static_cast<int>(data.size())) {
            return SQLITE_CORRUPT;
        }
        if (!changedOnly) {
            return sqlite3_blob_write(blob.get(), data.data(), static_cast<int>(data.size()), 0);
        }
        constexpr std::size_t kPiece = 64 * 1024;
        std::vector<std::uint8_t> old(kPiece);
        for (std::size_t at = 0; at < data.size(); at += kPiece) {
            const int n = static_cast<int>(std::min(kPiece, data.size() - at));
            rc = sqlite3_blob_read(blob.get(), old.data(), n, static_cast<int>(at));
            if (rc == SQLITE_OK && std::memcmp(old.data(), data.data() + at, n) != 0) {
                rc = sqlite3_blob_write(blob.get(), data.data() + at, n, static_cast<int>(at));
            }
            if (rc != SQLITE_OK) {
                return rc;
            }
        }
        return SQLITE_OK;
    }

    const std::string file_;
    const std::string path_;
    DbHandle db_;
    const std::string broken_;  // why the file cannot be used at all; empty when it can
    mutable std::mutex mutex_;  // the tray's two threads share one key
    std::string lastError_;
    std::string lastErrorOverride_;
    std::string damage_;  // lastError_ when it says the database is malformed
    bool configured_ = false;
    bool tablesPresent_ = false;
    bool pagesEnlarged_ = false;
    const int busyTimeoutMs_;
    const bool readOnly_;
    dev_t device_ = 0;  // the file SQLite opened
    ino_t inode_ = 0;
};

}  // namespace

std::unique_ptr<SqliteKey> makeSqliteKey(std::string file, std::string path, DbHandle db,
                                         std::string broken, int busyTimeoutMs, bool readOnly) {
    return std::make_unique<DatabaseKey>(std::move(file), std::move(path), std::move(db),
                                         std::move(broken), busyTimeoutMs, readOnly);
}

}  // namespace kestrune
