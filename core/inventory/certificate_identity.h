// When two records are "the same certificate". Each comparison has its own rule, named
// here by what it is for. They differ on purpose, and stored baselines and the counts
// people see rely on each of them as it is: do not unify them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>

#include "inventory/certificate_record.h"
#include "inventory/fingerprint.h"
#include "inventory/hash_index.h"

namespace kestrune {

// Unique count: a record of a scan counts once unless an earlier record of the same scan
// has a serial whose first bytes are this record's valid serial bytes (the earlier
// record's own length is not consulted). The serials seen so far, zero-padded to 64
// bytes, in one ordered set: a prefix padded with zeros is the smallest key carrying that
// prefix, so one lower_bound finds a match if any, in O(log n).
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

// Added: the same serial (valid length and bytes) and the same first 64 bytes of the
// subject-hash field, whatever its valid length says (the zero fill makes the rest
// compare equal). Store and location play no part, so a certificate that moves between
// stores is no difference. The serial's valid bytes are copied zero-padded: stored
// records may carry anything past the valid length, and a short serial must never match
// a longer one that starts the same.
struct AddedIdentity {
    std::uint8_t serial[kSerialBytes] = {};
    std::size_t serialLength = 0;
    const std::uint8_t* subject = nullptr;  // kSubjectHashCompareBytes bytes

    explicit AddedIdentity(const CertificateRecord& r);
    bool operator==(const AddedIdentity& o) const {
        return serialLength == o.serialLength && std::memcmp(serial, o.serial, kSerialBytes) == 0 &&
               std::memcmp(subject, o.subject, kSubjectHashCompareBytes) == 0;
    }
    std::uint64_t hash() const;
};

// Missing: the same first 64 bytes of the subject-hash field. A baseline record is
// missing when no current record shares them, whatever the serial.
struct MissingIdentity {
    const std::uint8_t* subject = nullptr;  // kSubjectHashCompareBytes bytes

    explicit MissingIdentity(const CertificateRecord& r) : subject(r.subjectNameHash) {}
    bool operator==(const MissingIdentity& o) const {
        return std::memcmp(subject, o.subject, kSubjectHashCompareBytes) == 0;
    }
    std::uint64_t hash() const { return hashKey64(subject); }
};

// The same certificate bytes: a fingerprint both sides know.
struct FingerprintIdentity {
    const Fingerprint* fingerprint = nullptr;

    bool operator==(const FingerprintIdentity& o) const { return *fingerprint == *o.fingerprint; }
    std::uint64_t hash() const {
        std::uint64_t h;
        std::memcpy(&h, fingerprint->data(), sizeof h);  // already uniformly spread
        return h;
    }
};

// List grouping (and the list's order): the whole zero-filled 112-byte subject-hash
// field, byte by byte, unsigned; -1, 0 or 1. Records of one group are one row of the
// grouped list. (Comparing over one record's own valid length is no ordering when
// lengths differ.)
int compareForListGrouping(const CertificateRecord& a, const CertificateRecord& b);

}  // namespace kestrune
