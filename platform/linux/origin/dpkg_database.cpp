#include "platform/linux/origin/dpkg_database.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace kestrune {

namespace {

// dpkg's status of a big installation is a few MiB; anything far larger is not dpkg's.
constexpr std::size_t kMaxDpkgFileBytes = std::size_t{64} << 20;

constexpr std::string_view kTrustStoreFolders[] = {
    "/etc/ssl/",
    "/etc/pki/",
    "/etc/ca-certificates/",
    "/usr/share/ca-certificates/",
    "/usr/local/share/ca-certificates/",
    "/usr/share/pki/",
};

// Calls `take` with every line of `text`, without its newline (or a CR before it).
template <typename Take>
void forEachLine(std::string_view text, Take take) {
    const char* at = text.data();
    const char* const end = at + text.size();
    while (at < end) {
        const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
        const char* lineEnd = found != nullptr ? static_cast<const char*>(found) : end;
        std::string_view line(at, static_cast<std::size_t>(lineEnd - at));
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        take(line);
        at = lineEnd + 1;
    }
}

std::string_view trim(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The first word of `text`, and `text` moved past it and the spaces after it.
std::string_view takeWord(std::string_view& text) {
    text = trim(text);
    const std::size_t space = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, space);
    text.remove_prefix(space);
    return word;
}

// An MD5 as 32 hex digits, in lower case; empty when it is none.
std::string md5Text(std::string_view text) {
    if (text.size() != 32) {
        return {};
    }
    std::string out(text);
    for (char& c : out) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return {};
        }
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// Whether a Status value ("install ok installed") says the package's files are in place.
bool filesInPlace(std::string_view status) {
    takeWord(status);  // what was asked for: install, hold, ...
    if (takeWord(status) != "ok") {
        return false;
    }
    const std::string_view state = takeWord(status);
    return state == "installed" || state == "triggers-pending" || state == "triggers-awaited";
}

// `digits` decimal digits of `text` at `at` into `value`; false if any is not a digit.
bool number(std::string_view text, std::size_t at, std::size_t digits, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
        if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// "YYYY-MM-DD" and "HH:MM:SS" in local time as seconds since the epoch.
std::optional<std::int64_t> localTime(std::string_view date, std::string_view time) {
    std::tm tm{};
    int year = 0;
    if (date.size() != 10 || time.size() != 8 || date[4] != '-' || date[7] != '-' ||
        time[2] != ':' || time[5] != ':' || !number(date, 0, 4, year) ||
        !number(date, 5, 2, tm.tm_mon) || !number(date, 8, 2, tm.tm_mday) ||
        !number(time, 0, 2, tm.tm_hour) || !number(time, 3, 2, tm.tm_min) ||
        !number(time, 6, 2, tm.tm_sec)) {
        return std::nullopt;
    }
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60) {
        return std::nullopt;
    }
    tm.tm_year = year - 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;  // as the time zone had it on that day
    const std::time_t when = std::mktime(&tm);
    if (when == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(when);
}

std::optional<PackageChange> logChange(std::string_view line) {
    const std::string_view date = takeWord(line);
    const std::string_view time = takeWord(line);
    const std::string_view action = takeWord(line);
    if (action != "install" && action != "upgrade") {
        return std::nullopt;
    }
    std::string_view package = takeWord(line);
    const std::string_view from = takeWord(line);
    const std::string_view to = takeWord(line);
    package = package.substr(0, package.find(':'));
    if (package.empty() || from.empty() || to.empty() || to == "<none>" || !trim(line).empty()) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> when = localTime(date, time);
    if (!when) {
        return std::nullopt;
    }
    return PackageChange{std::string(package), from == "<none>" ? std::string() : std::string(from),
                         std::string(to), *when};
}

// A whole file into `buffer`, reused from file to file: a search through every list reads
// a thousand small files, where an allocation and an fstat each cost as much as the read.
// O_NONBLOCK keeps a FIFO from hanging the scan; the cap ends a device's endless bytes.
// The bytes read are the first of `buffer`; it is grown, never shrunk.
std::optional<std::string_view> readWhole(const std::string& path, std::vector<char>& buffer,
                                          const FileCalls& calls) {
    UniqueFd fd(calls.open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK), calls);
    if (fd.get() < 0) {
        return std::nullopt;
    }
    std::size_t used = 0;
    for (;;) {
        if (buffer.size() - used < 4096) {
            if (buffer.size() > kMaxDpkgFileBytes) {
                return std::nullopt;
            }
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, 65536));
        }
        const ssize_t n = calls.read(fd.get(), buffer.data() + used, buffer.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            return std::string_view(buffer.data(), used);
        }
        used += static_cast<std::size_t>(n);
    }
}

}  // namespace

