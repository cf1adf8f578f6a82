// Any bytes as a certificate file, each certificate block through the record extractor
// and through the full parse it stands in for: wherever the extractor answers, the full
// parse accepts the same bytes and gives the same record fields, byte for byte; where it
// declines, the full parse alone decides. So a store read through the extractor accepts,
// rejects and records exactly what the full parse would.
//
// The same file read as it goes, through a window of 64 to 263 bytes, gives the same
// blocks, problems and line numbers as the file in memory.
//
// Input (as for cert_file_fuzz): byte 0 picks how the rest becomes the file: 1 wraps it
// in base64 as a "CERTIFICATE" block, 2 as a "TRUSTED CERTIFICATE" block, anything else
// keeps it as it is (PEM text or DER).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/stores/cert_file_reader.h"
#include "platform/linux/stores/record_extractor.h"
#include "platform/linux/stores/root_files.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_file.h"
#include "tests/platform/linux/reader_steps.h"

namespace kestrune {
namespace {

void compareStreamed(const std::string& file, std::size_t window) {
    const UniqueFd fd(::memfd_create("fuzz", MFD_CLOEXEC));
    FUZZ_CHECK(fd.get() >= 0);
    FUZZ_CHECK(::write(fd.get(), file.data(), file.size()) == static_cast<ssize_t>(file.size()));
    FUZZ_CHECK(::lseek(fd.get(), 0, SEEK_SET) == 0);
    CertificateFileReader streamed(fd.get(), file.size(), kMaxCertificateFileBytes, window);
    CertificateFileReader whole(file);
    FUZZ_CHECK(readerSteps(streamed) == readerSteps(whole));
    FUZZ_CHECK(streamed.readFailure().empty());
}

void run(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return;
    }
    const std::string file = makeFile(data, size);
    compareStreamed(file, 64 + size % 200);
    static RecordExtractor extractor;
    static SubjectNameMd5 md5;
    CertificateFileReader reader(file);
    CertificateFileReader::Block block;
    std::string problem;
    std::size_t steps = 0;
    for (;;) {
        const auto step = reader.nextBlock(block, problem);
        FUZZ_CHECK(++steps <= file.size() + 2);
        if (step == CertificateFileReader::Step::End) {
            break;
        }
        if (step != CertificateFileReader::Step::Certificate) {
            continue;
        }
        FUZZ_CHECK(block.der != nullptr && block.size > 0);
        ExtractedFields fast;
        ExtractedFields full;
        std::string why;
        const bool extracted = extractor.extract(block.der, block.size, block.trusted, fast);
        const bool parsed = parsedFields(block.der, block.size, block.trusted, md5, full, why);
        FUZZ_CHECK(parsed || !why.empty());
        if (!extracted) {
            continue;  // the full parse decides, as the stores do
        }
        FUZZ_CHECK(parsed);
        FUZZ_CHECK(fast.name == full.name);
        FUZZ_CHECK(fast.md5 == full.md5);
        FUZZ_CHECK(fast.serial == full.serial);
        FUZZ_CHECK(fast.sha256 == full.sha256);
    }
}

}  // namespace
}  // namespace kestrune

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrune::run(data, size);
    return 0;
}
