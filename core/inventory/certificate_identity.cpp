#include "inventory/certificate_identity.h"

#include <algorithm>

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

AddedIdentity::AddedIdentity(const CertificateRecord& r)
    : serialLength(validSerialLength(r)), subject(r.subjectNameHash) {
    std::memcpy(serial, r.serialNumber, serialLength);
}

std::uint64_t AddedIdentity::hash() const {
    return hashKey64(serial) ^ (hashKey64(subject) * 0x94D049BB133111EBull) ^ serialLength;
}

int compareForListGrouping(const CertificateRecord& a, const CertificateRecord& b) {
    const int c = std::memcmp(a.subjectNameHash, b.subjectNameHash, kSubjectHashBytes);
    return (c > 0) - (c < 0);
}

}  // namespace kestrune
