// The Linux change source: inotify on every trust source the scanner reads. Folders are
// watched, not files, since updates replace a bundle or a database by rename; a folder
// that does not exist yet is waited for in its nearest existing parent.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ports.h"
#include "inventory/change_source.h"

namespace kestrune {

// What to watch, as paths on this machine (already under the root).
struct WatchTarget {
    std::string folder;
    bool recursive = false;          // every file and subfolder, later ones included
    std::vector<std::string> names;  // otherwise only these entries of the folder
    bool relists = false;            // a change here may add targets (profiles.ini)
};

// The trust sources under options' root and home, as the scanner finds them now.
std::vector<WatchTarget> trustSourceTargets(const PlatformOptions& options);

// `targets` is asked again whenever a folder appears or goes, or a relisting entry changes.
std::unique_ptr<ChangeSource> makeInotifyChangeSource(
    std::function<std::vector<WatchTarget>()> targets);

}  // namespace kestrune
