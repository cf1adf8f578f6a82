// NSS certificate databases as stores: the user's shared database (Chromium-based
// browsers), each Firefox profile's, and the system-wide one. Read-only, one NSS init
// context per database, closed when its store is closed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "inventory/trace.h"
#include "platform/linux/stores/root_files.h"
#include "platform/linux/stores/store_source.h"

namespace kestrune {

struct FirefoxProfile {
    std::string name;
    std::string path;  // the profile folder
};

// The profiles listed in a profiles.ini whose folder is `iniFolder`, in file order.
std::vector<FirefoxProfile> parseProfilesIni(std::string_view text, const std::string& iniFolder);

// The current user's databases under `home` (none when it is empty): "nssdb", then one
// "firefox-..." store per profile. Problems finding them go to `trace` when given; a
// profiles.ini that exists but cannot be read sets `unlisted` (its stores are unknown).
StoreSources userNssStores(const std::string& home, Trace& trace, Trace* problems,
                           bool* unlisted = nullptr, const FileCalls& calls = systemFileCalls());

// Where userNssStores looks under `home`: the folders that hold a profiles.ini, and
// every database folder known now (listed profiles whose folder is not there included).
struct UserNssPaths {
    std::vector<std::string> iniFolders;
    std::vector<std::string> databases;
};
UserNssPaths userNssPaths(const std::string& home);

// "nssdb-system" when /etc/pki/nssdb exists under the root.
StoreSources systemNssStores(const RootDir& root, Trace& trace);

}  // namespace kestrune
