#include "tests/support/sample_records.h"

#include <cstring>
#include <string>

namespace kestrune::testing {

RecordBuilder sampleRecord(std::uint32_t tag, std::size_t index) {
    const auto byte = [](std::size_t v) { return static_cast<std::uint8_t>(v); };
    return RecordBuilder({0x5a, byte(tag >> 8), byte(tag), byte(index >> 8), byte(index)},
                         byteRun(byte(tag * 31 + index * 7)))
        .name("cert " + std::to_string(tag) + "/" + std::to_string(index))
        .in("LocalMachine", "Root");
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
