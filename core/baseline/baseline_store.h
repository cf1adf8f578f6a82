// Where a baseline is kept: per root (the machine's, this user's), one store holding the
// values a baseline is saved as. How a store lays them out (registry values and
// their types, rows of a database) is the platform's business; the core reads and writes
// bytes by value and learns from each call's result what went wrong.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "inventory/result.h"

namespace kestrune {

// The names are what people see in messages, and what the stores keep the values under.
inline constexpr const char* kValueCertificateCount = "Certificate Count";
inline constexpr const char* kValueCertificateData = "Certificate Data";
// The SHA-256 of each record's certificate, 32 bytes per record in record order.
inline constexpr const char* kValueCertificateFingerprints = "Certificate Fingerprints";
// The trust each record's store gives it, in record order: per record a 32-bit
// little-endian length, then that many bytes of UTF-8 text (at most kTrustTextBytes).
inline constexpr const char* kValueCertificateTrust = "Certificate Trust";

enum class BaselineValue {
    Count,         // decimal UTF-16 text, no terminator
    Data,          // count * 568 bytes of records
    Fingerprints,  // count * 32 bytes
    Trust,         // count length-prefixed texts
};

constexpr const char* valueName(BaselineValue value) {
    switch (value) {
        case BaselineValue::Count:
            return kValueCertificateCount;
        case BaselineValue::Data:
            return kValueCertificateData;
        case BaselineValue::Fingerprints:
            return kValueCertificateFingerprints;
        case BaselineValue::Trust:
            return kValueCertificateTrust;
    }
    return "";
}

enum class SettingsRoot { Machine, User };

enum class StoreFault {
    Absent,    // the value (or the store) is not there
    TooSmall,  // the value does not fit the buffer; SettingsError::size holds its size
    Busy,      // another process holds the store's lock past the wait
    Failed,    // anything else a retry may mend: a lock, permissions, an I/O error
    Damaged,   // the store itself is broken (a database that reports itself malformed)
};

struct SettingsError {
    StoreFault fault = StoreFault::Failed;
    std::string message;     // why, naming the store where it can; may be empty
    std::uint32_t size = 0;  // TooSmall: the value's size
};

template <class T>
using StoreResult = Result<T, SettingsError>;

struct ValueBytes {
    BaselineValue value;
    std::span<const std::uint8_t> data;
};

class BaselineStore {
  public:
    virtual ~BaselineStore() = default;
    // The value's size in bytes, without reading it.
    virtual StoreResult<std::uint32_t> valueSize(BaselineValue value) = 0;
    // Reads the value into `into` and gives the bytes read.
    virtual StoreResult<std::uint32_t> readValue(BaselineValue value,
                                                 std::span<std::uint8_t> into) = 0;
    // All or none where the store can; else in order, stopping at the first failure.
    virtual StoreResult<void> writeValues(std::span<const ValueBytes> values) = 0;
    // Where the store is, for messages ("/var/lib/kestrune/settings.db", "HKEY_...\...").
    virtual std::string describe() const = 0;
    // Why the store is no Kestrune settings store at all (an empty file, another
    // program's database); empty when it is one or cannot tell.
    virtual std::string foreignStore() const { return {}; }
    // When the baseline was last written (seconds since the epoch), where the store can
    // tell; package upgrades after it are what can explain a change.
    virtual std::optional<std::int64_t> savedAt() const { return std::nullopt; }
};

enum class StoreAccess {
    Write,   // an existing store, to read and write
    Create,  // made where it is not there yet, else opened to read and write
    // An existing store, read only: nothing is written or created. One that is there but
    // damaged still opens, so the damage can be told.
    Read,
};

class BaselineStores {
  public:
    virtual ~BaselineStores() = default;
    // The root's store, or why not: Absent where nothing is there (and Write or Read was
    // asked), else what stood in the way, naming the store.
    virtual StoreResult<std::unique_ptr<BaselineStore>> open(SettingsRoot root,
                                                             StoreAccess access) = 0;
    // Where the root's store is, whether or not it exists, for messages.
    virtual std::string where(SettingsRoot root) const = 0;
    // Keeps a damaged store aside so a new one can take its place, and says where the old
    // one now is (empty where nothing needed keeping: a registry key's values are simply
    // overwritten).
    virtual Result<std::string> setAside(SettingsRoot root) {
        (void)root;
        return std::string{};
    }
};

}  // namespace kestrune
