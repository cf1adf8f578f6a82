#include "platform/linux/stores/stores_config.h"

#include <utility>

#include "inventory/text.h"

namespace kestrune {

namespace {

constexpr std::pair<std::string_view, ConfiguredKind> kKinds[] = {
    {"bundle", ConfiguredKind::Bundle},
    {"keystore", ConfiguredKind::Keystore},
    {"venvs", ConfiguredKind::Venvs},
    {"folder", ConfiguredKind::Folder},
};
constexpr std::string_view kPasswordOption = "password=";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The words of a line up to a word that starts with '#' (so a password may hold one).
std::vector<std::string_view> wordsOf(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && isBlank(line[at])) {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && !isBlank(line[at])) {
            ++at;
        }
        if (at > start) {
            if (line[start] == '#') {
                break;  // a comment to the end of the line
            }
            words.push_back(line.substr(start, at - start));
        }
    }
    return words;
}

// Names shown in problems are quoted and kept printable, whatever the file holds.
std::string quoted(std::string_view word) {
    std::string out = "\"";
    for (const char c : word) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7f || c == '"' || c == '\\' ? formatText("\\x%02x", byte)
                                                                    : std::string(1, c);
    }
    return out + "\"";
}

// One line that is not blank or a comment: its store, or why it is not one.
std::optional<ConfiguredStore> parseLine(const std::vector<std::string_view>& words,
                                         std::string& problem) {
    ConfiguredStore store;
    bool known = false;
    for (const auto& [name, kind] : kKinds) {
        if (words[0] == name) {
            store.kind = kind;
            known = true;
        }
    }
    if (!known) {
        problem = "unknown kind " + quoted(words[0]);
        return std::nullopt;
    }
    if (words.size() < 2) {
        problem = "no path after " + quoted(words[0]);
        return std::nullopt;
    }
    if (words[1].front() != '/') {
        problem = "the path " + quoted(words[1]) + " is not absolute";
        return std::nullopt;
    }
    store.path = std::string(words[1]);
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string_view word = words[i];
        if (store.kind == ConfiguredKind::Keystore && word.starts_with(kPasswordOption) &&
            !store.password) {
            store.password = std::string(word.substr(kPasswordOption.size()));
            continue;
        }
        problem = "unexpected " + quoted(word) + " after the path";
        return std::nullopt;
    }
    return store;
}

}  // namespace

void parseStoresConfig(std::string_view text, const std::string& file, StoresConfig& config) {
    std::size_t number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        const std::vector<std::string_view> words = wordsOf(line);
        if (words.empty()) {
            continue;
        }
        std::string problem;
        if (std::optional<ConfiguredStore> store = parseLine(words, problem)) {
            config.stores.push_back(std::move(*store));
        } else {
            config.problems.push_back(file + ":" + std::to_string(number) + ": " + problem);
        }
    }
}

}  // namespace kestrune
