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
    std::vector<CertificateRecord> fresh;
    try {
        fresh.resize(count + 1, zeroRecord());
    } catch (const std::exception&) {
        return false;
    }
    if (count + 1 > limit_) {
        return false;
    }
    if (count > 0) {
        std::memcpy(fresh.data(), blob.data(), count * kRecordSize);
    }
    records_.swap(fresh);
    valid_ = count;
    return true;
}

bool RecordTable::copyValidFrom(const RecordTable& other) {
    return replaceFromBlob(other.bytes(other.validCount()), other.validCount());
}

std::span<const std::uint8_t> RecordTable::bytes(std::size_t count) const {
    if (count > valid_) {
        count = valid_;
    }
    return {reinterpret_cast<const std::uint8_t*>(records_.data()), count * kRecordSize};
}

}  // namespace kestrune
