// Settings in SQLite, one database per root, with the registry's key path, value names
// and types. The tray program and kestrune-check may use one database at once.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/keyed_settings/keyed_settings.h"

namespace kestrune {

struct SqliteSettingsOptions {
    // The machine database: writable by root only, folder 0755, file 0644.
    std::string machineDatabase;
    // The user's database: folder 0700, file 0600. Empty when the user has no home.
    std::string userDatabase;
    // How long a call waits for another process's lock before it reports Busy.
    int busyTimeoutMs = 5000;
};

// "<root>/var/lib/kestrune/settings.db" (root "/" when empty).
std::string machineSettingsPath(const std::string& root);
// "${XDG_CONFIG_HOME:-<home>/.config}/kestrune/settings.db"; empty when neither is known.
std::string userSettingsPath(const std::string& home);

// openKey succeeds only where the process can write the database and its folder (a
// rollback journal is created beside it), like full access to a registry key. A file
// that exists but is not a usable database still yields a key: its calls fail with
// Error and lastError() names the file, so the damage is reported instead of
// silently falling through to another root. Such a file is never written to, and
// nothing is written to a database whose tables are not exactly Kestrune's.
// openKeyForReading opens a database read-only, for a baseline that cannot be written.
class SqliteSettings final : public KeyedSettings {
  public:
    explicit SqliteSettings(SqliteSettingsOptions options);

    std::unique_ptr<SettingsKey> openKey(SettingsRoot root, const std::string& path) override;
    std::unique_ptr<SettingsKey> createKey(SettingsRoot root, const std::string& path) override;
    std::unique_ptr<SettingsKey> openKeyForReading(SettingsRoot root,
                                                   const std::string& path) override;
    // The baseline stores' calls by root alone stay visible beside these.
    using KeyedSettings::open;
    using KeyedSettings::setAside;
    using KeyedSettings::where;
    std::string where(SettingsRoot root, const std::string& path) const override;
    std::string openError() const override { return openError_; }
    // Renames the database to "settings.db.damaged-<UTC time>" (its journal with it): the
    // file last opened for that root, if it is still there; another run may have moved
    // it already.
    SetAsideResult setAside(SettingsRoot root, const std::string& path) override;

    const SqliteSettingsOptions& options() const { return options_; }

  private:
    enum class Access { Full, Create, Read };
    std::unique_ptr<SettingsKey> open(SettingsRoot root, const std::string& path, Access access);
    SqliteSettingsOptions options_;
    std::string openError_;
    // A file as it was when looked at: the same file, unchanged since.
    struct FileIdentity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        time_t modified = 0;
        long modifiedNs = 0;
        time_t changed = 0;
        long changedNs = 0;
        bool operator==(const FileIdentity&) const = default;
    };
    static FileIdentity identify(const std::string& file);
    FileIdentity opened_[2];  // the database last opened, machine and user
};

}  // namespace kestrune
