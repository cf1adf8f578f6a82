// Settings in the registry: the key under HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER,
// values read and written with the registry's own semantics.
#pragma once

#include "baseline/settings_api.h"

namespace kestrune::win32 {

class RegistrySettingsApi final : public SettingsApi {
  public:
    std::unique_ptr<SettingsKey> openKey(SettingsRoot root, const std::string& path) override;
    std::unique_ptr<SettingsKey> createKey(SettingsRoot root, const std::string& path) override;
};

}  // namespace kestrune::win32
