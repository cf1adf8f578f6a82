#include "baseline/baseline_storage.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

namespace {

// The count is read into a buffer of this size, as the registry reader always has.
constexpr std::uint32_t kCountBufferBytes = 0x20000;

// Leading decimal digits of UTF-16LE text, stopping at the first non-digit unit (a
// terminator included) or at the end of the bytes; an odd trailing byte is no unit.
// No digits give 0; a value past the signed 32-bit range saturates.
std::int32_t parseCount(const std::uint8_t* bytes, std::size_t size) {
    constexpr std::int64_t kMax = INT32_MAX;
    std::int64_t value = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const unsigned unit = bytes[i] | (static_cast<unsigned>(bytes[i + 1]) << 8);
        if (unit < u'0' || unit > u'9') {
            break;
        }
        value = value * 10 + (unit - u'0');
        if (value > kMax) {
            value = kMax;  // keep reading digits, the value stays saturated
        }
    }
    return static_cast<std::int32_t>(value);
}

std::vector<std::uint8_t> countText(std::int32_t count) {
    const std::string digits = std::to_string(count);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(digits.size() * 2);
    for (char c : digits) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

// Why the store failed, when it says (a file name and the database's own words). A
// value that is simply absent is no store failure.
void traceStoreError(Trace& trace, const SettingsError& error) {
    if (error.fault == StoreFault::Absent || error.fault == StoreFault::TooSmall) {
        return;
    }
    if (!error.message.empty()) {
        trace.errf("%s\r\n", error.message.c_str());
    }
}

// "Certificate Fingerprints" for `records` records into `out`. Anything but Loaded leaves
// `out` empty and writes a diagnostic line: it happens when the value is absent, unreadable or does
// not fit the records (a baseline from before fingerprints, or a save cut short): the records are
// then compared by serial and subject name alone, and the next save writes the value.
FingerprintsFound loadFingerprints(BaselineStore& key, std::size_t records,
                                   std::vector<Fingerprint>& out, std::uint32_t& found,
                                   Trace& trace) {
    out.clear();
    const StoreResult<std::uint32_t> size = key.valueSize(BaselineValue::Fingerprints);
    const bool absent = !size && size.failure().fault == StoreFault::Absent;
    found = size ? *size : 0;
    if (absent && records == 0) {
        return FingerprintsFound::Loaded;  // nothing to fingerprint
    }
    if (absent) {
        trace.out(
            "No Certificate Fingerprints stored; comparing by serial number and subject name "
            "hash.\r\n");
        return FingerprintsFound::Absent;
    }
    const std::uint64_t expected = static_cast<std::uint64_t>(records) * kFingerprintBytes;
    if (size && *size != expected) {
        trace.outf(
            "Certificate Fingerprints of %u bytes do not fit %zu records; comparing by serial "
            "number and subject name hash.\r\n",
            *size, records);
        return FingerprintsFound::Unfitting;
    }
    // Read straight into the fingerprints, which are bytes end to end.
    static_assert(sizeof(Fingerprint) == kFingerprintBytes);
    std::optional<SettingsError> failure;
    if (!size) {
        failure = size.failure();
    } else {
        try {
            out.resize(records);
        } catch (const std::exception&) {
            out.clear();
            trace.out("realloc() failed for Certificate Fingerprints.\r\n");
            return FingerprintsFound::Unreadable;
        }
        const StoreResult<std::uint32_t> read = key.readValue(
            BaselineValue::Fingerprints,
            {reinterpret_cast<std::uint8_t*>(out.data()), static_cast<std::size_t>(*size)});
        if (!read) {
            failure = read.failure();
        } else if (*read != *size) {
            failure = SettingsError{};  // changed between the two reads
        }
    }
    if (failure) {
        out.clear();
        trace.out(
            "Certificate Fingerprints could not be read; comparing by serial number and "
            "subject name hash.\r\n");
        traceStoreError(trace, *failure);
        return FingerprintsFound::Unreadable;
    }
    return FingerprintsFound::Loaded;
}

// The count. A value longer than the buffer cannot come from saveBaseline; it is refused
// like an unreadable one rather than guessed at.
LoadFailure readCount(BaselineStore& key, BaselineLoad& r, Trace& trace) {
    std::vector<std::uint8_t> text(kCountBufferBytes, 0);
    const StoreResult<std::uint32_t> size = key.readValue(BaselineValue::Count, text);
    if (!size) {
        r.storeError = size.failure();
        if (r.storeError.fault == StoreFault::TooSmall) {
            trace.errf("Certificate Count is %u bytes, more than %u.\r\n", r.storeError.size,
                       kCountBufferBytes);
        }
        traceStoreError(trace, r.storeError);
        return LoadFailure::CountUnreadable;
    }
    r.storedCount = parseCount(text.data(), *size < kCountBufferBytes ? *size : kCountBufferBytes);
    return LoadFailure::None;
}

// Records for `bytes` bytes of "Certificate Data", rounded up, worked out in 64 bits: a
// 32-bit size_t would wrap near 4 GB.
std::size_t recordsFor(std::uint32_t bytes) {
    const std::uint64_t records =
        (static_cast<std::uint64_t>(bytes) + kRecordSize - 1) / kRecordSize;
    return records < SIZE_MAX / kRecordSize ? static_cast<std::size_t>(records)
                                            : SIZE_MAX / kRecordSize;
}

// "Certificate Data" straight into the new baseline table: room for the whole value (a
// store may only hand over all of it), of which the count keeps the records the value
// really holds. The table in memory stays until the read is whole.
LoadFailure readData(BaselineStore& key, RecordTable& table, BaselineLoad& r, Trace& trace) {
    const std::int32_t count = r.storedCount;
    const StoreResult<std::uint32_t> sized = key.valueSize(BaselineValue::Data);
    const std::uint32_t size = sized ? *sized : 0;
    std::uint32_t read = 0;
    std::optional<SettingsError> failure;
    if (!sized) {
        failure = sized.failure();
    }
    bool grown = false;
    std::size_t whole = 0;
    const bool replaced = table.replaceInPlace(
        recordsFor(size), [&](std::span<std::uint8_t> into) -> std::optional<std::size_t> {
            grown = into.size() >= size;
            if (!grown) {
                return std::nullopt;  // no memory for the whole value
            }
            read = size;
            if (!failure) {
                const StoreResult<std::uint32_t> got =
                    key.readValue(BaselineValue::Data, into.first(size));
                if (!got) {
                    failure = got.failure();
                } else {
                    read = *got;
                }
            }
            if (failure) {
                return std::nullopt;
            }
            read = read > size ? size : read;  // never trust a size past the buffer
            // The count is the authority, but only for records the value really holds.
            whole = read / kRecordSize;
            r.loaded =
                static_cast<std::size_t>(count) < whole ? static_cast<std::size_t>(count) : whole;
            return r.loaded;
        });
    if (!replaced && !grown) {
        // The old baseline is still whole; reporting success would hide that it is stale.
        trace.out("realloc() failed for Cert data.\r\n");
        return LoadFailure::DataTooLarge;
    }
    if (!replaced) {
        r.storeError = failure.value_or(SettingsError{});
        r.loaded = 0;
        // The baseline in memory stays: a failed read must not leave the tables cut back
        // while the program goes on comparing against them.
        if (r.storeError.fault == StoreFault::TooSmall) {
            read = r.storeError.size;  // grown between the two reads
        }
        trace.outf("NOT SUCCESS: Total Count in Registry: %d(size: %u)\r\n", count, read);
        traceStoreError(trace, r.storeError);
        return LoadFailure::DataUnreadable;
    }
    r.dataBytes = read;
    trace.outf("ERROR_SUCCESS: Total Count in Registry: %d(size: %u)\r\n", count, read);
    if (!r.consistent()) {
        trace.outf(
            "Certificate Count %d does not match Certificate Data of %u bytes (%zu whole "
            "records); loaded %zu records.\r\n",
            count, read, whole, r.loaded);
    }
    return LoadFailure::None;
}

// The loaded baseline becomes the one in memory: its count, its fingerprints, and a copy
// over the front of the current table.
void adoptLoaded(BaselineStore& key, KestruneState& state, BaselineLoad& r, Trace& trace) {
    state.iCertificateCountTotal_Registry = static_cast<std::int32_t>(r.loaded);
    r.fingerprints =
        loadFingerprints(key, r.loaded, state.baselineFingerprints, r.fingerprintBytes, trace);
    if (!state.mqsCertificates.copyValidFrom(state.mqsCertificatesRegistry)) {
        // The baseline is loaded; the current table keeps the last scan, which the next
        // cycle rewrites before anything compares against it.
        trace.out("HeapReAlloc() failed mqsCertificates.\r\n");
        return;
    }
    try {
        state.currentFingerprints = state.baselineFingerprints;
        state.currentFingerprints.resize(r.loaded);
    } catch (const std::exception&) {
        state.currentFingerprints.clear();  // the next scan fills them again
    }
}

}  // namespace

