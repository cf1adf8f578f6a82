// The baseline through the real registry: openSettingsKey, saveBaseline and
// registry_settings_load over the registry layer, on the product's own key.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "platform/win32/settings/registry_settings.h"
#include "tests/support/sample_records.h"
#include "tests/support/scripted_desktop.h"
#include "ui/baseline_messages.h"

namespace kestrune {
namespace {

using testing::fillTable;
using testing::holdsSamples;
using testing::ScriptedDesktop;

constexpr const wchar_t* kKey = L"Software\\Brimtal Software\\Kestrune";
constexpr const wchar_t* kMaker = L"Software\\Brimtal Software";
constexpr const wchar_t* kVolatile = L"Software\\Kestrune Tests Volatile";

// The value as the registry holds it.
struct RawValue {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = 0;
    std::vector<std::uint8_t> bytes;
};

// The value's bytes as stored: RegGetValueW would add a terminator a REG_SZ lacks.
RawValue rawValue(HKEY root, const wchar_t* name) {
    RawValue v;
    HKEY key = nullptr;
    v.status = RegOpenKeyExW(root, kKey, 0, KEY_READ, &key);
    if (v.status != ERROR_SUCCESS) {
        return v;
    }
    DWORD size = 0;
    v.status = RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &size);
    if (v.status == ERROR_SUCCESS) {
        v.bytes.resize(size);
        v.status = RegQueryValueExW(key, name, nullptr, &v.type, v.bytes.data(), &size);
        v.bytes.resize(size);
    }
    RegCloseKey(key);
    return v;
}

bool keyExists(HKEY root) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Points a predefined root at a volatile key of its own: the registry then refuses to
// create a lasting key under it (ERROR_CHILD_MUST_BE_VOLATILE), as it refuses a user
// without administrator rights under HKEY_LOCAL_MACHINE.
void refuseKeysUnder(HKEY root, const wchar_t* volatilePath) {
    HKEY target = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, volatilePath, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &target, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(root, target), ERROR_SUCCESS);
    RegCloseKey(target);
}

class RegistryBaseline : public ::testing::Test {
  protected:
    void SetUp() override { removeAll(); }
    void TearDown() override {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        removeAll();
    }
    static void removeAll() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMaker);
        RegDeleteTreeW(HKEY_CURRENT_USER, kMaker);
        RegDeleteTreeW(HKEY_CURRENT_USER, kVolatile);
    }

    // Saves `count` sample records under a freshly opened key and loads them back.
    void roundTrip(std::size_t count, std::uint32_t tag) {
        KestruneState state;
        std::shared_ptr<BaselineStore> settingsKey = openSettingsKey(*api_, desktop_);
        ASSERT_TRUE(settingsKey);
        fillTable(state.mqsCertificates, count, tag);
        const Status saved =
            saveBaseline(*settingsKey, state.mqsCertificates, static_cast<std::int32_t>(count));
        ASSERT_TRUE(saved) << saved.error();

        KestruneState loaded;
        std::shared_ptr<BaselineStore> loadedKey = openSettingsKey(*api_, desktop_);
        ASSERT_TRUE(loadedKey);
        EXPECT_FALSE(isFirstStart(*loadedKey));
        ASSERT_EQ(registry_settings_load(loadedKey.get(), loaded, desktop_, trace_), 1)
            << trace_.allText();
        EXPECT_EQ(loaded.iCertificateCountTotal_Registry, static_cast<std::int32_t>(count));
        EXPECT_TRUE(holdsSamples(loaded.mqsCertificatesRegistry, count, tag));
        EXPECT_TRUE(holdsSamples(loaded.mqsCertificates, count, tag));
        EXPECT_TRUE(desktop_.messageBoxes().empty());
    }

    std::unique_ptr<KeyedSettings> api_ = std::make_unique<win32::RegistrySettingsApi>();
    ScriptedDesktop desktop_;
    CaptureTrace trace_;
};

TEST_F(RegistryBaseline, TwelveRecordsAreStoredAsTheRegistryValuesAndLoadBack) {
    {
        auto key = openSettingsKey(*api_, desktop_);
        ASSERT_TRUE(key);
        EXPECT_EQ(key->describe(), "HKEY_LOCAL_MACHINE\\Software\\Brimtal Software\\Kestrune");
        EXPECT_TRUE(isFirstStart(*key));
    }
    roundTrip(12, 3);

    const RawValue count = rawValue(HKEY_LOCAL_MACHINE, L"Certificate Count");
    ASSERT_EQ(count.status, ERROR_SUCCESS);
    EXPECT_EQ(count.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(count.bytes, (std::vector<std::uint8_t>{'1', 0, '2', 0})) << "no terminator";
    const RawValue data = rawValue(HKEY_LOCAL_MACHINE, L"Certificate Data");
    ASSERT_EQ(data.status, ERROR_SUCCESS);
    EXPECT_EQ(data.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(data.bytes.size(), 12u * kRecordSize);
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER));
}

TEST_F(RegistryBaseline, AMegabyteBaselineRoundTrips) {
    const std::size_t records = (1 << 20) / kRecordSize + 1;  // just over 1 MB of data
    roundTrip(records, 5);
    const RawValue data = rawValue(HKEY_LOCAL_MACHINE, L"Certificate Data");
    EXPECT_EQ(data.bytes.size(), records * kRecordSize);
    EXPECT_GT(data.bytes.size(), 1u << 20);
}

TEST_F(RegistryBaseline, AMachineRootThatRefusesTheKeyFallsBackToTheUserRoot) {
    refuseKeysUnder(HKEY_LOCAL_MACHINE, kVolatile);
    {
        auto key = openSettingsKey(*api_, desktop_);
        ASSERT_TRUE(key);
        EXPECT_EQ(key->describe(), "HKEY_CURRENT_USER\\Software\\Brimtal Software\\Kestrune");
    }
    roundTrip(4, 7);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE));
    const RawValue count = rawValue(HKEY_CURRENT_USER, L"Certificate Count");
    EXPECT_EQ(count.bytes, (std::vector<std::uint8_t>{'4', 0}));
}

TEST_F(RegistryBaseline, AnExistingMachineKeyIsPreferredOverTheUserRoot) {
    HKEY machine = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kKey, &machine), ERROR_SUCCESS);
    RegCloseKey(machine);
    HKEY user = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, kKey, &user), ERROR_SUCCESS);
    RegCloseKey(user);
    auto key = openSettingsKey(*api_, desktop_);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->describe(), "HKEY_LOCAL_MACHINE\\Software\\Brimtal Software\\Kestrune");
}

TEST_F(RegistryBaseline, NoRootThatTakesTheKeyShowsTheErrorBox) {
    refuseKeysUnder(HKEY_LOCAL_MACHINE, kVolatile);
    refuseKeysUnder(HKEY_CURRENT_USER, L"Software\\Kestrune Tests Volatile\\User");
    EXPECT_EQ(openSettingsKey(*api_, desktop_), nullptr);
    const auto boxes = desktop_.messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Brimtal Software");
    EXPECT_EQ(testing::intentOf(boxes[0]), "error message as service notification");
}

}  // namespace
}  // namespace kestrune
