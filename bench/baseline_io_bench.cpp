// Saving and loading a 100,000-record baseline (56.8 MB) through the SQLite settings
// store, against the floor for the same bytes: writing them to a plain file with fsync,
// and reading them back. Best of a few alternating rounds. Every save stores something
// other than what is stored: a baseline of the same size with every record different
// (the worst case: nothing of the old one can stay), and one certificate more or less
// (an accepted change).
//
//   baseline_io_bench [records] [folder]   (default: 100000, a temp folder)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "bench/bench_table.h"
#include "bench/bench_util.h"
#include "platform/linux/settings/sqlite_settings.h"
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

// Into memory allocated for the read and not touched before it, as a load's must be:
// a buffer kept from an earlier round would spare the reference the page faults.
bool readAll(const std::string& path, std::unique_ptr<std::uint8_t[]>& out, std::size_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    out.reset();
    size = static_cast<std::size_t>(fs::file_size(path));
    out.reset(new std::uint8_t[size]);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, out.get() + done, size - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return done == size;
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

    // Two baselines of the same size that differ in every record, and one with a
    // certificate more than the first.
    RecordTable table;
    testing::fillTable(table, records, 5);
    RecordTable other;
    testing::fillTable(other, records, 6);
    RecordTable onemore;
    testing::fillTable(onemore, records + 1, 5);
    const auto count = static_cast<std::int32_t>(records);
    const auto bytes = table.bytes(records);

    SqliteSettingsOptions options;
    options.userDatabase = folder + "/kestrune/settings.db";
    SqliteSettings settings(options);
    testing::ScriptedDesktop desktop;
    NullTrace trace;
    KestruneState state;
    std::shared_ptr<BaselineStore> settingsKey;
    if (auto made = settings.open(SettingsRoot::User, StoreAccess::Create)) {
        settingsKey = std::move(*made);
    }
    if (!settingsKey || !saveBaseline(*settingsKey, table, count)) {
        std::fprintf(stderr, "cannot save into %s\n", options.userDatabase.c_str());
        return 1;
    }
    const std::string plainFile = folder + "/baseline.bin";

    double save = 1e30, saveOneMore = 1e30, plainSave = 1e30, load = 1e30, plainLoad = 1e30;
    std::unique_ptr<std::uint8_t[]> readBack;
    std::size_t readBytes = 0;
    bool ok = true;
    for (int round = 0; round < kRounds; ++round) {
        // Stored: `table`. Then every record different, then back: two timed saves.
        for (const RecordTable* next : {&other, &table}) {
            bench::Stopwatch s;
            ok = saveBaseline(*settingsKey, *next, count) && ok;
            save = std::min(save, s.seconds());
        }
        // One certificate more, then one less.
        for (const RecordTable* next : {&onemore, &table}) {
            bench::Stopwatch s;
            ok = saveBaseline(*settingsKey, *next, static_cast<std::int32_t>(next->validCount())) &&
                 ok;
            saveOneMore = std::min(saveOneMore, s.seconds());
        }

        bench::Stopwatch p;
        ok = writeWithFsync(plainFile, bytes.data(), bytes.size()) && ok;
        plainSave = std::min(plainSave, p.seconds());

        bench::Stopwatch l;
        ok = registry_settings_load(settingsKey.get(), state, desktop, trace) == 1 && ok;
        load = std::min(load, l.seconds());

        bench::Stopwatch r;
        ok = readAll(plainFile, readBack, readBytes) && ok;
        plainLoad = std::min(plainLoad, r.seconds());
    }
    ok = ok && state.iCertificateCountTotal_Registry == count &&
         testing::holdsSamples(state.mqsCertificatesRegistry, records, 5) &&
         readBytes == bytes.size() && std::memcmp(readBack.get(), bytes.data(), readBytes) == 0;
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
    std::printf("  save, one certificate more or less: %.3f s\n", saveOneMore);
    std::printf("  load (into both tables):         %.3f s   read of the file:        %.3f s\n",
                load, plainLoad);
    const std::string n = std::to_string(records);
    bench::tableRow("save of a " + n + "-record baseline (SQLite)", bench::figure(save * 1e3, "ms"),
                    "write + fsync of the same bytes", bench::figure(plainSave * 1e3, "ms"),
                    save / plainSave);
    bench::tableRow("the same save, one certificate more or less",
                    bench::figure(saveOneMore * 1e3, "ms"), "write + fsync of the same bytes",
                    bench::figure(plainSave * 1e3, "ms"), saveOneMore / plainSave);
    bench::tableRow("load of a " + n + "-record baseline (SQLite)", bench::figure(load * 1e3, "ms"),
                    "read of the same bytes into new memory", bench::figure(plainLoad * 1e3, "ms"),
                    load / plainLoad);
    return 0;
}
