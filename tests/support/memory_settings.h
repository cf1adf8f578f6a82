// Baseline stores in memory, and switches for the failures the baseline code must
// survive.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "baseline/baseline_store.h"

namespace kestrune::testing {

using MemoryValues = std::map<BaselineValue, std::vector<std::uint8_t>>;

// Shared by every store opened from one MemorySettings.
struct MemorySettingsData {
    std::mutex mutex;
    std::map<SettingsRoot, MemoryValues> keys;  // the stores that exist
    bool failReads = false;
    bool failWrites = false;
    int writes = 0;                       // successful writeValues calls
    std::map<BaselineValue, int> reads;   // reads that copied a value's bytes out
    std::optional<std::int64_t> savedAt;  // what every store says of its last save
};

class MemorySettings : public BaselineStores {
  public:
    MemorySettings() : data_(std::make_shared<MemorySettingsData>()) {}

    bool machineOpenDenied = false;    // opening the machine's store for writing fails
    bool machineCreateDenied = false;  // creating the machine's store fails
    bool userCreateDenied = false;     // creating this user's store fails

    // Read-only stores refuse every write; a denied machine open still reads.
    StoreResult<std::unique_ptr<BaselineStore>> open(SettingsRoot root,
                                                     StoreAccess access) override;
    std::string where(SettingsRoot root) const override;

    // The root's store, created where it is not there yet (null where creating is denied).
    std::unique_ptr<BaselineStore> createKey(SettingsRoot root);

    MemorySettingsData& data() { return *data_; }
    // Direct access for set-up and checks (no locking: single-threaded use only).
    MemoryValues& values(SettingsRoot root);
    bool hasKey(SettingsRoot root) const;

  private:
    std::shared_ptr<MemorySettingsData> data_;
};

// The root's store opened with `access`, or null.
std::unique_ptr<BaselineStore> openStore(BaselineStores& stores, SettingsRoot root,
                                         StoreAccess access);
// One value written on its own.
StoreResult<void> writeValue(BaselineStore& store, BaselineValue value,
                             std::span<const std::uint8_t> bytes);

}  // namespace kestrune::testing
