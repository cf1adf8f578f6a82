// Settings shaped after the registry, as both platforms keep them: a key under the
// machine or the user root, named values read as bytes and a type, written with a type.
// Win32: the registry. Linux: SQLite, whose file holds the same keys, names and types.
// The baseline stores the core asks for are keys at kSettingsKeyPath, one per root.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "baseline/baseline_store.h"

namespace kestrune {

inline constexpr std::uint32_t kRegSz = 1;      // REG_SZ
inline constexpr std::uint32_t kRegBinary = 3;  // REG_BINARY

inline constexpr const char* kSettingsKeyPath = "Software\\Brimtal Software\\Kestrune";

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
    // Why the store holding this key is not a Kestrune settings store at all (an empty
    // file, another program's database); empty when it is one or cannot tell.
    virtual std::string foreignStore() const { return {}; }
    // Why the last failing call found the store itself broken (a database that reports
    // itself malformed), naming it; empty when a call failed for any other reason (a
    // lock, permissions, an I/O error), which a retry may mend.
    virtual std::string damage() const { return {}; }
    // When the key's values were last written (seconds since the epoch), where known.
    virtual std::optional<std::int64_t> lastWriteTime() const { return std::nullopt; }
};

// A damaged store moved out of the way so a new one can take its place.
struct SetAsideResult {
    bool ok = false;
    std::string kept;  // where the old store now is; empty when nothing needed keeping
    std::string why;   // why it could not be moved; empty when ok
};

// Every keyed settings store is a set of baseline stores: kSettingsKeyPath under each
// root, the count a string value, the data and the fingerprints binary ones.
class KeyedSettings : public BaselineStores {
  public:
    // Opens an existing key with full access; null when it does not exist or access
    // is denied.
    virtual std::unique_ptr<SettingsKey> openKey(SettingsRoot root, const std::string& path) = 0;
    // Creates the key, or opens it when it exists; null on failure.
    virtual std::unique_ptr<SettingsKey> createKey(SettingsRoot root, const std::string& path) = 0;
    // Opens an existing key for reading only, never writing or creating anything. A
    // store that is there but damaged still yields a key, so the damage can be told;
    // null when nothing is there or it cannot be read (openError() says why).
    virtual std::unique_ptr<SettingsKey> openKeyForReading(SettingsRoot root,
                                                           const std::string& path) {
        (void)root;
        (void)path;
        return nullptr;
    }
    // Where a key lives, whether or not it exists, for messages.
    virtual std::string where(SettingsRoot root, const std::string& path) const {
        return (root == SettingsRoot::Machine ? "machine:" : "user:") + path;
    }
    // Why the last open or create that returned null failed; may be empty.
    virtual std::string openError() const { return {}; }
    // Keeps a damaged store aside so the key can be made afresh (a file is renamed; a
    // registry key needs nothing, its values are overwritten).
    virtual SetAsideResult setAside(SettingsRoot root, const std::string& path) {
        (void)root;
        (void)path;
        return {true, {}, {}};
    }

    StoreResult<std::unique_ptr<BaselineStore>> open(SettingsRoot root, StoreAccess access) final;
    std::string where(SettingsRoot root) const final { return where(root, kSettingsKeyPath); }
    Result<std::string> setAside(SettingsRoot root) final;
};

// The baseline store over one key, owning it; or only using it, for as long as it lives.
std::unique_ptr<BaselineStore> baselineStoreOver(std::unique_ptr<SettingsKey> key);
std::unique_ptr<BaselineStore> baselineStoreOn(SettingsKey& key);

}  // namespace kestrune
