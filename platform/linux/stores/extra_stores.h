// The stores applications keep for themselves, location "Applications": the JVM's Java
// keystores, Python's certifi bundles, and whatever stores.d adds. Each is named
// "<kind>:<path>" after the file or folder it is read from: "java:" for a keystore,
// "certifi:" for a certifi bundle, "bundle:" and "folder:" for a PEM bundle and a folder
// of certificate files a configuration names, "config:" for a configuration file with
// lines that could not be used (never readable: its problems are why). A name longer
// than a record holds (63 UTF-16 units) becomes "<kind>:<hash>…<tail of the path>", the
// hash the first 4 bytes of the path's SHA-256 in hex, so it stays whole, unique and the
// same from scan to scan.
#pragma once

#include <string>
#include <vector>

#include "inventory/trace.h"
#include "platform/linux/stores/root_files.h"
#include "platform/linux/stores/store_source.h"

namespace kestrune {

// "<kind>:<path>", shortened as above when longer than a record holds.
std::string applicationStoreName(const std::string& kind, const std::string& path);

// The machine's configuration folder, under the root.
inline constexpr char kSystemStoresConfigFolder[] = "/etc/kestrune/stores.d";
// The user's, in `home` (empty: none).
std::string userStoresConfigFolder(const std::string& home);

// Found afresh on each call: the keystores and bundles there now, and the configuration
// files as they read now. A path found a second time (a JVM's cacerts that is a link to
// another's, a certifi bundle that is the system bundle) is said on the trace's error
// stream and not listed again.
StoreSources applicationStores(const RootDir& root, const std::string& home, Trace& trace,
                               const FileCalls& calls = systemFileCalls());

// What to watch so a change to those stores, or a new one, is seen.
struct WatchPoint {
    std::string folder;      // a machine path
    std::string name;        // the entry that counts; empty: every entry (a new one may be
                             // a new store)
    bool recursive = false;  // the folder and everything below it (a folder store)
    bool user = false;       // on this machine's own root (the user's), not under the root
};
std::vector<WatchPoint> applicationWatchPoints(const RootDir& root, const std::string& home);

}  // namespace kestrune
