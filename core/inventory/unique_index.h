// Answers "does an earlier serial start with these L bytes" in O(log n): the serials
// seen so far, zero-padded to 64 bytes, in one ordered set. A prefix padded with zeros
// is the smallest key carrying that prefix, so one lower_bound finds a match if any.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>

#include "inventory/certificate_record.h"

namespace kestrune {

class SerialPrefixIndex {
  public:
    using Key = std::array<std::uint8_t, kSerialBytes>;

    void clear() { keys_.clear(); }
    std::size_t size() const { return keys_.size(); }
    // The record's full 64-byte serial field (zero-padded by the record's zero fill).
    void insert(const CertificateRecord& record);
    // True when some inserted serial has the same first `length` bytes as `serial`.
    // A length of 0 matches any inserted serial.
    bool hasPrefix(const std::uint8_t* serial, std::size_t length) const;
    bool hasPrefixOf(const CertificateRecord& record) const;

  private:
    std::set<Key> keys_;
};

}  // namespace kestrune
