// What dpkg's own files under a root say about the trust-store files: which installed
// package owns a file, the MD5 it shipped the file with, and the versions the log saw
// packages move between. Read at most once per scan and only as far as a question needs:
// a machine holds a thousand file lists, and reading them all costs more than a scan, so
// the lists are read until the file asked about is found (the lists of packages named
// after one of its folders first), and only a file no package owns needs them all.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "inventory/origin.h"
#include "platform/linux/stores/root_files.h"

namespace kestrune {

// Whether a machine path lies where trust-store files live (the bundles and their sources,
// the anchor and blocklist folders, the system NSS database): the only paths whose owners
// are looked for. Others (a database in a home folder) belong to no package.
bool isTrustStorePath(std::string_view machinePath);

// The install and upgrade lines of a dpkg.log, in file order; other and damaged lines are
// passed over. Times are local, as dpkg writes them.
std::vector<PackageChange> parseDpkgLog(std::string_view text);

class DpkgDatabase {
  public:
    DpkgDatabase(const RootDir& root, const FileCalls& calls);

    // Whether there is a dpkg status file to ask: without it nothing is known.
    bool present() const { return present_; }

    struct Owner {
        std::string package;  // without the architecture
        std::string version;  // installed
        std::size_t list = 0;
    };
    // The installed package whose file list holds the machine path, or null.
    const Owner* owner(const std::string& machinePath);
    // The MD5 (lower-case hex) the owner shipped the file with: its md5sums entry, or for a
    // configuration file the one the status keeps. None when neither tells.
    std::optional<std::string> shippedMd5(const Owner& owner, const std::string& machinePath);

    // The trust-store files the installed package `package` shipped, each with the MD5 it
    // shipped it with, and the package's version; none when it is not installed.
    struct Shipped {
        std::string version;
        const std::unordered_map<std::string, std::string>* md5 = nullptr;  // path -> MD5
    };
    std::optional<Shipped> shippedFiles(const std::string& package);

    // dpkg.log.1, then dpkg.log, oldest first.
    const std::vector<PackageChange>& changes();

  private:
    struct Installed {
        std::string version;
        std::unordered_map<std::string, std::string> conffiles;  // store paths alone
    };
    struct List {
        std::string name;  // "libfoo:amd64": the file name without ".list"
        std::string package;
        bool read = false;
        bool md5Read = false;
        std::unordered_map<std::string, std::string> md5;  // store paths alone
    };

    void readMd5sums(List& list);
    bool readMoreStatus();
    // Where `what` is in the status text from `from` on, reading more of it as needed.
    std::size_t findInStatus(std::string_view what, std::size_t from);
    const std::string* indexNextParagraph(std::size_t& start);
    // The package as installed, or null when it is not (or its files are not in place).
    const Installed* installed(const std::string& package);
    static std::optional<Installed> readParagraph(std::string_view text);
    bool findInfoDir();
    // Reads the list of the package `name` if there is one, without listing the others.
    void readListNamed(const std::string& name);
    void findLists();
    void readList(std::size_t index);

    RootDir root_;
    const FileCalls& calls_;
    bool present_ = false;
    std::string infoDir_;  // the real folder of the file lists
    bool infoDirLooked_ = false;
    std::unordered_set<std::string> namedRead_;  // lists looked for by name
    UniqueFd statusFd_;                          // open until the status is read to its end
    std::string status_;                         // as far as read
    std::unordered_multimap<std::string, std::size_t> paragraphs_;  // where each one starts
    std::size_t indexedTo_ = 0;  // paragraphs_ holds those that start before this
    std::unordered_map<std::string, std::optional<Installed>> installed_;  // asked so far
    bool listsFound_ = false;
    std::vector<List> lists_;
    std::multimap<std::string, std::size_t> listsByPackage_;
    std::size_t nextList_ = 0;
    std::unordered_map<std::string, Owner> owners_;  // store paths of the lists read so far
    std::optional<std::vector<PackageChange>> changes_;
    std::vector<char> buffer_;  // the list being read
};

}  // namespace kestrune
