// kestrune-check's Linux outlets: journal entries read back from a socket bound the way
// journald binds its own, and the metrics file's replacement surviving a crash.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/linux/outlets/atomic_file.h"
#include "platform/linux/outlets/journal_protocol.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/platform/linux/scratch_dir.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;
using Fields = std::map<std::string, std::string>;

// The native protocol's two framings, as journald reads them.
Fields decode(const std::string& d) {
    Fields f;
    for (std::size_t i = 0; i < d.size();) {
        const std::size_t end = d.find_first_of("=\n", i);
        const std::string name = d.substr(i, end - i);
        if (d[end] == '=') {
            const std::size_t nl = d.find('\n', end);
            f[name] = d.substr(end + 1, nl - end - 1);
            i = nl + 1;
        } else {
            std::uint64_t size = 0;
            for (int b = 7; b >= 0; --b) {
                size = size << 8 | static_cast<unsigned char>(d[end + 1 + b]);
            }
            f[name] = d.substr(end + 9, size);
            EXPECT_EQ(d[end + 9 + size], '\n');
            i = end + 10 + size;
        }
    }
    return f;
}

class JournalListener {
  public:
    explicit JournalListener(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
    }
    ~JournalListener() { ::close(fd_); }
    std::vector<Fields> drain() {  // the sender has exited: everything is queued
        std::vector<Fields> all;
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            all.push_back(decode(std::string(buffer, static_cast<std::size_t>(n))));
        }
        return all;
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
};

TEST(JournalProtocol, FramesPlainValuesAsTextAndValuesWithNewlinesByLength) {
    const std::string bytes = encodeJournalEntry({{"A", "x=y"}, {"B", "two\nlines"}, {"C", ""}});
    EXPECT_EQ(bytes, std::string("A=x=y\nB\n\x09\0\0\0\0\0\0\0two\nlines\nC=\n", 29));
    EXPECT_EQ(decode(bytes), (Fields{{"A", "x=y"}, {"B", "two\nlines"}, {"C", ""}}));
}

class CheckJournal : public ::testing::Test {
  protected:
    void SetUp() override {
        root_.write("/etc/ssl/certs/ca-certificates.crt", toPem(*a_));
        ASSERT_EQ(runCheck("--root " + root_.path()).status, 0);
        root_.write("/usr/local/share/ca-certificates/r.crt", toPem(*rogue_));
    }
    TempDir root_;
    JournalListener journal_{root_.path() + "/journal.sock"};
    X509Ptr a_ = makeCertificate(simpleFields("Alpha Root", {0x0a}));
    X509Ptr rogue_ = makeCertificate(simpleFields("Rogue\nCA", {0x66, 0x01}));
};

TEST_F(CheckJournal, AskedForItEachDifferenceIsAnEntryAndTheTerminalStillGetsTheReport) {
    const ProgramRun run =
        runCheck("--journal --root " + root_.path(), "KESTRUNE_JOURNAL_SOCKET=" + journal_.path());
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.out.find("1 added, 0 missing"), std::string::npos) << run.out;
    const auto entries = journal_.drain();
    ASSERT_EQ(entries.size(), 2u);
    Fields added = entries[0];
    EXPECT_EQ(added["KESTRUNE_EVENT"], "added");
    EXPECT_EQ(added["PRIORITY"], "4");
    EXPECT_EQ(added["KESTRUNE_STORE"], "local-anchors");
    EXPECT_EQ(added["KESTRUNE_NAME"], "Rogue\nCA");
    EXPECT_EQ(added["KESTRUNE_SERIAL"], expectedSerialText(*rogue_));
    EXPECT_EQ(added["KESTRUNE_SUBJECT_MD5"], expectedSubjectMd5Hex(*rogue_));
    EXPECT_EQ(added["KESTRUNE_SHA256"], expectedSha256Hex(*rogue_));
    EXPECT_EQ(entries[1].at("KESTRUNE_EVENT"), "summary");

    // No journal there: an error that names the socket, the report kept.
    const ProgramRun none = runCheck("--journal --root " + root_.path(),
                                     "KESTRUNE_JOURNAL_SOCKET=" + root_.path() + "/none.sock");
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.out.find("1 added"), std::string::npos);
    EXPECT_NE(none.err.find("none.sock"), std::string::npos) << none.err;
}