bool isTrustStorePath(std::string_view machinePath) {
    return std::any_of(std::begin(kTrustStoreFolders), std::end(kTrustStoreFolders),
                       [&](std::string_view folder) {
                           return machinePath.size() > folder.size() &&
                                  machinePath.substr(0, folder.size()) == folder;
                       });
}

std::vector<PackageChange> parseDpkgLog(std::string_view text) {
    std::vector<PackageChange> changes;
    forEachLine(text, [&](std::string_view line) {
        if (std::optional<PackageChange> change = logChange(line)) {
            changes.push_back(std::move(*change));
        }
    });
    return changes;
}

DpkgDatabase::DpkgDatabase(const RootDir& root, const FileCalls& calls)
    : root_(root), calls_(calls) {
    const Result<std::string> path = root_.real("/var/lib/dpkg/status");
    if (!path) {
        return;
    }
    present_ = openRegularFile(*path, statusFd_, kMaxDpkgFileBytes, nullptr, calls_).ok();
}

// The status file is read as far as the packages asked about need it (see
// indexNextParagraph). A read that fails, or a file past any dpkg status's size, makes
// the whole database unknown from then on: what the rest says cannot be told.
bool DpkgDatabase::readMoreStatus() {
    constexpr std::size_t kPart = std::size_t{128} << 10;
    if (statusFd_.get() < 0) {
        return false;
    }
    const std::size_t used = status_.size();
    status_.resize(used + kPart);
    ssize_t n = 0;
    do {
        n = calls_.read(statusFd_.get(), status_.data() + used, kPart);
    } while (n < 0 && errno == EINTR);
    status_.resize(used + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0 && status_.size() <= kMaxDpkgFileBytes) {
        return true;
    }
    if (n != 0) {
        present_ = false;
    }
    statusFd_.reset();
    return false;
}

std::size_t DpkgDatabase::findInStatus(std::string_view what, std::size_t from) {
    for (;;) {
        const std::size_t at = status_.find(what, from);
        if (at != std::string::npos || !readMoreStatus()) {
            return at;
        }
    }
}

// Indexes the next paragraph of the status text: where it starts, under its package's
// name (null past the end). The text is read and indexed only as far as asked for: dpkg
// keeps it in name order, and a scan asks about a handful of a thousand packages, most
// of them early in the alphabet.
const std::string* DpkgDatabase::indexNextParagraph(std::size_t& start) {
    constexpr std::string_view kField = "Package:";
    for (;;) {
        if (indexedTo_ >= status_.size() && !readMoreStatus()) {
            return nullptr;
        }
        const std::size_t at = indexedTo_;
        // Read on to the next paragraph (or the end), so this one's first line is whole.
        const std::size_t next = findInStatus("\nPackage:", at);
        indexedTo_ = next == std::string::npos ? status_.size() : next + 1;
        if (status_.compare(at, kField.size(), kField) != 0) {
            continue;
        }
        std::size_t end = status_.find('\n', at);
        end = end == std::string::npos ? status_.size() : end;
        std::string_view name =
            trim(std::string_view(status_).substr(at + kField.size(), end - at - kField.size()));
        if (!name.empty() && name.back() == '\r') {
            name.remove_suffix(1);
        }
        start = at;
        return &paragraphs_.emplace(std::string(name), at)->first;
    }
}

const DpkgDatabase::Installed* DpkgDatabase::installed(const std::string& package) {
    if (const auto it = installed_.find(package); it != installed_.end()) {
        return it->second ? &*it->second : nullptr;
    }
    std::optional<Installed>& found = installed_[package];
    const auto read = [&](std::size_t start) {
        // A paragraph ends at its first empty line.
        const std::size_t end = findInStatus("\n\n", start);
        found = readParagraph(std::string_view(status_).substr(
            start, end == std::string::npos ? std::string::npos : end - start));
    };
    const auto [first, last] = paragraphs_.equal_range(package);
    for (auto it = first; it != last && !found; ++it) {
        read(it->second);
    }
    // Only an installed paragraph ends the search: one of another architecture, or one
    // left with its configuration files only, may come first.
    std::size_t start = 0;
    while (!found) {
        const std::string* name = indexNextParagraph(start);
        if (name == nullptr) {
            break;
        }
        if (*name == package) {
            read(start);
        }
    }
    return found ? &*found : nullptr;
}

