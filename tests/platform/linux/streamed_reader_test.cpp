// A certificate file read as it goes gives exactly what the same bytes give in memory,
// wherever the window's edges fall, while holding a window and not the file.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "inventory/text.h"
#include "platform/linux/stores/cert_file_reader.h"
#include "platform/linux/stores/root_files.h"
#include "tests/platform/linux/cert_maker.h"
#include "tests/platform/linux/reader_steps.h"

namespace kestrune::testing {
namespace {

std::vector<std::string> streamed(const std::string& path, std::size_t window,
                                  std::size_t maxBytes = kMaxCertificateFileBytes,
                                  std::string* failure = nullptr, std::size_t* held = nullptr) {
    UniqueFd fd;
    const Result<std::size_t> size = openRegularFile(path, fd);
    EXPECT_TRUE(size.ok()) << size.error();
    CertificateFileReader reader(fd.get(), size.ok() ? *size : 0, maxBytes, window);
    std::vector<std::string> out = readerSteps(reader);
    if (failure != nullptr) {
        *failure = reader.readFailure();
    }
    if (held != nullptr) {
        *held = reader.heldBytes();
    }
    return out;
}

std::string mixedBundle(std::size_t units) {
    X509Ptr cert = makeCertificate(simpleFields("Streamed", {0x21}));
    const std::string pem = toPem(*cert);
    std::string crlf;
    for (const char c : pem) {
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    }
    const std::string unit =
        "# a comment line\n" + pem + "-----\nsome text -----BEGIN CERTIFICATE-----\n" + crlf +
        "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n" +
        "-----BEGIN CERTIFICATE-----\nMIIB\n-----BEGIN CERTIFICATE-----\n" +
        pem.substr(28) +  // the last one's own BEGIN line: the one before never ended
        "-----BEGIN CERTIFICATE-----\nMII*\n-----END CERTIFICATE-----\n" +
        "-----BEGIN CERTIFICATE-----\nMIIB\n-----END X509 CRL-----\n" + "-----BEGIN CERTIFICATE\n" +
        toTrustedPem(*cert);
    std::string file;
    for (std::size_t i = 0; i < units; ++i) {
        file += unit;
    }
    return file + "-----BEGIN CERTIFICATE-----\nMIIB";  // cut off at the end
}

TEST(StreamedReader, GivesWhatTheWholeFileGivesWhereverTheWindowEnds) {
    TempDir dir;
    const std::string content = mixedBundle(6);
    const std::string path = dir.write("/bundle.pem", content);
    CertificateFileReader whole(content);
    const std::vector<std::string> expected = readerSteps(whole);
    ASSERT_GT(expected.size(), 40u);
    for (const std::size_t window : {64u, 97u, 300u, 1021u, 4096u, 1u << 20}) {
        EXPECT_EQ(streamed(path, window), expected) << "window " << window;
    }

    // A DER file is still read whole.
    const std::string der = toDer(*makeCertificate(simpleFields("Der", {0x22})));
    CertificateFileReader derWhole(der);
    EXPECT_EQ(streamed(dir.write("/one.der", der), 64), readerSteps(derWhole));
}

TEST(StreamedReader, HoldsAWindowNotTheFileAndStopsAtItsLimit) {
    TempDir dir;
    const std::string content = mixedBundle(1500);  // several MiB
    ASSERT_GT(content.size(), std::size_t{3} << 20);
    const std::string path = dir.write("/big.pem", content);
    std::size_t held = 0;
    std::string failure;
    const std::vector<std::string> all = streamed(path, CertificateFileReader::kWindowBytes,
                                                  kMaxCertificateFileBytes, &failure, &held);
    EXPECT_EQ(failure, "");
    EXPECT_LT(held, std::size_t{2} << 20);
    CertificateFileReader whole(content);
    EXPECT_EQ(all.size(), readerSteps(whole).size());

    // A file that grows past the limit while it is read: what came before is given,
    // then the reader says why it stopped.
    const std::vector<std::string> cut = streamed(path, 4096, content.size() / 2, &failure);
    EXPECT_EQ(failure, "larger than " + std::to_string((content.size() / 2) >> 20) + " MiB");
    EXPECT_GT(cut.size(), all.size() / 3);
    EXPECT_LT(cut.size(), all.size());
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), all.begin()));
}

}  // namespace
}  // namespace kestrune::testing