TEST_F(CheckJournal, UnderAServiceWhoseOutputIsTheJournalItLogsInsteadOfPrinting) {
    // JOURNAL_STREAM names the output pipe, as systemd does for a service.
    const std::string service = "KESTRUNE_JOURNAL_SOCKET=" + journal_.path() +
                                " JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1)";
    const ProgramRun run = runCheck("--root " + root_.path(), service);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(journal_.drain().size(), 2u);
    // A stale JOURNAL_STREAM (another stream) changes nothing.
    const ProgramRun other =
        runCheck("--root " + root_.path(),
                 "KESTRUNE_JOURNAL_SOCKET=" + journal_.path() + " JOURNAL_STREAM=1:1");
    EXPECT_NE(other.out.find("1 added"), std::string::npos);
    EXPECT_TRUE(journal_.drain().empty());
}

TEST(MetricsFile, ReplacedWholeAndACrashBeforeTheRenameLeavesTheOldFile) {
    ScratchDir dir;
    const std::string path = (dir.path() / "kestrune.prom").string();
    std::string error;
    ASSERT_TRUE(replaceFileAtomically(path, "old 1\n", error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // the exporter runs as another user

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string e;
        replaceFileAtomically(path, "new 2\n", e, [] { ::raise(SIGKILL); });
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(readBytes(path), (std::vector<std::uint8_t>{'o', 'l', 'd', ' ', '1', '\n'}));
    // The orphan is hidden from a collector that reads *.prom.
    for (const auto& e : fs::directory_iterator(dir.path())) {
        EXPECT_TRUE(e.path() == path || e.path().extension() != ".prom") << e.path();
    }

    ASSERT_TRUE(replaceFileAtomically(path, "new 3\n", error)) << error;
    EXPECT_EQ(readBytes(path), (std::vector<std::uint8_t>{'n', 'e', 'w', ' ', '3', '\n'}));
    EXPECT_FALSE(replaceFileAtomically((dir.path() / "no/such.prom").string(), "x", error));
    EXPECT_NE(error.find(dir.path().string() + "/no:"), std::string::npos) << error;
}

// node_exporter rejects a whole textfile for one label that is not UTF-8; a profile name
// is whatever bytes profiles.ini holds. The real exporter is the judge.
TEST(MetricsFile, NodeExporterScrapesEverySeriesWhateverBytesAStoreNameHolds) {
    const char* exporter = "/usr/bin/prometheus-node-exporter";
    if (::access(exporter, X_OK) != 0 || ::access("/usr/bin/curl", X_OK) != 0) {
        GTEST_SKIP() << "needs prometheus-node-exporter and curl";
    }
    TempDir root;
    TempDir home;
    const X509Ptr a = makeCertificate(simpleFields("Alpha Root", {0x0a}));
    root.write("/etc/ssl/certs/ca-certificates.crt", toPem(*a));
    // A profile named in Latin-1 with a stray byte, its database damaged: unreadable.
    home.write("/.mozilla/firefox/profiles.ini",
               "[Profile0]\nName=caf\xe9\xff\nIsRelative=1\nPath=p\n");
    home.write("/.mozilla/firefox/p/cert9.db", "not a database");
    const std::string metrics = root.makeFolder("/metrics");
    const ProgramRun run =
        runCheck("--root " + root.path() + " --metrics-file " + metrics + "/kestrune.prom",
                 "HOME=" + home.path());
    ASSERT_EQ(run.status, 3) << run.err;

    const std::string scrape = root.path() + "/scrape";
    const std::string script =
        "port=$(python3 -c 'import socket; s=socket.socket(); s.bind((\"127.0.0.1\", 0)); "
        "print(s.getsockname()[1])'); " +
        std::string(exporter) +
        " --web.listen-address=127.0.0.1:$port --collector.disable-defaults "
        "--collector.textfile --collector.textfile.directory='" +
        metrics +
        "' >/dev/null 2>&1 & pid=$!; for _ in $(seq 600); do curl -sf "
        "http://127.0.0.1:$port/metrics >'" +
        scrape + "' && break; sleep 0.1; done; kill $pid; wait $pid 2>/dev/null; true";
    ASSERT_EQ(std::system(script.c_str()), 0);
    const std::vector<std::uint8_t> bytes = readBytes(scrape);
    const std::string text(bytes.begin(), bytes.end());
    for (const char* line :
         {"node_textfile_scrape_error 0\n",
          "kestrune_unreadable_stores{location=\"CurrentUser\",store=\"firefox-caf\\\\xe9\\\\xff\"}"
          " 1\n",
          "kestrune_certificates{location=\"System\",store=\"ca-certificates\"} 1\n",
          "kestrune_differences{kind=\"added\"} 0\n", "kestrune_check_completed 0\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
    }
}

}  // namespace
}  // namespace kestrune::testing
