// Replacing a file so a reader (node_exporter's textfile collector) sees the old
// contents or the new, never a part: a temp file in the same folder, fsync, rename.
#pragma once

#include <functional>
#include <string>

namespace kestrune {

// The temp file is named ".<name>.XXXXXX" so collectors that read "*.prom" skip it, and
// is made readable by everyone (0644) like the file it replaces is expected to be.
// `beforeRename` runs when the new contents are durable but not yet in place (tests
// end the process there).
bool replaceFileAtomically(const std::string& path, const std::string& text, std::string& error,
                           const std::function<void()>& beforeRename = {});

}  // namespace kestrune
