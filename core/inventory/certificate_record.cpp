#include "inventory/certificate_record.h"

#include <algorithm>
#include <cstring>

#include "inventory/text.h"

namespace kestrune {

CertificateRecord zeroRecord() {
    CertificateRecord r;
    std::memset(&r, 0, sizeof r);
    return r;
}

void setRecordText(char16_t (&field)[kRecordTextUnits], std::u16string_view text) {
    std::size_t n = std::min(text.size(), kRecordTextUnits - 1);
    // Never leave the high half of a surrogate pair without its low half.
    if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) {
        --n;
    }
    std::fill(std::begin(field), std::end(field), u'\0');
    std::copy_n(text.data(), n, field);
}

void setRecordText(char16_t (&field)[kRecordTextUnits], std::string_view utf8) {
    setRecordText(field, std::u16string_view(utf8ToUtf16(utf8)));
}

std::u16string recordText(const char16_t (&field)[kRecordTextUnits]) {
    const char16_t* end = std::find(std::begin(field), std::end(field), u'\0');
    return std::u16string(std::begin(field), end);
}

std::string recordTextUtf8(const char16_t (&field)[kRecordTextUnits]) {
    return utf16ToUtf8(recordText(field));
}

void setSerialFromLittleEndian(CertificateRecord& record, const std::uint8_t* blob,
                               std::size_t length) {
    std::memset(record.serialNumber, 0, sizeof record.serialNumber);
    // The most significant bytes sit at the end of the blob.
    const std::size_t kept = std::min(length, kSerialBytes);
    for (std::size_t i = 0; i < kept; ++i) {
        record.serialNumber[i] = blob[length - 1 - i];
    }
    record.serialLength = static_cast<std::int32_t>(kept);
}

void setSubjectNameHash(CertificateRecord& record, const std::uint8_t* bytes, std::size_t length) {
    std::memset(record.subjectNameHash, 0, sizeof record.subjectNameHash);
    const std::size_t kept = std::min(length, kSubjectHashBytes);
    if (kept > 0) {
        std::memcpy(record.subjectNameHash, bytes, kept);
    }
    record.subjectNameHashLength = static_cast<std::int32_t>(kept);
}

std::size_t validSerialLength(const CertificateRecord& record) {
    return static_cast<std::size_t>(
        std::clamp<std::int32_t>(record.serialLength, 0, static_cast<std::int32_t>(kSerialBytes)));
}

std::size_t validSubjectHashLength(const CertificateRecord& record) {
    return static_cast<std::size_t>(std::clamp<std::int32_t>(
        record.subjectNameHashLength, 0, static_cast<std::int32_t>(kSubjectHashBytes)));
}

std::string serialText(const CertificateRecord& record) {
    return hexBytes(record.serialNumber, validSerialLength(record), " ", true);
}

std::string serialTextCompact(const CertificateRecord& record) {
    return hexBytes(record.serialNumber, validSerialLength(record), " ", false);
}

std::string subjectHashHex(const CertificateRecord& record) {
    return hexBytes(record.subjectNameHash, validSubjectHashLength(record), "", false);
}

}  // namespace kestrune