std::optional<DpkgDatabase::Installed> DpkgDatabase::readParagraph(std::string_view text) {
    struct Paragraph {
        std::string_view package, status, version;
        std::vector<std::pair<std::string_view, std::string>> conffiles;
        bool inConffiles = false;
    } p;
    std::optional<Installed> found;
    bool done = false;  // the paragraph asked for ends at its first empty line
    const auto finish = [&] {
        done = done || !p.package.empty();
        if (!found && !p.package.empty() && !p.version.empty() && filesInPlace(p.status)) {
            Installed& package = found.emplace();
            package.version = p.version;
            for (auto& [path, md5] : p.conffiles) {
                package.conffiles.emplace(path, std::move(md5));
            }
        }
        p = Paragraph{};
    };
    forEachLine(text, [&](std::string_view line) {
        if (done) {
            return;
        }
        if (line.empty() || line.find_first_not_of(" \t") == std::string_view::npos) {
            finish();
        } else if (line[0] == ' ' || line[0] == '\t') {
            // " /etc/path md5 [obsolete]": only a configuration file's line continues; the
            // rest (descriptions, most of the file) is passed over at once.
            if (!p.inConffiles) {
                return;
            }
            const std::string_view path = takeWord(line);
            std::string md5 = md5Text(takeWord(line));
            if (isTrustStorePath(path) && !md5.empty()) {
                p.conffiles.emplace_back(path, std::move(md5));
            }
        } else {
            const std::size_t colon = line.find(':');
            const std::string_view field = line.substr(0, colon);
            const std::string_view value =
                colon == std::string_view::npos ? std::string_view() : trim(line.substr(colon + 1));
            p.inConffiles = field == "Conffiles";
            if (field == "Package") {
                p.package = value;
            } else if (field == "Status") {
                p.status = value;
            } else if (field == "Version") {
                p.version = value;
            }
        }
    });
    finish();
    return found;
}

bool DpkgDatabase::findInfoDir() {
    if (!infoDirLooked_) {
        infoDirLooked_ = true;
        if (const Result<std::string> folder = root_.real("/var/lib/dpkg/info")) {
            infoDir_ = *folder;
        }
    }
    return !infoDir_.empty();
}

void DpkgDatabase::readListNamed(const std::string& name) {
    if (listsFound_ || name.empty() || name.find_first_of("/.") == 0 || !findInfoDir() ||
        !namedRead_.insert(name).second) {
        return;
    }
    // Not a package (a folder like "share"): no list, nothing read, and no search of the
    // status for a name it does not hold.
    if (UniqueFd list(calls_.open((infoDir_ + "/" + name + ".list").c_str(), O_RDONLY | O_CLOEXEC),
                      calls_);
        list.get() < 0 || installed(name) == nullptr) {
        return;
    }
    List& list = lists_.emplace_back();
    list.name = name;
    list.package = name;
    readList(lists_.size() - 1);
}

void DpkgDatabase::findLists() {
    if (listsFound_) {
        return;
    }
    listsFound_ = true;
    DIR* dir = findInfoDir() ? calls_.opendir(infoDir_.c_str()) : nullptr;
    if (dir == nullptr) {
        return;
    }
    // The lists read by name keep their places (owners point at them by index).
    const std::size_t readByName = lists_.size();
    constexpr std::string_view kSuffix = ".list";
    while (const dirent* entry = calls_.readdir(dir)) {
        const std::string_view file = entry->d_name;
        if (file.size() <= kSuffix.size() || file.substr(file.size() - kSuffix.size()) != kSuffix) {
            continue;
        }
        const std::string_view name = file.substr(0, file.size() - kSuffix.size());
        if (namedRead_.count(std::string(name)) != 0) {
            continue;
        }
        List& list = lists_.emplace_back();
        list.name = name;
        list.package = std::string(name.substr(0, name.find(':')));
    }
    calls_.closedir(dir);
    std::sort(lists_.begin() + static_cast<std::ptrdiff_t>(readByName), lists_.end(),
              [](const List& a, const List& b) { return a.name < b.name; });
    for (std::size_t i = 0; i < lists_.size(); ++i) {
        listsByPackage_.emplace(lists_[i].package, i);
    }
}

void DpkgDatabase::readList(std::size_t index) {
    List& list = lists_[index];
    list.read = true;
    // A list left behind by a package whose files are gone owns nothing now.
    const Installed* package = installed(list.package);
    if (package == nullptr) {
        return;
    }
    const std::optional<std::string_view> text =
        readWhole(infoDir_ + "/" + list.name + ".list", buffer_, calls_);
    if (!text) {
        return;  // a list that cannot be read tells nothing; the others still do
    }
    const std::string version = package->version;
    forEachLine(*text, [&](std::string_view line) {
        if (isTrustStorePath(line)) {
            owners_.emplace(std::string(line), Owner{list.package, version, index});
        }
    });
}

