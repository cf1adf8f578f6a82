// Saving and loading a 100,000-record baseline (56.8 MB) through the SQLite settings
// store, against the floor for the same bytes: writing them to a plain file with fsync,
// and reading them back. Best of a few alternating rounds; the save replaces a baseline
// of the same size, as an accepted change does.
//
//   baseline_io_bench [records] [folder]   (default: 100000, a temp folder)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "bench/bench_table.h"
#include "bench/bench_util.h"
#include "platform/linux/sqlite_settings.h"
#include "tests/support/sample_records.h"
#include "tests/support/scripted_desktop.h"
#include "ui/baseline_messages.h"

using namespace kestrune;
namespace fs = std::filesystem;

namespace {

constexpr int kRounds = 3;

bool writeWithFsync(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

bool readAll(const std::string& path, std::vector<std::uint8_t>& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(fs::file_size(path)));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return done == out.size();
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t records = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    std::string folder;
    if (argc > 2) {
        folder = argv[2];
    } else {
        folder = (fs::temp_directory_path() / "kestrune-io-bench-XXXXXX").string();
        if (::mkdtemp(folder.data()) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
    }

    RecordTable table;
    testing::fillTable(table, records, 5);
    const auto count = static_cast<std::int32_t>(records);
    const auto bytes = table.bytes(records);

    SqliteSettingsOptions options;
    options.userDatabase = folder + "/kestrune/settings.db";
    SqliteSettings settings(options);
    testing::ScriptedDesktop desktop;
    NullTrace trace;
    KestruneState state;
    state.settingsKey = settings.createKey(SettingsRoot::User, kSettingsKeyPath);
    if (!state.settingsKey || !saveBaseline(*state.settingsKey, table, count)) {
        std::fprintf(stderr, "cannot save into %s\n", options.userDatabase.c_str());
        return 1;
    }
    const std::string plainFile = folder + "/baseline.bin";

    double save = 1e30, plainSave = 1e30, load = 1e30, plainLoad = 1e30;
    std::vector<std::uint8_t> readBack;
    bool ok = true;
    for (int round = 0; round < kRounds; ++round) {
        bench::Stopwatch s;
        ok = saveBaseline(*state.settingsKey, table, count) && ok;
        save = std::min(save, s.seconds());

        bench::Stopwatch p;
        ok = writeWithFsync(plainFile, bytes.data(), bytes.size()) && ok;
        plainSave = std::min(plainSave, p.seconds());

        bench::Stopwatch l;
        ok = registry_settings_load(state, desktop, trace) == 1 && ok;
        load = std::min(load, l.seconds());

        bench::Stopwatch r;
        ok = readAll(plainFile, readBack) && ok;
        plainLoad = std::min(plainLoad, r.seconds());
    }
    ok = ok && state.iCertificateCountTotal_Registry == count &&
         testing::holdsSamples(state.mqsCertificatesRegistry, records, 5) &&
         readBack.size() == bytes.size();
    if (argc <= 2) {
        fs::remove_all(folder);
    }
    if (!ok) {
        std::fprintf(stderr, "a save or a load failed\n");
        return 1;
    }

    const double mb = static_cast<double>(bytes.size()) / 1e6;
    std::printf("%zu records, %.1f MB, best of %d rounds\n", records, mb, kRounds);
    std::printf("  save (SQLite, one transaction): %.3f s   write + fsync of a file: %.3f s\n",
                save, plainSave);
    std::printf("  load (into both tables):         %.3f s   read of the file:        %.3f s\n",
                load, plainLoad);
    const std::string n = std::to_string(records);
    bench::tableRow("save of a " + n + "-record baseline (SQLite)", bench::figure(save * 1e3, "ms"),
                    "write + fsync of the same bytes", bench::figure(plainSave * 1e3, "ms"),
                    save / plainSave);
    bench::tableRow("load of a " + n + "-record baseline (SQLite)", bench::figure(load * 1e3, "ms"),
                    "read of the same bytes from a file", bench::figure(plainLoad * 1e3, "ms"),
                    load / plainLoad);
    return 0;
}
