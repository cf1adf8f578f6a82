// Settings in the registry: the key under HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER,
// values read and written with the registry's own semantics.
#pragma once

#include <memory>
#include <string>

#include "platform/keyed_settings/keyed_settings.h"

namespace kestrune::win32 {

class RegistrySettingsApi final : public KeyedSettings {
  public:
    std::unique_ptr<SettingsKey> openKey(SettingsRoot root, const std::string& path) override;
    std::unique_ptr<SettingsKey> createKey(SettingsRoot root, const std::string& path) override;
    // KEY_READ only: a key that cannot be opened for writing can still be compared with.
    std::unique_ptr<SettingsKey> openKeyForReading(SettingsRoot root,
                                                   const std::string& path) override;
    // The baseline stores' calls by root alone stay visible beside these.
    using KeyedSettings::open;
    using KeyedSettings::setAside;
    using KeyedSettings::where;
    std::string where(SettingsRoot root, const std::string& path) const override;
    std::string openError() const override { return openError_; }

  private:
    std::unique_ptr<SettingsKey> open(SettingsRoot root, const std::string& path, bool create,
                                      unsigned long access);
    std::string openError_;
};

}  // namespace kestrune::win32