Status saveCurrentAsBaseline(BaselineStore& key, const KestruneState& state) {
    return saveBaseline(key, state.mqsCertificates, state.iCertificateCountTotal,
                        state.currentFingerprints);
}

Status saveBaseline(BaselineStore& key, const RecordTable& table, std::int32_t count,
                    std::span<const Fingerprint> fingerprints) {
    // The pair must describe the same records: never claim more than the table holds.
    std::size_t records = count > 0 ? static_cast<std::size_t>(count) : 0;
    if (records > table.validCount()) {
        records = table.validCount();
    }
    const auto data = table.bytes(records);
    const auto text = countText(static_cast<std::int32_t>(records));
    std::vector<std::uint8_t> hashes(records * kFingerprintBytes, 0);
    for (std::size_t i = 0; i < records && i < fingerprints.size(); ++i) {
        std::copy(fingerprints[i].begin(), fingerprints[i].end(),
                  hashes.begin() + static_cast<std::ptrdiff_t>(i * kFingerprintBytes));
    }
    // Fingerprints first: on a store without transactions a save cut short then leaves
    // them beside a count that does not fit them, and they are ignored.
    const ValueBytes values[] = {
        {BaselineValue::Fingerprints, hashes},
        {BaselineValue::Data, data},
        {BaselineValue::Count, text},
    };
    const StoreResult<void> written = key.writeValues(values);
    if (written) {
        return {};
    }
    return fail(written.error().empty() ? key.describe() : written.error());
}

BaselinePresence baselinePresence(BaselineStore& key) {
    const StoreResult<std::uint32_t> probe = key.valueSize(BaselineValue::Count);
    if (probe) {
        return BaselinePresence::Present;
    }
    switch (probe.failure().fault) {
        case StoreFault::Absent:
            return BaselinePresence::Absent;
        case StoreFault::TooSmall:
            return BaselinePresence::Present;
        default:
            return BaselinePresence::Unreadable;
    }
}

bool isFirstStart(BaselineStore& key) {
    // An unreadable store must not have its baseline replaced by a fresh one.
    return baselinePresence(key) == BaselinePresence::Absent;
}

BaselineLoad loadBaseline(BaselineStore* key, KestruneState& state, Trace& trace) {
    BaselineLoad r;
    if (!key) {
        r.failure = LoadFailure::NoKey;
        return r;
    }
    r.failure = readCount(*key, r, trace);
    if (r.ok()) {
        r.failure = readData(*key, state.mqsCertificatesRegistry, r, trace);
    }
    if (r.ok()) {
        adoptLoaded(*key, state, r, trace);
    }
    return r;
}

}  // namespace kestrune
