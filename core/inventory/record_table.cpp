#include "inventory/record_table.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace kestrune {

RecordTable::RecordTable() {
    try {
        records_.reserve(kInitialTableRoom);
    } catch (const std::bad_alloc&) {
        // The table still works with its single record; it grows on demand.
        std::fputs("HeapAlloc() failed!!!", stdout);
    }
    records_.assign(1, zeroRecord());
}

bool RecordTable::resizeRecords(std::size_t n) {
    if (n > limit_) {
        return false;
    }
    try {
        records_.resize(n, zeroRecord());
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

CertificateRecord* RecordTable::prepareRecord(std::size_t index) {
    if (!resizeRecords(index + 1)) {
        return nullptr;
    }
    if (valid_ > index) {
        valid_ = index;
    }
    records_[index] = zeroRecord();
    return &records_[index];
}

void RecordTable::commitRecord(std::size_t index) {
    valid_ = index + 1;
}

void RecordTable::resetForScan() {
    valid_ = 0;
    records_.resize(1);
    records_[0] = zeroRecord();
}

void RecordTable::cutToOne() {
    resetForScan();
}

bool RecordTable::replaceFromBlob(std::span<const std::uint8_t> blob, std::size_t count) {
    if (count > blob.size() / kRecordSize) {
        return false;
    }
    return replaceInPlace(count, [&](std::span<std::uint8_t> room) -> std::optional<std::size_t> {
        if (count > 0) {
            std::memcpy(room.data(), blob.data(), count * kRecordSize);
        }
        return count;
    });
}

bool RecordTable::replaceInPlace(
    std::size_t room,
    const std::function<std::optional<std::size_t>(std::span<std::uint8_t>)>& fill) {
    if (room >= limit_) {
        return false;
    }
    std::vector<CertificateRecord> fresh;
    try {
        fresh.resize(room + 1, zeroRecord());
    } catch (const std::exception&) {
        return false;
    }
    const std::optional<std::size_t> filled =
        fill({reinterpret_cast<std::uint8_t*>(fresh.data()), room * kRecordSize});
    if (!filled || *filled > room) {
        return false;
    }
    // Whatever `fill` left past its whole records (a partial one) is no record.
    fresh.resize(*filled + 1);
    fresh[*filled] = zeroRecord();
    if (fresh.capacity() / 2 > fresh.size()) {
        try {
            fresh.shrink_to_fit();  // a value far longer than its records: damage
        } catch (const std::exception&) {
        }
    }
    records_.swap(fresh);
    valid_ = *filled;
    return true;
}

bool RecordTable::copyValidFrom(const RecordTable& other) {
    // Copied once, without zeroing the memory first, and into the table's own memory
    // where it has room: memory already in use costs no page faults, and an assignment
    // that needs no allocation cannot fail halfway.
    const std::size_t count = other.validCount();
    if (count + 1 > limit_) {
        return false;
    }
    if (records_.capacity() >= count + 1) {
        const auto first = other.records_.begin();
        records_.assign(first, first + static_cast<std::ptrdiff_t>(count));
        records_.push_back(zeroRecord());
        valid_ = count;
        return true;
    }
    std::vector<CertificateRecord> fresh;
    try {
        fresh.reserve(count + 1);
        fresh.assign(other.records_.begin(),
                     other.records_.begin() + static_cast<std::ptrdiff_t>(count));
        fresh.push_back(zeroRecord());
    } catch (const std::exception&) {
        return false;
    }
    records_.swap(fresh);
    valid_ = count;
    return true;
}

std::span<const std::uint8_t> RecordTable::bytes(std::size_t count) const {
    if (count > valid_) {
        count = valid_;
    }
    return {reinterpret_cast<const std::uint8_t*>(records_.data()), count * kRecordSize};
}

}  // namespace kestrune
