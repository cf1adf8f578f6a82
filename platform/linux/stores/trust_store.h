// The Linux trust sources as certificate stores: the bundle, the anchor and blocklist
// folders under the root, and the user's NSS databases under the home folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/ports.h"
#include "inventory/store_catalogue.h"
#include "inventory/trace.h"
#include "platform/linux/stores/root_files.h"
#include "platform/linux/stores/store_source.h"
#include "platform/platform.h"

namespace kestrune {

// `calls`: the system calls the files are read through (tests replace them).
std::unique_ptr<StoreCatalogue> makeTrustStoreCatalogue(const PlatformOptions& options,
                                                        Trace& trace,
                                                        const FileCalls& calls = systemFileCalls());

// The machine paths the system stores are read from (before the root), for the watcher.
struct TrustSourcePaths {
    const std::vector<std::string>& bundles;
    const std::vector<std::string>& anchorFolders;
    const std::vector<std::string>& blocklistFolders;
};
TrustSourcePaths trustSourcePaths();

// Certificate files read one certificate at a time, as the system's stores read theirs.
// `single`: the files are one bundle, so not being able to read it means the store
// cannot be opened.
Result<std::unique_ptr<OpenCertStore>, StoreError> openCertificateFiles(
    std::vector<std::string> files, bool single, Trace& trace, const FileCalls& calls);
// The certificate files below folders (real paths under `root`), each said on the trace
// when skipped; a folder or link below them that cannot be listed leaves the store
// unreadable.
Result<std::unique_ptr<OpenCertStore>, StoreError> openCertificateFolders(
    const std::vector<std::string>& folders, const RootDir& root, Trace& trace,
    const FileCalls& calls);

}  // namespace kestrune