const DpkgDatabase::Owner* DpkgDatabase::owner(const std::string& machinePath) {
    // Debian packages never ship files under /usr/local (it is the administrator's), so no
    // list is read to learn that an anchor there belongs to none: that search alone would
    // cost more than the scan.
    if (!present_ || !isTrustStorePath(machinePath) || machinePath.starts_with("/usr/local/")) {
        return nullptr;
    }
    const auto known = [&]() -> const Owner* {
        const auto it = owners_.find(machinePath);
        return it == owners_.end() ? nullptr : &it->second;
    };
    if (const Owner* found = known()) {
        return found;
    }
    // Packages keep their files in folders named after them (/usr/share/<package>), so
    // those lists are the likely owners: they are read by name, before the thousand
    // others are even listed.
    for (std::size_t slash = machinePath.find('/', 1); slash != std::string::npos;
         slash = machinePath.find('/', slash + 1)) {
        const std::size_t start = machinePath.rfind('/', slash - 1) + 1;
        readListNamed(machinePath.substr(start, slash - start));
        if (const Owner* found = known()) {
            return found;
        }
    }
    findLists();
    for (std::size_t slash = machinePath.find('/', 1); slash != std::string::npos;
         slash = machinePath.find('/', slash + 1)) {
        const std::size_t start = machinePath.rfind('/', slash - 1) + 1;
        const auto [first, last] =
            listsByPackage_.equal_range(machinePath.substr(start, slash - start));
        for (auto it = first; it != last; ++it) {
            if (!lists_[it->second].read) {
                readList(it->second);
            }
        }
        if (const Owner* found = known()) {
            return found;
        }
    }
    while (nextList_ < lists_.size()) {
        const std::size_t index = nextList_++;
        if (lists_[index].read) {
            continue;
        }
        readList(index);
        if (const Owner* found = known()) {
            return found;
        }
    }
    return nullptr;
}

void DpkgDatabase::readMd5sums(List& list) {
    if (list.md5Read) {
        return;
    }
    list.md5Read = true;
    const Result<std::string> text = readRegularFile(infoDir_ + "/" + list.name + ".md5sums",
                                                     kMaxDpkgFileBytes, nullptr, calls_);
    // "<md5>  <path without its leading slash>"
    forEachLine(text ? std::string_view(*text) : std::string_view(), [&](std::string_view line) {
        std::string md5 = md5Text(takeWord(line));
        const std::string path = "/" + std::string(trim(line));
        if (!md5.empty() && isTrustStorePath(path)) {
            list.md5.emplace(path, std::move(md5));
        }
    });
}

std::optional<DpkgDatabase::Shipped> DpkgDatabase::shippedFiles(const std::string& package) {
    if (!present_) {
        return std::nullopt;
    }
    readListNamed(package);
    findInfoDir();
    for (std::size_t i = 0; i < lists_.size(); ++i) {
        if (lists_[i].package != package) {
            continue;
        }
        if (!lists_[i].read) {
            readList(i);
        }
        const Installed* installed = this->installed(package);
        if (installed == nullptr) {
            return std::nullopt;
        }
        readMd5sums(lists_[i]);
        return Shipped{installed->version, &lists_[i].md5};
    }
    return std::nullopt;
}

std::optional<std::string> DpkgDatabase::shippedMd5(const Owner& owner,
                                                    const std::string& machinePath) {
    List& list = lists_[owner.list];
    readMd5sums(list);
    if (const auto it = list.md5.find(machinePath); it != list.md5.end()) {
        return it->second;
    }
    if (const Installed* package = installed(owner.package)) {
        if (const auto it = package->conffiles.find(machinePath); it != package->conffiles.end()) {
            return it->second;
        }
    }
    return std::nullopt;
}

const std::vector<PackageChange>& DpkgDatabase::changes() {
    if (!changes_) {
        changes_.emplace();
        // Without a status the log is of no installation known here.
        for (const char* log : {"/var/log/dpkg.log.1", "/var/log/dpkg.log"}) {
            const Result<std::string> path = root_.real(log);
            if (!present_ || !path) {
                continue;
            }
            if (const Result<std::string> text =
                    readRegularFile(*path, kMaxDpkgFileBytes, nullptr, calls_)) {
                for (PackageChange& change : parseDpkgLog(*text)) {
                    changes_->push_back(std::move(change));
                }
            }
        }
        // Rotation keeps the files in order; a clock set back may not.
        std::stable_sort(
            changes_->begin(), changes_->end(),
            [](const PackageChange& a, const PackageChange& b) { return a.when < b.when; });
    }
    return *changes_;
}

}  // namespace kestrune
