#include "tests/support/memory_settings.h"

#include <cstring>

namespace kestrune::testing {

namespace {

class MemoryKey final : public SettingsKey {
  public:
    MemoryKey(std::shared_ptr<MemorySettingsData> data, SettingsRoot root, std::string path,
              bool readOnly = false)
        : data_(std::move(data)), id_(root, std::move(path)), readOnly_(readOnly) {}

    SettingsStatus queryValue(const std::string& name, std::uint32_t* type, std::uint8_t* out,
                              std::uint32_t* size) override {
        std::lock_guard lock(data_->mutex);
        if (data_->failReads) {
            return SettingsStatus::Error;
        }
        auto& values = data_->keys[id_];
        auto it = values.find(name);
        if (it == values.end()) {
            return SettingsStatus::NotFound;
        }
        const auto& v = it->second;
        if (type) {
            *type = v.type;
        }
        if (size == nullptr) {
            return out ? SettingsStatus::Error : SettingsStatus::Ok;
        }
        const auto needed = static_cast<std::uint32_t>(v.data.size());
        if (out == nullptr) {
            *size = needed;
            return SettingsStatus::Ok;
        }
        if (*size < needed) {
            *size = needed;
            return SettingsStatus::MoreData;
        }
        if (needed > 0) {
            std::memcpy(out, v.data.data(), needed);
        }
        ++data_->reads[name];
        *size = needed;
        return SettingsStatus::Ok;
    }

    SettingsStatus setValue(const std::string& name, std::uint32_t type,
                            std::span<const std::uint8_t> data) override {
        const ValueWrite one{name, type, data};
        return setValues({&one, 1});
    }

    SettingsStatus setValues(std::span<const ValueWrite> values) override {
        std::lock_guard lock(data_->mutex);
        if (data_->failWrites || readOnly_) {
            return SettingsStatus::Error;
        }
        auto& key = data_->keys[id_];
        for (const auto& v : values) {
            key[v.name] = MemoryValue{v.type, {v.data.begin(), v.data.end()}};
        }
        ++data_->writes;
        return SettingsStatus::Ok;
    }

    std::string describe() const override {
        return (id_.first == SettingsRoot::Machine ? "memory:HKLM\\" : "memory:HKCU\\") +
               id_.second;
    }

  private:
    std::shared_ptr<MemorySettingsData> data_;
    std::pair<SettingsRoot, std::string> id_;
    bool readOnly_;
};

}  // namespace

std::unique_ptr<SettingsKey> MemorySettings::openKey(SettingsRoot root, const std::string& path) {
    if (root == SettingsRoot::Machine && machineOpenDenied) {
        return nullptr;
    }
    std::lock_guard lock(data_->mutex);
    if (data_->keys.count({root, path}) == 0) {
        return nullptr;
    }
    return std::make_unique<MemoryKey>(data_, root, path);
}

std::unique_ptr<SettingsKey> MemorySettings::createKey(SettingsRoot root, const std::string& path) {
    if ((root == SettingsRoot::Machine && machineCreateDenied) ||
        (root == SettingsRoot::User && userCreateDenied)) {
        return nullptr;
    }
    std::lock_guard lock(data_->mutex);
    data_->keys[{root, path}];
    return std::make_unique<MemoryKey>(data_, root, path);
}

std::unique_ptr<SettingsKey> MemorySettings::openKeyForReading(SettingsRoot root,
                                                               const std::string& path) {
    std::lock_guard lock(data_->mutex);
    if (data_->keys.count({root, path}) == 0) {
        return nullptr;
    }
    return std::make_unique<MemoryKey>(data_, root, path, true);
}

std::map<std::string, MemoryValue>& MemorySettings::values(SettingsRoot root,
                                                           const std::string& path) {
    return data_->keys[{root, path}];
}

bool MemorySettings::hasKey(SettingsRoot root, const std::string& path) const {
    return data_->keys.count({root, path}) != 0;
}

}  // namespace kestrune::testing
