// The settings database damaged while the program runs: deleted, made read-only,
// replaced by garbage, or its disk full during a save. The next cycle must report the
// failure, the program must go on with the baseline it has, and what was stored must
// not be lost or overwritten.
#include <fcntl.h>
#include <grp.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "baseline/scan_cycle.h"
#include "inventory/scanner.h"
#include "platform/linux/settings/sqlite_settings.h"
#include "tests/platform/linux/scratch_dir.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_program.h"
#include "tests/support/scripted_desktop.h"
#include "ui/baseline_messages.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::DesktopCall;
using testing::FakeCert;
using testing::FakeClock;
using testing::FakeLocation;
using testing::FakeStore;
using testing::FakeStoreCatalogue;
using testing::makeCert;
using testing::ScriptedDesktop;

constexpr const char* kLoadFailedCaption = "Brimtal Software - Kestrune Error";

using TempDir = testing::ScratchDir;

std::vector<std::uint8_t> readFile(const fs::path& p) {
    return testing::readBytes(p);
}

void writeFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// One tray program's worth of state over a real settings database in `folder`.
struct Program : testing::FakeProgram {
    explicit Program(const fs::path& folder)
        : FakeProgram({.settings = &sqlite}), sqlite(options(folder)) {
        stores.locations.push_back(FakeLocation{
            "LocalMachine",
            {FakeStore{"Root",
                       {makeCert("Alpha", {0x01, 0x02}, 1), makeCert("Beta", {0x03}, 2),
                        makeCert("Gamma", {0x04, 0x05, 0x06}, 3)}}}});
        settingsKey = openSettingsKey(sqlite, desktop);
    }

    static SqliteSettingsOptions options(const fs::path& folder) {
        SqliteSettingsOptions o;
        o.userDatabase = (folder / "kestrune/settings.db").string();
        o.busyTimeoutMs = 200;
        return o;
    }
    std::string database() const { return sqlite.options().userDatabase; }

    // Start-up with a first baseline of what the stores hold now.
    void start() {
        ASSERT_TRUE(settingsKey);
        tray.addTrayIcon();  // notices reach the desktop only once the icon exists
        scanCycleCounters();
        ASSERT_TRUE(
            saveBaseline(*settingsKey, state.mqsCertificates, state.iCertificateCountTotal));
        ASSERT_EQ(registry_settings_load(settingsKey.get(), state, desktop, trace), 1);
        ASSERT_EQ(state.iCertificateCountTotal_Registry, 3);
        desktop.clear();
        trace.clear();
    }
    void scanCycleCounters() {
        state.resetScanCounters();
        scan(state, stores, trace);
    }
    std::vector<FakeCert>& certs() { return stores.locations[0].stores[0].certs; }

    // One hourly cycle in which the user answers Yes to saving.
    void cycleAnsweringYes() {
        desktop.clear();
        trace.clear();
        desktop.onMessageBox = nullptr;
        desktop.yesNoAnswer = Answer::yes;
        scanCycle(context, 0);
    }
    std::vector<std::string> captions() const {
        std::vector<std::string> out;
        for (const auto& box : desktop.messageBoxes()) {
            out.push_back(box.caption);
        }
        return out;
    }
    bool savedNoticeShown() const {
        for (const auto& call : desktop.notices()) {
            if (call.text == kNoticeSaved) {
                return true;
            }
        }
        return false;
    }
    std::vector<std::string> baselineNames() const {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < static_cast<std::size_t>(state.iCertificateCountTotal_Registry);
             ++i) {
            names.push_back(recordTextUtf8(state.mqsCertificatesRegistry[i].name));
        }
        return names;
    }

    SqliteSettings sqlite;
};

