#include "inventory/unique_index.h"

#include <algorithm>
#include <cstring>

namespace kestrune {

void SerialPrefixIndex::insert(const CertificateRecord& record) {
    Key key;
    std::memcpy(key.data(), record.serialNumber, kSerialBytes);
    keys_.insert(key);
}

bool SerialPrefixIndex::hasPrefix(const std::uint8_t* serial, std::size_t length) const {
    length = std::min(length, kSerialBytes);
    Key probe{};
    std::memcpy(probe.data(), serial, length);
    auto it = keys_.lower_bound(probe);
    return it != keys_.end() && std::memcmp(it->data(), serial, length) == 0;
}

bool SerialPrefixIndex::hasPrefixOf(const CertificateRecord& record) const {
    return hasPrefix(record.serialNumber, validSerialLength(record));
}

}  // namespace kestrune
