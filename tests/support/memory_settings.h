// Settings in memory with registry semantics, and switches for the failures the
// baseline code must survive.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "baseline/settings_api.h"

namespace kestrune::testing {

struct MemoryValue {
    std::uint32_t type = kRegBinary;
    std::vector<std::uint8_t> data;
};

// Shared by every key handle opened from one MemorySettings.
struct MemorySettingsData {
    std::mutex mutex;
    // (root, path) -> value name -> value
    std::map<std::pair<SettingsRoot, std::string>, std::map<std::string, MemoryValue>> keys;
    bool failReads = false;
    bool failWrites = false;
    int writes = 0;                    // successful setValue/setValues calls
    std::map<std::string, int> reads;  // value name -> reads that copied its bytes out
};

class MemorySettings : public SettingsApi {
  public:
    MemorySettings() : data_(std::make_shared<MemorySettingsData>()) {}

    bool machineOpenDenied = false;    // openKey under the machine root fails
    bool machineCreateDenied = false;  // createKey under the machine root fails
    bool userCreateDenied = false;     // createKey under the user root fails

    std::unique_ptr<SettingsKey> openKey(SettingsRoot root, const std::string& path) override;
    std::unique_ptr<SettingsKey> createKey(SettingsRoot root, const std::string& path) override;
    // Read-only keys refuse every write; a denied machine open still reads.
    std::unique_ptr<SettingsKey> openKeyForReading(SettingsRoot root,
                                                   const std::string& path) override;

    MemorySettingsData& data() { return *data_; }
    // Direct access for set-up and checks (no locking: single-threaded use only).
    std::map<std::string, MemoryValue>& values(SettingsRoot root,
                                               const std::string& path = kSettingsKeyPath);
    bool hasKey(SettingsRoot root, const std::string& path = kSettingsKeyPath) const;

  private:
    std::shared_ptr<MemorySettingsData> data_;
};

}  // namespace kestrune::testing