// What a fresh process finds in the database: the names of the stored records, or
// nothing when it cannot load them.
std::vector<std::string> storedNames(const std::string& database) {
    SqliteSettingsOptions o;
    o.userDatabase = database;
    SqliteSettings api(o);
    KestruneState state;
    std::shared_ptr<BaselineStore> settingsKey =
        testing::openStore(api, SettingsRoot::User, StoreAccess::Write);
    ScriptedDesktop desktop;
    NullTrace trace;
    std::vector<std::string> names;
    if (!settingsKey || registry_settings_load(settingsKey.get(), state, desktop, trace) != 1) {
        return names;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(state.iCertificateCountTotal_Registry);
         ++i) {
        names.push_back(recordTextUtf8(state.mqsCertificatesRegistry[i].name));
    }
    return names;
}

const std::vector<std::string> kStoredNames = {"Alpha", "Beta", "Gamma"};
const std::vector<std::string> kObservedNames = {"Alpha", "Beta", "Gamma", "Delta"};

// A save that fails must be told as a failure, never as a saved baseline; the baseline
// in memory stays, so the next cycle reports the same change again.
void expectFailedSaveReported(Program& p) {
    EXPECT_FALSE(p.savedNoticeShown());
    const auto captions = p.captions();
    ASSERT_GE(captions.size(), 3u);
    EXPECT_EQ(captions[0], "Brimtal Kestrune - Certificate Added");
    EXPECT_EQ(captions[1], "Brimtal Kestrune - Certificate Changes");
    const auto boxes = p.desktop.messageBoxes();
    EXPECT_EQ(boxes[2].text.rfind("The observed certificates could not be saved", 0), 0u)
        << boxes[2].text;
    EXPECT_NE(boxes[2].text.find(p.database()), std::string::npos) << boxes[2].text;
    EXPECT_EQ(p.baselineNames(), kStoredNames);

    // The program goes on: the next cycle sees the same difference.
    p.cycleAnsweringYes();
    ASSERT_FALSE(p.captions().empty());
    EXPECT_EQ(p.captions()[0], "Brimtal Kestrune - Certificate Added");
    EXPECT_EQ(p.baselineNames(), kStoredNames);
}

TEST(SettingsFault, DatabaseDeletedWhileRunningIsReportedUntilADatabaseIsBack) {
    TempDir dir;
    Program p(dir.path());
    p.start();
    ASSERT_TRUE(fs::remove(p.database()));
    p.certs().push_back(makeCert("Delta", {0x07}, 4));
    p.cycleAnsweringYes();

    // The reload names the failure: the database is gone.
    const auto captions = p.captions();
    EXPECT_EQ(captions.back(), kLoadFailedCaption);
    EXPECT_NE(p.trace.errText().find(p.database()), std::string::npos) << p.trace.allText();
    expectFailedSaveReported(p);
    // Nothing was written anywhere else, and no database came back by itself.
    EXPECT_FALSE(fs::exists(p.database()));

    // Another program makes a new database under the name: the running one uses it.
    {
        Program other(dir.path());
        other.start();
    }
    p.cycleAnsweringYes();
    EXPECT_TRUE(p.savedNoticeShown()) << p.trace.errText();
    EXPECT_EQ(p.baselineNames(), kObservedNames);
    EXPECT_EQ(storedNames(p.database()), kObservedNames);
}

TEST(SettingsFault, DatabaseReplacedByGarbageWhileRunningIsNeverWritten) {
    const std::vector<std::pair<std::string, std::string>> garbage = {
        {"renamed over", "renamed"},
        {"written over", "written"},
        {"cut to a few bytes", "short"},
    };
    for (const auto& [what, how] : garbage) {
        SCOPED_TRACE(what);
        TempDir dir;
        Program p(dir.path());
        p.start();
        std::string content;
        if (how == "renamed") {
            content = std::string(5000, 'g');
            const fs::path other = dir.path() / "garbage";
            writeFile(other, content);
            fs::rename(other, p.database());
        } else if (how == "written") {
            content = std::string(10000, 'w');
            writeFile(p.database(), content);
        } else {
            content = "junk";
            writeFile(p.database(), content);
        }
        p.certs().push_back(makeCert("Delta", {0x07}, 4));
        p.cycleAnsweringYes();

        EXPECT_EQ(p.captions().back(), kLoadFailedCaption);
        EXPECT_NE(p.trace.errText().find(p.database()), std::string::npos) << p.trace.allText();
        expectFailedSaveReported(p);
        EXPECT_EQ(readFile(p.database()),
                  std::vector<std::uint8_t>(content.begin(), content.end()));
        EXPECT_FALSE(fs::exists(p.database() + "-journal"));
    }
}

