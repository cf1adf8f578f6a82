// An open-addressing hash set of record indexes, keyed by the first `keyLength` bytes
// (at most 64) of a record field: a serial, or the start of the subject-name hash
// field. It answers "does some record start with exactly these bytes" in about one
// probe, so the change detection needs no nested loop and no tree of nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "inventory/certificate_record.h"

namespace kestrune {

class RecordKeySet {
  public:
    // `fieldOffset`: where the key bytes start inside a record.
    RecordKeySet(std::span<const CertificateRecord> records, std::size_t fieldOffset,
                 std::size_t keyLength = 64);
    // `key` must have at least keyLength readable bytes.
    bool contains(const std::uint8_t* key) const;
    std::size_t keyLength() const { return length_; }

  private:
    const std::uint8_t* keyOf(std::uint32_t index) const;
    std::span<const CertificateRecord> records_;
    std::size_t offset_;
    std::size_t length_;
    std::uint64_t hash(const std::uint8_t* key) const;
    std::size_t mask_ = 0;
    std::vector<std::uint32_t> slots_;  // record index + 1; 0 is empty
};

// A hash of 64 bytes, cheap and well mixed (the key zero-padded to 64 bytes).
std::uint64_t hashKey64(const std::uint8_t* key);

}  // namespace kestrune
