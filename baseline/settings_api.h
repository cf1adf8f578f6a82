// What the baseline needs of the platform's settings store, shaped after the registry:
// a key under the machine or the user root, values read as bytes and a type, written
// with a type. Win32: the registry. Linux: SQLite. Tests: in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrune {

inline constexpr std::uint32_t kRegSz = 1;      // REG_SZ
inline constexpr std::uint32_t kRegBinary = 3;  // REG_BINARY

inline constexpr const char* kSettingsKeyPath = "Software\\Brimtal Software\\Kestrune";
inline constexpr const char* kValueCertificateCount = "Certificate Count";
inline constexpr const char* kValueCertificateData = "Certificate Data";
// The SHA-256 of each record's certificate, 32 bytes per record in record order.
inline constexpr const char* kValueCertificateFingerprints = "Certificate Fingerprints";

enum class SettingsRoot { Machine, User };

enum class SettingsStatus {
    Ok,
    MoreData,  // the buffer was too small; the size now holds the value's size
    NotFound,
    Busy,  // another process holds the store's lock past the wait
    Error,
};

struct ValueWrite {
    std::string name;
    std::uint32_t type = kRegBinary;
    std::span<const std::uint8_t> data;
};

class SettingsKey {
  public:
    virtual ~SettingsKey() = default;

    // Registry-style read: `data` may be null to ask for the size. On entry `size` is
    // the buffer's size in bytes; on Ok or MoreData it holds the value's size.
    virtual SettingsStatus queryValue(const std::string& name, std::uint32_t* type,
                                      std::uint8_t* data, std::uint32_t* size) = 0;
    virtual SettingsStatus setValue(const std::string& name, std::uint32_t type,
                                    std::span<const std::uint8_t> data) = 0;
    // Several values at once: where the store can, all or none are written (the
    // registry writes them in order).
    virtual SettingsStatus setValues(std::span<const ValueWrite> values) = 0;

    // Where the key lives, for messages ("/var/lib/kestrune/settings.db", "HKCU\...").
    virtual std::string describe() const = 0;
    // Why the last failing call failed, for messages; may be empty.
    virtual std::string lastError() const { return {}; }
};

class SettingsApi {
  public:
    virtual ~SettingsApi() = default;
    // Opens an existing key with full access; null when it does not exist or access
    // is denied.
    virtual std::unique_ptr<SettingsKey> openKey(SettingsRoot root, const std::string& path) = 0;
    // Creates the key, or opens it when it exists; null on failure.
    virtual std::unique_ptr<SettingsKey> createKey(SettingsRoot root, const std::string& path) = 0;
};

}  // namespace kestrune
