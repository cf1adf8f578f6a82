#include "tests/support/memory_settings.h"

#include <algorithm>

namespace kestrune::testing {

namespace {

class MemoryStore final : public BaselineStore {
  public:
    MemoryStore(std::shared_ptr<MemorySettingsData> data, SettingsRoot root, std::string where,
                bool readOnly)
        : data_(std::move(data)), root_(root), where_(std::move(where)), readOnly_(readOnly) {}

    StoreResult<std::uint32_t> valueSize(BaselineValue value) override {
        std::lock_guard lock(data_->mutex);
        const StoreResult<const std::vector<std::uint8_t>*> bytes = find(value);
        if (!bytes) {
            return bytes.failure();
        }
        return static_cast<std::uint32_t>((*bytes)->size());
    }

    StoreResult<std::uint32_t> readValue(BaselineValue value,
                                         std::span<std::uint8_t> into) override {
        std::lock_guard lock(data_->mutex);
        const StoreResult<const std::vector<std::uint8_t>*> found = find(value);
        if (!found) {
            return found.failure();
        }
        const std::vector<std::uint8_t>& bytes = **found;
        const auto size = static_cast<std::uint32_t>(bytes.size());
        if (into.size() < bytes.size()) {
            return SettingsError{StoreFault::TooSmall, {}, size};
        }
        std::copy(bytes.begin(), bytes.end(), into.begin());
        ++data_->reads[value];
        return size;
    }

    StoreResult<void> writeValues(std::span<const ValueBytes> values) override {
        std::lock_guard lock(data_->mutex);
        if (data_->failWrites || readOnly_) {
            return SettingsError{};
        }
        MemoryValues& stored = data_->keys[root_];
        for (const ValueBytes& v : values) {
            stored[v.value].assign(v.data.begin(), v.data.end());
        }
        ++data_->writes;
        return {};
    }

    std::string describe() const override { return where_; }
    std::optional<std::int64_t> savedAt() const override { return data_->savedAt; }

  private:
    // The value's bytes, or the failure a read of it meets (the switch first).
    StoreResult<const std::vector<std::uint8_t>*> find(BaselineValue value) const {
        if (data_->failReads) {
            return SettingsError{};
        }
        const MemoryValues& stored = data_->keys[root_];
        const auto it = stored.find(value);
        if (it == stored.end()) {
            return SettingsError{StoreFault::Absent, {}};
        }
        return &it->second;
    }

    std::shared_ptr<MemorySettingsData> data_;
    SettingsRoot root_;
    std::string where_;
    bool readOnly_;
};

}  // namespace

StoreResult<std::unique_ptr<BaselineStore>> MemorySettings::open(SettingsRoot root,
                                                                 StoreAccess access) {
    const bool machine = root == SettingsRoot::Machine;
    if (access == StoreAccess::Write && machine && machineOpenDenied) {
        return SettingsError{};
    }
    if (access == StoreAccess::Create &&
        ((machine && machineCreateDenied) || (!machine && userCreateDenied))) {
        return SettingsError{};
    }
    std::lock_guard lock(data_->mutex);
    if (access == StoreAccess::Create) {
        data_->keys[root];
    } else if (data_->keys.count(root) == 0) {
        return SettingsError{StoreFault::Absent, {}};
    }
    const std::string where = (machine ? "memory:HKLM\\" : "memory:HKCU\\") +
                              std::string("Software\\Brimtal Software\\Kestrune");
    return std::unique_ptr<BaselineStore>(
        std::make_unique<MemoryStore>(data_, root, where, access == StoreAccess::Read));
}

std::string MemorySettings::where(SettingsRoot root) const {
    return std::string(root == SettingsRoot::Machine ? "machine:" : "user:") +
           "Software\\Brimtal Software\\Kestrune";
}

std::unique_ptr<BaselineStore> MemorySettings::createKey(SettingsRoot root) {
    return openStore(*this, root, StoreAccess::Create);
}

std::unique_ptr<BaselineStore> openStore(BaselineStores& stores, SettingsRoot root,
                                         StoreAccess access) {
    StoreResult<std::unique_ptr<BaselineStore>> opened = stores.open(root, access);
    return opened ? std::move(*opened) : nullptr;
}

StoreResult<void> writeValue(BaselineStore& store, BaselineValue value,
                             std::span<const std::uint8_t> bytes) {
    const ValueBytes one{value, bytes};
    return store.writeValues({&one, 1});
}

MemoryValues& MemorySettings::values(SettingsRoot root) {
    return data_->keys[root];
}

bool MemorySettings::hasKey(SettingsRoot root) const {
    return data_->keys.count(root) != 0;
}

}  // namespace kestrune::testing
