// Certificate records for tests, every field written here into the stored layout rather
// than through the record functions, so a record a test expects never comes from the
// code the test checks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "inventory/certificate_record.h"

namespace kestrune::testing {

using Bytes = std::vector<std::uint8_t>;

// Texts are UTF-8, cut to 63 units without splitting a surrogate pair; over-long serials
// keep their 64 most significant bytes and hashes their first 112, as records do.
void writeRecordText(char16_t (&field)[kRecordTextUnits], std::string_view utf8);
template <std::size_t N>
std::int32_t writeRecordBytes(std::uint8_t (&field)[N], const Bytes& bytes) {
    const std::size_t kept = std::min(bytes.size(), N);
    std::fill(std::begin(field), std::end(field), 0);
    std::copy_n(bytes.begin(), kept, field);
    return static_cast<std::int32_t>(kept);
}

// An all-zero record filled by chained setters; it converts to a CertificateRecord.
class RecordBuilder {
  public:
    RecordBuilder() = default;
    RecordBuilder(const Bytes& serialMsbFirst, const Bytes& hash) {
        serial(serialMsbFirst).subjectHash(hash);
    }
    RecordBuilder& name(std::string_view utf8) { return text(r_.name, utf8); }
    RecordBuilder& in(std::string_view location, std::string_view store) {
        return text(r_.locationName, location).text(r_.storeName, store);
    }
    RecordBuilder& serial(const Bytes& msbFirst) {
        r_.serialLength = writeRecordBytes(r_.serialNumber, msbFirst);
        return *this;
    }
    // As the platforms hand serials over: least significant byte first.
    RecordBuilder& serialLittleEndian(const Bytes& lsbFirst) {
        return serial(Bytes(lsbFirst.rbegin(), lsbFirst.rend()));
    }
    RecordBuilder& subjectHash(const Bytes& bytes) {
        r_.subjectNameHashLength = writeRecordBytes(r_.subjectNameHash, bytes);
        return *this;
    }
    operator CertificateRecord() const { return r_; }

  private:
    RecordBuilder& text(char16_t (&field)[kRecordTextUnits], std::string_view utf8) {
        writeRecordText(field, utf8);
        return *this;
    }
    CertificateRecord r_{};
};

// `length` bytes counting up from `first`, wrapping at 256: a hash of its own per start.
Bytes byteRun(std::uint8_t first, std::size_t length = 16);

// The record every platform layer must make of the test certificate (test_certificate.h)
// found in `store` while `location` is being enumerated.
CertificateRecord testCertificateRecord(std::string_view store, std::string_view location);

}  // namespace kestrune::testing
