// The one hash index of the comparisons: open addressing over item indexes, built once
// for a table, answering "which items have this key" in about one probe, so no comparison
// needs a nested loop or a tree of nodes. A key type gives operator== and hash().
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kestrune {

// A hash of 64 bytes, cheap and well mixed.
inline std::uint64_t hashKey64(const std::uint8_t* key) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < 64; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, key + i, 8);
        h = std::rotl((h ^ w) * 0xBF58476D1CE4E5B9ull, 27);
    }
    return h ^ (h >> 31);
}

template <typename Key>
class HashIndex {
  public:
    // Indexes items 0..count-1 by keyOf(i). Equal keys are all kept, so a lookup finds
    // every item of a key (one certificate in several stores).
    template <typename KeyOf>
    HashIndex(std::size_t count, KeyOf keyOf) {
        std::size_t capacity = 16;
        while (capacity < count * 2) {
            capacity *= 2;
        }
        mask_ = capacity - 1;
        slots_.assign(capacity, 0);
        keys_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            keys_.push_back(keyOf(i));
            std::size_t slot = keys_.back().hash() & mask_;
            while (slots_[slot] != 0) {
                slot = (slot + 1) & mask_;
            }
            slots_[slot] = i + 1;
        }
    }

    // Calls f(index) for every item with an equal key, until f returns false.
    template <typename F>
    void forEach(const Key& key, F f) const {
        for (std::size_t slot = key.hash() & mask_; slots_[slot] != 0; slot = (slot + 1) & mask_) {
            const std::size_t i = slots_[slot] - 1;
            if (keys_[i] == key && !f(i)) {
                return;
            }
        }
    }

    bool contains(const Key& key) const {
        bool found = false;
        forEach(key, [&](std::size_t) {
            found = true;
            return false;
        });
        return found;
    }

  private:
    std::vector<Key> keys_;
    std::size_t mask_ = 0;
    std::vector<std::size_t> slots_;  // index + 1; 0 is empty
};

}  // namespace kestrune
