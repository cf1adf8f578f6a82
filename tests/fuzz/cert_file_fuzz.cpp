// Any bytes as a certificate file: first through the file reader and the three fields
// the scanner takes from each certificate, then as the only file of a store folder under
// a temp root, scanned like the machine's stores. No crash, no over-read, no endless
// loop; names are valid UTF-8 that fits a record; the store yields exactly the
// certificates the reader found, in order.
//
// Input: byte 0 picks how the rest becomes the file: 1 wraps it in base64 as a
// "CERTIFICATE" block, 2 as a "TRUSTED CERTIFICATE" block, anything else keeps it as it
// is (PEM text or DER).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/ports.h"
#include "inventory/scanner.h"
#include "inventory/text.h"
#include "platform/linux/stores/cert_file_reader.h"
#include "platform/linux/stores/x509_fields.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_file.h"
#include "tests/support/record_builder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAnchorFolder = "usr/local/share/ca-certificates";

// A root with one store folder, made once per process and removed at exit.
struct Root {
    Root() {
        std::string tmpl = (fs::temp_directory_path() / "kestrune-fuzz-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(tmpl.data()) != nullptr);
        path = tmpl;
        fs::create_directories(path / kAnchorFolder);
        fs::create_directories(path / "home");
        file = (path / kAnchorFolder / "fuzz.crt").string();
    }
    ~Root() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void write(const std::string& content) const {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        FUZZ_CHECK(fd >= 0);
        FUZZ_CHECK(::write(fd, content.data(), content.size()) ==
                   static_cast<ssize_t>(content.size()));
        ::close(fd);
    }
    fs::path path;
    std::string file;
};

Root& root() {
    static Root* r = [] {
        auto* made = new Root;
        std::atexit([] { delete &root(); });
        return made;
    }();
    return *r;
}

struct Found {
    std::string name;
    std::vector<std::uint8_t> serialLE;
};

void run(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return;
    }
    const std::string file = makeFile(data, size);

    // The reader alone.
    CertificateFileReader reader(file);
    SubjectNameMd5 md5;
    X509Certificate current(md5);
    std::vector<Found> found;  // those the scanner will record (their hash computes)
    std::size_t steps = 0;
    for (;;) {
        X509Ptr cert;
        std::string problem;
        const auto step = reader.next(cert, problem);
        FUZZ_CHECK(++steps <= file.size() + 2);  // every step moves on through the file
        if (step == CertificateFileReader::Step::End) {
            break;
        }
        if (step == CertificateFileReader::Step::Broken) {
            FUZZ_CHECK(!cert && !problem.empty());
            continue;
        }
        FUZZ_CHECK(cert && problem.empty());
        current.reset(std::move(cert));
        std::string name;
        FUZZ_CHECK(current.simpleDisplayName(name));
        const std::u16string units = utf8ToUtf16(name);
        FUZZ_CHECK(units.size() < kNameBufferUnits);
        FUZZ_CHECK(utf16ToUtf8(units) == name);  // valid UTF-8, nothing replaced
        std::vector<std::uint8_t> hash;
        if (current.subjectNameMd5(hash)) {
            FUZZ_CHECK(hash.size() == 16);
            found.push_back({name, current.serialLittleEndian()});
        }
    }

    // The same bytes as the only file of the local-anchors store.
    Root& r = root();
    r.write(file);
    static NullTrace trace;
    static const auto api = [&] {
        PlatformOptions options;
        options.root = r.path.string();
        options.home = (r.path / "home").string();
        return makePorts(options, trace).stores;
    }();
    static KestruneState state;  // as the program keeps it from scan to scan
    state.resetScanCounters();
    scan(state, *api, trace);
    FUZZ_CHECK(static_cast<std::size_t>(state.iCertificateCountTotal) == found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        const CertificateRecord& record = state.mqsCertificates[i];
        const CertificateRecord expected =
            testing::RecordBuilder().name(found[i].name).serialLittleEndian(found[i].serialLE);
        FUZZ_CHECK(std::equal(record.name, record.name + kRecordTextUnits, expected.name));
        FUZZ_CHECK(recordTextUtf8(record.storeName) == "local-anchors");
        FUZZ_CHECK(record.serialLength == expected.serialLength);
        FUZZ_CHECK(std::equal(record.serialNumber, record.serialNumber + kSerialBytes,
                              expected.serialNumber));
    }
}

}  // namespace
}  // namespace kestrune

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrune::run(data, size);
    return 0;
}
