// The registry settings layer on Wine's registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/settings/registry_settings.h"

namespace kestrune {
namespace {

// A key path of this test's own, removed before and after, under both roots.
class RegistryTest : public ::testing::Test {
  protected:
    static constexpr const char* kPath = "Software\\Kestrune Tests\\Registry";
    static constexpr const wchar_t* kWidePath = L"Software\\Kestrune Tests";
    // Apart from kWidePath: keys made on the way to a volatile key are volatile too.
    static constexpr const wchar_t* kVolatilePath = L"Software\\Kestrune Tests Volatile";

    void SetUp() override { removeAll(); }
    void TearDown() override {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        removeAll();
    }
    static void removeAll() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kWidePath);
        RegDeleteTreeW(HKEY_CURRENT_USER, kWidePath);
        RegDeleteTreeW(HKEY_CURRENT_USER, kVolatilePath);
    }

    std::unique_ptr<KeyedSettings> api_ = std::make_unique<win32::RegistrySettingsApi>();
};

TEST_F(RegistryTest, ValuesKeepTheirBytesAndTypesAndReadLikeTheRegistry) {
    EXPECT_EQ(api_->openKey(SettingsRoot::Machine, kPath), nullptr) << "not created yet";
    auto key = api_->createKey(SettingsRoot::Machine, kPath);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->describe(), std::string("HKEY_LOCAL_MACHINE\\") + kPath);

    // A count of 12: two UTF-16 units, no terminator.
    const std::uint8_t twelve[] = {'1', 0, '2', 0};
    ASSERT_EQ(key->setValue("Certificate Count", kRegSz, twelve), SettingsStatus::Ok);

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    EXPECT_EQ(key->queryValue("Certificate Count", &type, nullptr, &size), SettingsStatus::Ok);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(size, 4u);

    std::uint8_t small[2] = {};
    size = sizeof small;
    EXPECT_EQ(key->queryValue("Certificate Count", &type, small, &size), SettingsStatus::MoreData);
    EXPECT_EQ(size, 4u);

    std::uint8_t buffer[16] = {};
    size = sizeof buffer;
    ASSERT_EQ(key->queryValue("Certificate Count", &type, buffer, &size), SettingsStatus::Ok);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::memcmp(buffer, twelve, 4), 0);

    size = sizeof buffer;
    EXPECT_EQ(key->queryValue("Certificate Data", &type, buffer, &size), SettingsStatus::NotFound);

    // A 1 MB blob, written in order with the count, read back byte for byte.
    std::vector<std::uint8_t> blob(1 << 20);
    for (std::size_t i = 0; i < blob.size(); ++i) {
        blob[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
    }
    const std::uint8_t one[] = {'1', 0};
    const ValueWrite writes[] = {{"Certificate Data", kRegBinary, blob},
                                 {"Certificate Count", kRegSz, one}};
    ASSERT_EQ(key->setValues(writes), SettingsStatus::Ok);
    std::vector<std::uint8_t> back(blob.size() + 2, 0xEE);
    size = static_cast<std::uint32_t>(back.size());
    ASSERT_EQ(key->queryValue("Certificate Data", &type, back.data(), &size), SettingsStatus::Ok);
    EXPECT_EQ(type, kRegBinary);
    ASSERT_EQ(size, blob.size());
    back.resize(size);
    EXPECT_EQ(back, blob);
    size = sizeof buffer;
    ASSERT_EQ(key->queryValue("Certificate Count", &type, buffer, &size), SettingsStatus::Ok);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(buffer[0], '1');

    // An existing key opens with full access, and sees the same values.
    auto again = api_->openKey(SettingsRoot::Machine, kPath);
    ASSERT_TRUE(again);
    size = 0;
    EXPECT_EQ(again->queryValue("Certificate Data", &type, nullptr, &size), SettingsStatus::Ok);
    EXPECT_EQ(size, blob.size());
}

TEST_F(RegistryTest, WritesToAVanishedKeyFailWithAReason) {
    auto key = api_->createKey(SettingsRoot::User, kPath);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->describe(), std::string("HKEY_CURRENT_USER\\") + kPath);
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, kWidePath), ERROR_SUCCESS);

    const std::uint8_t data[] = {1, 2, 3};
    const ValueWrite writes[] = {{"Certificate Data", kRegBinary, data},
                                 {"Certificate Count", kRegSz, data}};
    EXPECT_EQ(key->setValues(writes), SettingsStatus::Error);
    EXPECT_NE(key->lastError().find("Certificate Data"), std::string::npos) << key->lastError();
    std::uint32_t size = sizeof data;
    std::uint8_t buffer[3];
    EXPECT_NE(key->queryValue("Certificate Count", nullptr, buffer, &size), SettingsStatus::Ok);
}

TEST_F(RegistryTest, AMachineRootThatRefusesTheKeyLeavesTheUserRoot) {
    // The machine root redirected to a volatile key: the registry refuses to create a
    // lasting key under it (ERROR_CHILD_MUST_BE_VOLATILE), as it refuses a user
    // without administrator rights.
    HKEY volatileRoot = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kVolatilePath, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &volatileRoot, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, volatileRoot), ERROR_SUCCESS);
    RegCloseKey(volatileRoot);

    EXPECT_EQ(api_->openKey(SettingsRoot::Machine, kPath), nullptr);
    EXPECT_EQ(api_->createKey(SettingsRoot::Machine, kPath), nullptr);
    auto user = api_->createKey(SettingsRoot::User, kPath);
    ASSERT_TRUE(user);
    const std::uint8_t data[] = {'7', 0};
    EXPECT_EQ(user->setValue("Certificate Count", kRegSz, data), SettingsStatus::Ok);
}

}  // namespace
}  // namespace kestrune
