#include "tests/support/record_builder.h"

#include "tests/support/test_certificate.h"

namespace kestrune::testing {

void writeRecordText(char16_t (&field)[kRecordTextUnits], std::string_view utf8) {
    std::fill(std::begin(field), std::end(field), u'\0');
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += length;
        if (units + (c > 0xFFFF ? 2 : 1) >= kRecordTextUnits) {
            break;  // the cut, before a pair that does not fit whole
        }
        if (c > 0xFFFF) {
            field[units++] = static_cast<char16_t>(0xD7C0 + (c >> 10));
            c = 0xDC00 + (c & 0x3FF);
        }
        field[units++] = static_cast<char16_t>(c);
    }
}

Bytes byteRun(std::uint8_t first, std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

CertificateRecord testCertificateRecord(std::string_view store, std::string_view location) {
    namespace fixture = test_certificate;
    const Bytes serial(std::begin(fixture::kSerialMsbFirst), std::end(fixture::kSerialMsbFirst));
    const Bytes hash(std::begin(fixture::kSubjectNameMd5), std::end(fixture::kSubjectNameMd5));
    return RecordBuilder(serial, hash).name(fixture::kRecordName).in(location, store);
}

}  // namespace kestrune::testing
