// The Linux platform as the program sees it: trust-store files and NSS databases, SQLite
// settings, libcurl, the system clock, inotify on the stores.
#include "app/ports.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/linux/http/curl_http.h"
#include "platform/linux/settings/sqlite_settings.h"
#include "platform/linux/stores/trust_store.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

std::string userHome() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    // Services and cron jobs may run without HOME; the password database still knows.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

}  // namespace

PlatformOptions defaultPlatformOptions() {
    PlatformOptions options;
    const char* root = std::getenv("KESTRUNE_ROOT");
    options.root = root != nullptr && *root != '\0' ? root : "/";
    options.home = userHome();
    return options;
}

PlatformPorts makePorts(const PlatformOptions& options, Trace& trace) {
    SqliteSettingsOptions settings;
    settings.machineDatabase = machineSettingsPath(options.root);
    settings.userDatabase = userSettingsPath(options.home);
    PlatformPorts ports;
    ports.stores = makeTrustStoreCatalogue(options, trace);
    ports.settings = std::make_unique<SqliteSettings>(std::move(settings));
    ports.http = std::make_unique<CurlHttpClient>();
    ports.clock = std::make_unique<SystemClock>();
    ports.changes = makeChangeSource(options);
    return ports;
}

}  // namespace kestrune
