#include "inventory/record_key_set.h"

#include <bit>
#include <cstring>

namespace kestrune {

std::uint64_t hashKey64(const std::uint8_t* key) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < 64; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, key + i, 8);
        h = std::rotl((h ^ w) * 0xBF58476D1CE4E5B9ull, 27);
    }
    return h ^ (h >> 31);
}

std::uint64_t RecordKeySet::hash(const std::uint8_t* key) const {
    if (length_ == 64) {
        return hashKey64(key);
    }
    std::uint8_t padded[64] = {};
    std::memcpy(padded, key, length_);
    return hashKey64(padded);
}

RecordKeySet::RecordKeySet(std::span<const CertificateRecord> records, std::size_t fieldOffset,
                           std::size_t keyLength)
    : records_(records), offset_(fieldOffset), length_(keyLength > 64 ? 64 : keyLength) {
    std::size_t capacity = 16;
    while (capacity < records.size() * 2) {
        capacity *= 2;
    }
    mask_ = capacity - 1;
    slots_.assign(capacity, 0);
    for (std::uint32_t i = 0; i < records.size(); ++i) {
        const std::uint8_t* key = keyOf(i);
        std::size_t slot = hash(key) & mask_;
        while (slots_[slot] != 0) {
            if (std::memcmp(keyOf(slots_[slot] - 1), key, length_) == 0) {
                break;  // the same key is already in
            }
            slot = (slot + 1) & mask_;
        }
        if (slots_[slot] == 0) {
            slots_[slot] = i + 1;
        }
    }
}

const std::uint8_t* RecordKeySet::keyOf(std::uint32_t index) const {
    return reinterpret_cast<const std::uint8_t*>(&records_[index]) + offset_;
}

bool RecordKeySet::contains(const std::uint8_t* key) const {
    std::size_t slot = hash(key) & mask_;
    while (slots_[slot] != 0) {
        if (std::memcmp(keyOf(slots_[slot] - 1), key, length_) == 0) {
            return true;
        }
        slot = (slot + 1) & mask_;
    }
    return false;
}

}  // namespace kestrune
