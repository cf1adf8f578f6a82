#include "platform/win32/settings/registry_settings.h"

#include <windows.h>

#include <limits>
#include <memory>
#include <vector>

#include "inventory/c_handle.h"
#include "platform/win32/win32_text.h"

namespace kestrune {
namespace win32 {

namespace {

using KeyHandle = CHandle<std::remove_pointer_t<HKEY>, RegCloseKey>;

HKEY rootKey(SettingsRoot root) {
    return root == SettingsRoot::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

std::string describeKey(SettingsRoot root, const std::string& path) {
    return (root == SettingsRoot::Machine ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") + path;
}

class RegistryKey final : public SettingsKey {
  public:
    RegistryKey(KeyHandle key, std::string where)
        : key_(std::move(key)), where_(std::move(where)) {}

    SettingsStatus queryValue(const std::string& name, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* size) override {
        DWORD valueType = 0;
        DWORD valueSize = size ? *size : 0;
        const LSTATUS rc = RegQueryValueExW(key_.get(), widen(name).c_str(), nullptr, &valueType,
                                            data, size ? &valueSize : nullptr);
        if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
            if (type) {
                *type = valueType;
            }
            if (size) {
                *size = valueSize;
            }
            return rc == ERROR_SUCCESS ? SettingsStatus::Ok : SettingsStatus::MoreData;
        }
        return failed(rc, "reading \"" + name + "\"");
    }

    SettingsStatus setValue(const std::string& name, std::uint32_t type,
                            std::span<const std::uint8_t> data) override {
        if (data.size() > std::numeric_limits<DWORD>::max()) {
            lastError_ = "writing \"" + name + "\": value too large";
            return SettingsStatus::Error;
        }
        // For a string whose last unit is not a zero, the registry looks at the unit after
        // the given size and, when that is a zero, stores it too. The count is stored
        // without a terminator, so the unit after it must be there and must not be zero:
        // the value never depends on whatever memory follows the caller's buffer.
        std::vector<std::uint8_t> text;
        const std::uint8_t* bytes = data.data();
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            text.assign(data.begin(), data.end());
            text.push_back(' ');
            text.push_back(0);
            bytes = text.data();
        }
        const LSTATUS rc = RegSetValueExW(key_.get(), widen(name).c_str(), 0, type, bytes,
                                          static_cast<DWORD>(data.size()));
        if (rc != ERROR_SUCCESS) {
            return failed(rc, "writing \"" + name + "\"");
        }
        return SettingsStatus::Ok;
    }

    // The registry has no transactions here: values are written in order, and the
    // first failure stops the rest, so a later value never claims what an earlier one
    // failed to store.
    SettingsStatus setValues(std::span<const ValueWrite> values) override {
        for (const ValueWrite& value : values) {
            const SettingsStatus status = setValue(value.name, value.type, value.data);
            if (status != SettingsStatus::Ok) {
                return status;
            }
        }
        return SettingsStatus::Ok;
    }

    std::string describe() const override { return where_; }
    std::string lastError() const override { return lastError_; }

  private:
    SettingsStatus failed(LSTATUS rc, const std::string& what) {
        lastError_ = what + ": " + errorText(static_cast<DWORD>(rc));
        return rc == ERROR_FILE_NOT_FOUND ? SettingsStatus::NotFound : SettingsStatus::Error;
    }

    KeyHandle key_;
    std::string where_;
    std::string lastError_;
};

}  // namespace

std::unique_ptr<SettingsKey> RegistrySettingsApi::open(SettingsRoot root, const std::string& path,
                                                       bool create, unsigned long access) {
    openError_.clear();
    HKEY key = nullptr;
    const LSTATUS rc = create ? RegCreateKeyW(rootKey(root), widen(path).c_str(), &key)
                              : RegOpenKeyExW(rootKey(root), widen(path).c_str(), 0, access, &key);
    if (rc != ERROR_SUCCESS) {
        // A key that is simply not there is no failure to explain.
        if (create || rc != ERROR_FILE_NOT_FOUND) {
            openError_ = describeKey(root, path) + ": " +
                         (create ? "cannot be created: " : "cannot be opened: ") +
                         errorText(static_cast<DWORD>(rc));
        }
        return nullptr;
    }
    return std::make_unique<RegistryKey>(KeyHandle(key), describeKey(root, path));
}

std::unique_ptr<SettingsKey> RegistrySettingsApi::openKey(SettingsRoot root,
                                                          const std::string& path) {
    return open(root, path, false, KEY_ALL_ACCESS);
}

std::unique_ptr<SettingsKey> RegistrySettingsApi::createKey(SettingsRoot root,
                                                            const std::string& path) {
    return open(root, path, true, 0);
}

std::unique_ptr<SettingsKey> RegistrySettingsApi::openKeyForReading(SettingsRoot root,
                                                                    const std::string& path) {
    return open(root, path, false, KEY_READ);
}

std::string RegistrySettingsApi::where(SettingsRoot root, const std::string& path) const {
    return describeKey(root, path);
}

}  // namespace win32

}  // namespace kestrune
