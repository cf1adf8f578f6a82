// Any bytes as a Java keystore file, read with no password known and with "changeit"
// given. No crash, no over-read, no endless loop; a keystore that reads gives whole
// certificates only, and says why when its integrity was not checked; one that does not
// read says why. Given the password it verifies under, a keystore reads as it did when
// only that password was tried.
//
// Input: byte 0 bit 0 set gives the password "changeit"; the rest is the file.
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/linux/stores/java_keystore.h"
#include "platform/linux/stores/x509_fields.h"
#include "tests/fuzz/fuzz_check.h"

namespace kestrune {
namespace {

void checkRead(const Result<Keystore>& read) {
    if (!read) {
        FUZZ_CHECK(!read.error().empty());
        return;
    }
    FUZZ_CHECK(read->integrityChecked == read->unchecked.empty());
    for (const KeystoreEntry& entry : read->entries) {
        const unsigned char* at = entry.der.data();
        const X509Ptr cert(d2i_X509(nullptr, &at, static_cast<long>(entry.der.size())));
        FUZZ_CHECK(cert != nullptr);
        FUZZ_CHECK(at == entry.der.data() + entry.der.size());
    }
}

void run(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return;
    }
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool given = (data[0] & 1) != 0;
    const Result<Keystore> read = readJavaKeystore(
        file, given ? std::optional<std::string>(kDefaultKeystorePassword) : std::nullopt);
    checkRead(read);
    if (given || !read || !read->integrityChecked) {
        return;
    }
    const Result<Keystore> again = readJavaKeystore(file, kDefaultKeystorePassword);
    FUZZ_CHECK(again && again->integrityChecked);
    FUZZ_CHECK(again->entries.size() == read->entries.size());
}

}  // namespace
}  // namespace kestrune

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrune::run(data, size);
    return 0;
}
