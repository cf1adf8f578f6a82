// The stores an admin or a user adds in stores.d: one store per line, "<kind> <path>",
// where the path may hold shell wildcards. Kinds: "bundle" (a PEM bundle), "keystore"
// (a Java keystore, "password=..." after the path, else the JVM's default), "venvs" (a
// folder of Python virtual environments, whose certifi bundles are read) and "folder"
// (a folder of certificate files). A word starting with '#' begins a comment; blank lines are
// allowed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

enum class ConfiguredKind { Bundle, Keystore, Venvs, Folder };

struct ConfiguredStore {
    ConfiguredKind kind = ConfiguredKind::Bundle;
    std::string path;  // absolute, wildcards kept
    std::optional<std::string> password;
};

struct StoresConfig {
    std::vector<ConfiguredStore> stores;
    // "<file>:<line>: <what is wrong>", one per line left out.
    std::vector<std::string> problems;
};

// The lines of one configuration file named `file` (for the problems), added to `config`.
// A bad line is named and left out; the others still count.
void parseStoresConfig(std::string_view text, const std::string& file, StoresConfig& config);

}  // namespace kestrune
