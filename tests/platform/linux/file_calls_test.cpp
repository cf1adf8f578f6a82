// Reads that go wrong where a real disk seldom does on cue, through the file-call seam:
// a file cut short between fstat and read, a read interrupted by a signal, an I/O error
// reading a file or listing a folder. A store whose file or folder could not be read
// whole is unreadable, never smaller.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "app/ports.h"
#include "inventory/scanner.h"
#include "platform/linux/stores/trust_store.h"
#include "platform/platform.h"
#include "tests/platform/linux/cert_maker.h"

namespace kestrune::testing {
namespace {

enum class Fault { CutAfterFstat, Interrupted, IoError };

// The one fault a case injects, on the one file it names; the rest is the kernel's.
struct Injected {
    std::string file;
    Fault fault = Fault::IoError;
    int fd = -1;
    DIR* dir = nullptr;
    int reads = 0;
};
Injected* injected = nullptr;

const FileCalls kFaultyCalls = {
    [](const char* path, int flags) {
        const int fd = ::open(path, flags);
        if (injected != nullptr && injected->file == path) {
            injected->fd = fd;
        }
        return fd;
    },
    [](int fd, struct stat* st) {
        const int result = ::fstat(fd, st);
        if (injected != nullptr && fd == injected->fd && injected->fault == Fault::CutAfterFstat) {
            // Another process cuts the file after its size was taken.
            EXPECT_EQ(::truncate(injected->file.c_str(), st->st_size / 2), 0);
        }
        return result;
    },
    [](int fd, void* buffer, std::size_t size) -> ssize_t {
        if (injected != nullptr && fd == injected->fd && injected->reads++ == 0 &&
            injected->fault != Fault::CutAfterFstat) {
            errno = injected->fault == Fault::Interrupted ? EINTR : EIO;
            return -1;
        }
        return ::read(fd, buffer, size);
    },
    [](int fd) {
        if (injected != nullptr && fd == injected->fd) {
            injected->fd = -1;
        }
        return ::close(fd);
    },
    [](const char* path) {
        DIR* dir = ::opendir(path);
        if (injected != nullptr && injected->file == path) {
            injected->dir = dir;
        }
        return dir;
    },
    [](DIR* dir) -> dirent* {
        if (injected != nullptr && dir == injected->dir && injected->reads++ == 0) {
            errno = EIO;
            return nullptr;
        }
        return ::readdir(dir);
    },
    [](DIR* dir) {
        if (injected != nullptr && dir == injected->dir) {
            injected->dir = nullptr;
        }
        return ::closedir(dir);
    },
};

TEST(LinuxFileCalls, AFileNotReadWholeMakesItsStoreUnreadableAndAnInterruptedReadGoesOn) {
    const X509Ptr a = makeCertificate(simpleFields("Seam A", {0x0a}));
    const X509Ptr b = makeCertificate(simpleFields("Seam B", {0x0b}));
    const std::string profiles = "[Profile0]\nName=main\nIsRelative=1\nPath=main\n";
    struct Case {
        const char* file;  // machine path under the root (or the home)
        Fault fault;
        const char* store;   // the store left unreadable; "" for none
        const char* reason;  // part of why
    } cases[] = {
        {"/etc/ssl/certs/ca-certificates.crt", Fault::CutAfterFstat, "ca-certificates",
         "bytes it held when opened"},
        {"/usr/local/share/ca-certificates/b.crt", Fault::CutAfterFstat, "local-anchors",
         "bytes it held when opened"},
        {"/usr/local/share/ca-certificates/b.crt", Fault::IoError, "local-anchors",
         "Input/output error"},
        {"/usr/local/share/ca-certificates", Fault::IoError, "local-anchors", "Input/output error"},
        {"/etc/ssl/certs/ca-certificates.crt", Fault::Interrupted, "", ""},
        {"/home/user/.mozilla/firefox/profiles.ini", Fault::CutAfterFstat, "",
         "its stores could not be listed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::to_string(static_cast<int>(c.fault)));
        TempDir root;
        root.write("/etc/ssl/certs/ca-certificates.crt", toPem(*a) + toPem(*b));
        root.write("/usr/local/share/ca-certificates/b.crt", toPem(*b));
        root.write("/home/user/.mozilla/firefox/profiles.ini", profiles);
        Injected fault{root.path() + c.file, c.fault};
        injected = &fault;
        CaptureTrace trace;
        PlatformOptions options;
        options.root = root.path();
        options.home = root.path() + "/home/user";
        KestruneState state;
        const auto api = makeTrustStoreCatalogue(options, trace, kFaultyCalls);
        const kestrune::ScanResult result = scan(state, *api, trace);
        injected = nullptr;
        EXPECT_GE(fault.reads, 1) << "the fault was never met";
        if (std::string(c.reason).empty()) {
            EXPECT_TRUE(result.unreadable.empty()) << result.unreadable[0].reason;
            EXPECT_EQ(state.iCertificateCountTotal, 3);  // the bundle's two, the anchor
            continue;
        }
        ASSERT_EQ(result.unreadable.size(), 1u) << trace.allText();
        EXPECT_EQ(result.unreadable[0].store, c.store);
        EXPECT_NE(result.unreadable[0].reason.find(c.reason), std::string::npos)
            << result.unreadable[0].reason;
    }
}

}  // namespace
}  // namespace kestrune::testing
