#include "baseline/baseline_storage.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "inventory/text.h"

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

// "Certificate Trust" of `size` bytes into `bytes`; the store's failure, if any.
std::optional<SettingsError> readTrustBytes(BaselineStore& key, std::uint32_t size,
                                            std::vector<std::uint8_t>& bytes) {
    try {
        bytes.resize(size);
    } catch (const std::exception&) {
        return SettingsError{StoreFault::Failed, "no memory for Certificate Trust", 0};
    }
    const StoreResult<std::uint32_t> read = key.readValue(BaselineValue::Trust, bytes);
    if (!read) {
        return read.failure();
    }
    if (*read != size) {
        return SettingsError{};  // changed between the two reads
    }
    return std::nullopt;
}

// "Certificate Trust" for `records` records into `out`. Anything but Loaded leaves `out`
// empty; trust is then not compared, and the next save writes the value. A value that
// does not fit writes a diagnostic line; a baseline from before trust (or saved without
// it) is no damage and writes none.
TrustFound loadTrust(BaselineStore& key, std::size_t records, std::vector<std::string>& out,
                     Trace& trace) {
    out.clear();
    const StoreResult<std::uint32_t> size = key.valueSize(BaselineValue::Trust);
    const bool none = size ? *size == 0 : size.failure().fault == StoreFault::Absent;
    if (none) {
        // Said nowhere: a baseline from before trust loads exactly as it always has.
        return records == 0 ? TrustFound::Loaded : TrustFound::Absent;
    }
    // Bounded before anything is read: a length and at most one full text per record.
    const std::uint64_t least = static_cast<std::uint64_t>(records) * 4;
    const std::uint64_t most = static_cast<std::uint64_t>(records) * (4 + kTrustTextBytes);
    if (size && (*size < least || *size > most)) {
        trace.outf(
            "Certificate Trust of %u bytes does not fit %zu records; trust is not "
            "compared.\r\n",
            *size, records);
        return TrustFound::Unfitting;
    }
    std::vector<std::uint8_t> bytes;
    const std::optional<SettingsError> failure =
        size ? readTrustBytes(key, *size, bytes) : std::optional<SettingsError>(size.failure());
    if (failure) {
        trace.out("Certificate Trust could not be read; trust is not compared.\r\n");
        traceStoreError(trace, *failure);
        return TrustFound::Unreadable;
    }
    try {
        Result<std::vector<std::string>> texts = decodeTrust(bytes, records);
        if (!texts) {
            trace.outf(
                "Certificate Trust does not fit %zu records (%s); trust is not "
                "compared.\r\n",
                records, texts.error().c_str());
            return TrustFound::Unfitting;
        }
        out = std::move(*texts);
    } catch (const std::exception&) {
        out.clear();
        trace.out("realloc() failed for Certificate Trust.\r\n");
        return TrustFound::Unreadable;
    }
    return TrustFound::Loaded;
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
    r.trust = loadTrust(key, r.loaded, state.baselineTrust, trace);
    if (!state.mqsCertificates.copyValidFrom(state.mqsCertificatesRegistry)) {
        // The baseline is loaded; the current table keeps the last scan, which the next
        // cycle rewrites before anything compares against it.
        trace.out("HeapReAlloc() failed mqsCertificates.\r\n");
        return;
    }
    try {
        state.currentFingerprints = state.baselineFingerprints;
        state.currentFingerprints.resize(r.loaded);
        state.currentTrust = state.baselineTrust;
        state.currentTrust.resize(r.loaded);
    } catch (const std::exception&) {
        state.currentFingerprints.clear();  // the next scan fills them again
        state.currentTrust.clear();
    }
}

}  // namespace

std::vector<std::uint8_t> encodeTrust(std::span<const std::string> trust) {
    std::vector<std::uint8_t> out;
    for (const std::string& text : trust) {
        const std::string kept = cutToUtf8Bytes(text, kTrustTextBytes);
        const auto length = static_cast<std::uint32_t>(kept.size());
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<std::uint8_t>(length >> shift));
        }
        out.insert(out.end(), kept.begin(), kept.end());
    }
    return out;
}

Result<std::vector<std::string>> decodeTrust(std::span<const std::uint8_t> bytes,
                                             std::size_t records) {
    if (bytes.size() / 4 < records) {
        return fail(formatText("%zu bytes cannot hold %zu lengths", bytes.size(), records));
    }
    std::vector<std::string> texts;
    texts.reserve(records);
    std::size_t at = 0;
    for (std::size_t i = 0; i < records; ++i) {
        if (bytes.size() - at < 4) {
            return fail(formatText("the text of record %zu is cut short", i));
        }
        const std::uint32_t length = bytes[at] | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
                                     (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
                                     (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
        at += 4;
        if (length > kTrustTextBytes) {
            return fail(formatText("the text of record %zu claims %u bytes, more than %zu", i,
                                   length, kTrustTextBytes));
        }
        if (bytes.size() - at < length) {
            return fail(formatText("the text of record %zu is cut short", i));
        }
        texts.emplace_back(reinterpret_cast<const char*>(bytes.data() + at), length);
        at += length;
    }
    if (at != bytes.size()) {
        return fail(formatText("%zu bytes follow the last text", bytes.size() - at));
    }
    return texts;
}

Status saveCurrentAsBaseline(BaselineStore& key, const KestruneState& state) {
    return saveBaseline(key, state.mqsCertificates, state.iCertificateCountTotal,
                        state.currentFingerprints, state.currentTrust);
}

Status saveBaseline(BaselineStore& key, const RecordTable& table, std::int32_t count,
                    std::span<const Fingerprint> fingerprints, std::span<const std::string> trust) {
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
    // Trust that does not cover every record is stored as none rather than guessed at.
    const std::vector<std::uint8_t> trustBytes =
        trust.size() >= records ? encodeTrust(trust.first(records)) : std::vector<std::uint8_t>{};
    // Fingerprints and trust first: on a store without transactions a save cut short then
    // leaves them beside a count that does not fit them, and they are ignored.
    const ValueBytes values[] = {
        {BaselineValue::Fingerprints, hashes},
        {BaselineValue::Trust, trustBytes},
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
