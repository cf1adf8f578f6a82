// The Linux change source: inotify on every trust source the scanner reads. Folders are
// watched, not files, since updates replace a bundle or a database by rename; a folder
// that does not exist yet is waited for in its nearest existing parent. Symbolic links
// are followed as the readers follow them (inside the root): each link on the way is
// watched for being retargeted and the file it leads to for being changed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ports.h"
#include "inventory/change_source.h"
#include "platform/platform.h"

namespace kestrune {

// What to watch: a folder as the machine inside `root` names it ("" or "/": this
// machine's own root; links resolve inside the root, as the readers resolve them).
struct WatchTarget {
    std::string folder;
    bool recursive = false;          // every file and subfolder, later ones included
    std::vector<std::string> names;  // otherwise only these entries of the folder
    bool relists = false;            // a change here may add targets (profiles.ini); with
                                     // no names, a change to any entry of the folder may
    std::string root;
};

// The trust sources under options' root and home, as the scanner finds them now.
std::vector<WatchTarget> trustSourceTargets(const PlatformOptions& options);

// What tests replace: adding a watch (to fail as a full watch table or a folder without
// permission would) and how often folders that could not be watched are tried again.
struct InotifyTuning {
    std::function<int(int inotifyFd, const std::string& folder, std::uint32_t mask)> addWatch;
    std::uint32_t retryMs = 10'000;
};

// `targets` is asked again whenever a folder appears or goes, a link changes, or a
// relisting entry changes.
std::unique_ptr<ChangeSource> makeInotifyChangeSource(
    std::function<std::vector<WatchTarget>()> targets, InotifyTuning tuning = {});

// Asks a source made by makeInotifyChangeSource to rebuild its watches and end the
// current or next wait with Requested (stopOnTermination wires SIGHUP to the same).
void requestCheck(ChangeSource& source);

}  // namespace kestrune
