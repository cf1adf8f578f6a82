// A growable table of records with an explicit count of valid records, so that every
// reader can stop at what the table really holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "inventory/certificate_record.h"

namespace kestrune {

inline constexpr std::size_t kInitialTableRoom = 2048;  // 0x11C000 bytes of records

class RecordTable {
  public:
    // One zeroed record, room for kInitialTableRoom.
    RecordTable();

    // Records the table's memory holds (valid or spare).
    std::size_t size() const { return records_.size(); }
    // Records that hold data; never more than size().
    std::size_t validCount() const { return valid_; }

    // Grows (or cuts) the table to index + 1 records, zeroes record `index`, and
    // returns it. Valid records become index + 1 once the caller commits it. Null, with
    // the table untouched, when memory runs out.
    CertificateRecord* prepareRecord(std::size_t index);
    void commitRecord(std::size_t index);

    // A new scan: no valid records, one zeroed record, memory capacity kept.
    void resetForScan();

    // Replaces the content with `count` records copied from `blob` (count * 568 bytes
    // must fit in blob) and one spare zeroed record after them. Returns false, leaving
    // the table untouched, when the blob is too short or memory runs out.
    bool replaceFromBlob(std::span<const std::uint8_t> blob, std::size_t count);

    // Replaces the content with records written straight into the table's new memory,
    // so a load copies them once: `fill` is handed room for `room` records as bytes and
    // returns how many whole records it wrote there (at most `room`), or nothing to
    // decline. One zeroed spare record follows them. Returns false, leaving the table
    // untouched, when memory runs out (then `fill` is never called) or `fill` declines.
    bool replaceInPlace(
        std::size_t room,
        const std::function<std::optional<std::size_t>(std::span<std::uint8_t>)>& fill);

    // Cuts to a single zeroed record.
    void cutToOne();

    // Copies the valid records of another table.
    bool copyValidFrom(const RecordTable& other);

    CertificateRecord& operator[](std::size_t i) { return records_[i]; }
    const CertificateRecord& operator[](std::size_t i) const { return records_[i]; }
    std::span<CertificateRecord> valid() { return {records_.data(), valid_}; }
    std::span<const CertificateRecord> valid() const { return {records_.data(), valid_}; }
    std::span<const CertificateRecord> all() const { return records_; }
    // The first `count` records as bytes (count clamped to the valid records).
    std::span<const std::uint8_t> bytes(std::size_t count) const;

    // Test seam: a cap on records that behaves like exhausted memory.
    void setRecordLimitForTesting(std::size_t limit) { limit_ = limit; }

  private:
    bool resizeRecords(std::size_t n);
    std::vector<CertificateRecord> records_;
    std::size_t valid_ = 0;
    std::size_t limit_ = SIZE_MAX;
};

}  // namespace kestrune
