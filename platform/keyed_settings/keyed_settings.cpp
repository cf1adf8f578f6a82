#include "platform/keyed_settings/keyed_settings.h"

#include <utility>

namespace kestrune {

namespace {

// The count is a string value (its terminator is the store's business), the rest binary.
std::uint32_t typeOf(BaselineValue value) {
    return value == BaselineValue::Count ? kRegSz : kRegBinary;
}

class KeyedBaselineStore final : public BaselineStore {
  public:
    explicit KeyedBaselineStore(std::unique_ptr<SettingsKey> key)
        : owned_(std::move(key)), key_(owned_.get()) {}
    explicit KeyedBaselineStore(SettingsKey& key) : key_(&key) {}

    StoreResult<std::uint32_t> valueSize(BaselineValue value) override {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        const SettingsStatus status = key_->queryValue(valueName(value), &type, nullptr, &size);
        return answer(status, size);
    }

    StoreResult<std::uint32_t> readValue(BaselineValue value,
                                         std::span<std::uint8_t> into) override {
        std::uint32_t type = 0;
        auto size = static_cast<std::uint32_t>(into.size());
        if (into.empty()) {
            // Nothing to read into: asking for the size tells whether there is nothing.
            const SettingsStatus status = key_->queryValue(valueName(value), &type, nullptr, &size);
            if (status == SettingsStatus::Ok && size > 0) {
                return SettingsError{StoreFault::TooSmall, {}, size};
            }
            return answer(status, size);
        }
        const SettingsStatus status = key_->queryValue(valueName(value), &type, into.data(), &size);
        return answer(status, size);
    }

    StoreResult<void> writeValues(std::span<const ValueBytes> values) override {
        std::vector<ValueWrite> writes;
        writes.reserve(values.size());
        for (const ValueBytes& v : values) {
            writes.push_back(ValueWrite{valueName(v.value), typeOf(v.value), v.data});
        }
        const SettingsStatus status = key_->setValues(writes);
        if (status == SettingsStatus::Ok) {
            return {};
        }
        return error(status);
    }

    std::string describe() const override { return key_->describe(); }
    std::string foreignStore() const override { return key_->foreignStore(); }
    std::optional<std::int64_t> savedAt() const override { return key_->lastWriteTime(); }

  private:
    StoreResult<std::uint32_t> answer(SettingsStatus status, std::uint32_t size) const {
        if (status == SettingsStatus::Ok) {
            return size;
        }
        SettingsError e = error(status);
        e.size = size;
        return e;
    }

    SettingsError error(SettingsStatus status) const {
        switch (status) {
            case SettingsStatus::NotFound:
                return {StoreFault::Absent, key_->lastError()};
            case SettingsStatus::MoreData:
                return {StoreFault::TooSmall, {}};
            case SettingsStatus::Busy:
                return {StoreFault::Busy, key_->lastError()};
            default:
                return {key_->damage().empty() ? StoreFault::Failed : StoreFault::Damaged,
                        key_->lastError()};
        }
    }

    std::unique_ptr<SettingsKey> owned_;
    SettingsKey* key_;
};

}  // namespace

std::unique_ptr<BaselineStore> baselineStoreOver(std::unique_ptr<SettingsKey> key) {
    return std::make_unique<KeyedBaselineStore>(std::move(key));
}

std::unique_ptr<BaselineStore> baselineStoreOn(SettingsKey& key) {
    return std::make_unique<KeyedBaselineStore>(key);
}

StoreResult<std::unique_ptr<BaselineStore>> KeyedSettings::open(SettingsRoot root,
                                                                StoreAccess access) {
    std::unique_ptr<SettingsKey> key;
    switch (access) {
        case StoreAccess::Write:
            key = openKey(root, kSettingsKeyPath);
            break;
        case StoreAccess::Create:
            key = createKey(root, kSettingsKeyPath);
            break;
        case StoreAccess::Read:
            key = openKeyForReading(root, kSettingsKeyPath);
            break;
    }
    if (!key) {
        // A key that is simply not there says nothing more.
        const std::string why = openError();
        return SettingsError{why.empty() ? StoreFault::Absent : StoreFault::Failed, why};
    }
    return baselineStoreOver(std::move(key));
}

Result<std::string> KeyedSettings::setAside(SettingsRoot root) {
    SetAsideResult aside = setAside(root, kSettingsKeyPath);
    if (!aside.ok) {
        return fail(std::move(aside.why));
    }
    return std::move(aside.kept);
}

}  // namespace kestrune
