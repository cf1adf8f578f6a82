// One key of a settings database, with the registry's semantics over SQLite: named values
// with a type, read straight into the caller's memory, written all in one transaction.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "inventory/c_handle.h"
#include "platform/keyed_settings/keyed_settings.h"

namespace kestrune {

using DbHandle = CHandle<sqlite3, sqlite3_close_v2>;

// A read-write connection, or null when the file cannot be opened for writing; with
// `readOnly` a connection that never writes.
DbHandle openConnection(const std::string& file, int busyTimeoutMs, bool readOnly = false);

class SqliteKey : public SettingsKey {
  public:
    // Does the key exist? Ok with *exists, or why it cannot be told.
    virtual SettingsStatus exists(bool* exists) = 0;
    // Writes the key (and the tables of a new database) if missing.
    virtual SettingsStatus create() = 0;
};

// The key `path` of the database `file`, over the connection `db`; for a file that is no
// database, `db` is null and `broken` says so, and every call fails with it.
std::unique_ptr<SqliteKey> makeSqliteKey(std::string file, std::string path, DbHandle db,
                                         std::string broken, int busyTimeoutMs,
                                         bool readOnly = false);

}  // namespace kestrune