// Runs `body` as an unprivileged user when the tests run as root (root writes through
// any file mode), in a child process; its failures fail the test. Without root it runs
// here.
void asUnprivilegedUser(const fs::path& folder, const std::function<void()>& body) {
    if (::geteuid() != 0) {
        body();
        return;
    }
    constexpr uid_t kNobody = 65534;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        ASSERT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            std::fprintf(stderr, "cannot become an unprivileged user: %s\n", std::strerror(errno));
            ::_exit(3);
        }
        body();
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged run failed (see its output above)";
}

TEST(SettingsFault, DatabaseMadeReadOnlyWhileRunningKeepsTheStoredBaseline) {
    TempDir dir;
    // The folder must be reachable for the unprivileged user.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
    asUnprivilegedUser(dir.path(), [&] {
        Program p(dir.path());
        p.start();
        const fs::path file = p.database();
        const fs::path folder = file.parent_path();
        ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
        ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
        const auto before = readFile(file);

        p.certs().push_back(makeCert("Delta", {0x07}, 4));
        p.cycleAnsweringYes();
        // Reading still works: the stored baseline loads again without a failure box.
        EXPECT_EQ(p.captions().size(), 3u);
        expectFailedSaveReported(p);
        EXPECT_EQ(readFile(file), before);

        // Writable again: the next Yes saves.
        ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
        p.cycleAnsweringYes();
        EXPECT_TRUE(p.savedNoticeShown());
        EXPECT_EQ(p.baselineNames(), kObservedNames);
        EXPECT_EQ(storedNames(file), kObservedNames);
    });
}

// A small tmpfs of its own, unmounted when done. Needs root (CAP_SYS_ADMIN).
class SmallDisk {
  public:
    SmallDisk(const fs::path& at, std::size_t bytes) : at_(at) {
        fs::create_directories(at);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        mounted_ =
            ::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
        why_ = mounted_ ? "" : std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_) {
            ::umount2(at_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }

  private:
    fs::path at_;
    bool mounted_ = false;
    std::string why_;
};

// Writes a file until the disk is full; returns its path.
fs::path fillDisk(const fs::path& folder) {
    const fs::path filler = folder / "filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("cannot create the filler file");
    }
    std::vector<char> block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
    return filler;
}

TEST(SettingsFault, FullDiskDuringASaveKeepsTheOldBaseline) {
    TempDir dir;
    // Room for a new database of large pages; the rest is filled below.
    SmallDisk disk(dir.path() / "disk", 2 * 1024 * 1024);
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << disk.why() << "); needs root";
    }
    Program p(dir.path() / "disk");
    p.start();
    // Enough new certificates that the save needs pages the disk no longer has.
    for (int i = 0; i < 400; ++i) {
        p.certs().push_back(
            makeCert("Filler " + std::to_string(i),
                     {0x10, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)},
                     static_cast<std::uint8_t>(i + 10)));
    }
    const fs::path filler = fillDisk(dir.path() / "disk");
    p.cycleAnsweringYes();
    expectFailedSaveReported(p);
    EXPECT_EQ(storedNames(p.database()), kStoredNames);
    EXPECT_FALSE(fs::exists(p.database() + "-journal"));

    // Room again: the next Yes saves all of them.
    fs::remove(filler);
    p.cycleAnsweringYes();
    EXPECT_TRUE(p.savedNoticeShown()) << p.trace.errText();
    EXPECT_EQ(storedNames(p.database()).size(), 403u);
}

}  // namespace
}  // namespace kestrune
