#include "tests/support/sample_records.h"

#include <cstring>
#include <string>

namespace kestrune::testing {

CertificateRecord sampleRecord(std::uint32_t tag, std::size_t index) {
    CertificateRecord r = zeroRecord();
    setRecordText(r.name, "cert " + std::to_string(tag) + "/" + std::to_string(index));
    const std::uint8_t serialLE[] = {
        static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
        static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8), 0x5a};
    setSerialFromLittleEndian(r, serialLE, sizeof serialLE);
    std::uint8_t hash[16];
    for (std::size_t i = 0; i < sizeof hash; ++i) {
        hash[i] = static_cast<std::uint8_t>(tag * 31 + index * 7 + i);
    }
    setSubjectNameHash(r, hash, sizeof hash);
    setRecordText(r.storeName, std::string_view("Root"));
    setRecordText(r.locationName, std::string_view("LocalMachine"));
    return r;
}

void fillTable(RecordTable& table, std::size_t count, std::uint32_t tag) {
    table.resetForScan();
    for (std::size_t i = 0; i < count; ++i) {
        *table.prepareRecord(i) = sampleRecord(tag, i);
        table.commitRecord(i);
    }
}

bool holdsSamples(const RecordTable& table, std::size_t count, std::uint32_t tag) {
    if (table.validCount() < count) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const CertificateRecord expected = sampleRecord(tag, i);
        if (std::memcmp(&table[i], &expected, sizeof expected) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace kestrune::testing
