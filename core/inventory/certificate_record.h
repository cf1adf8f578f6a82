// The per-certificate record. Its layout is also the stored baseline format, so it
// binds byte for byte: 568 bytes, UTF-16LE text, little-endian 32-bit integers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestrune {

inline constexpr std::size_t kRecordTextUnits = 64;  // 63 units and a terminating zero
inline constexpr std::size_t kSerialBytes = 64;
inline constexpr std::size_t kSubjectHashBytes = 112;
inline constexpr std::size_t kSubjectHashCompareBytes = 64;  // the "missing" comparison width

struct CertificateRecord {
    char16_t name[kRecordTextUnits];
    std::uint8_t serialNumber[kSerialBytes];  // most significant byte first
    std::int32_t serialLength;
    std::uint8_t subjectNameHash[kSubjectHashBytes];
    char16_t storeName[kRecordTextUnits];
    char16_t locationName[kRecordTextUnits];
    std::int32_t subjectNameHashLength;
};

inline constexpr std::size_t kRecordSize = 568;

// char16_t and int32_t members are stored in host order; the format is little-endian.
static_assert(std::endian::native == std::endian::little,
              "CertificateRecord is stored in host byte order and must be little-endian");
static_assert(sizeof(CertificateRecord) == kRecordSize);
static_assert(offsetof(CertificateRecord, name) == 0);
static_assert(offsetof(CertificateRecord, serialNumber) == 128);
static_assert(offsetof(CertificateRecord, serialLength) == 192);
static_assert(offsetof(CertificateRecord, subjectNameHash) == 196);
static_assert(offsetof(CertificateRecord, storeName) == 308);
static_assert(offsetof(CertificateRecord, locationName) == 436);
static_assert(offsetof(CertificateRecord, subjectNameHashLength) == 564);
static_assert(std::is_trivially_copyable_v<CertificateRecord>);
static_assert(std::is_standard_layout_v<CertificateRecord>);

// An all-zero record: every byte after a text's terminator, the valid serial bytes
// and the valid hash bytes must stay zero, the comparisons rely on it.
CertificateRecord zeroRecord();

// Copies text into a record field, cut to 63 units without splitting a surrogate pair.
void setRecordText(char16_t (&field)[kRecordTextUnits], std::u16string_view text);
void setRecordText(char16_t (&field)[kRecordTextUnits], std::string_view utf8);

// The field's text up to its terminator (never past the field).
std::u16string recordText(const char16_t (&field)[kRecordTextUnits]);
std::string recordTextUtf8(const char16_t (&field)[kRecordTextUnits]);

// Serial from the platform's little-endian integer blob, reversed so the most
// significant byte comes first. Over 64 bytes keeps the 64 most significant.
void setSerialFromLittleEndian(CertificateRecord& record, const std::uint8_t* blob,
                               std::size_t length);

// Subject-name hash property bytes; over 112 bytes keeps the first 112.
void setSubjectNameHash(CertificateRecord& record, const std::uint8_t* bytes, std::size_t length);

// Valid lengths clamped to their fields, for records read back from storage.
std::size_t validSerialLength(const CertificateRecord& record);
std::size_t validSubjectHashLength(const CertificateRecord& record);

// "%02x " per valid serial byte, in stored order: n bytes give 3n characters.
std::string serialText(const CertificateRecord& record);

// Lower-case hex of the valid bytes, without separators (for machine output).
std::string subjectHashHex(const CertificateRecord& record);
// Serial bytes as "%02x" separated by single spaces, no trailing space.
std::string serialTextCompact(const CertificateRecord& record);

}  // namespace kestrune
