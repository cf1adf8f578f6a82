// The registry change source against Wine's registry: real keys, real notifications.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "app/ports.h"
#include "platform/platform.h"
#include "platform/win32/watch/registry_change_source.h"
#include "tests/platform/win32/added_certificate.h"

namespace kestrune {
namespace {

using Wake = ChangeSource::Wake;
using win32::RegistryChangeSource;

constexpr std::uint32_t kBound = 60'000;  // a change is seen long before this
constexpr std::uint32_t kQuiet = 500;     // long enough for a wrong wake to show

class RegistryChangeSourceTest : public ::testing::Test {
  protected:
    static constexpr const wchar_t* kTop = L"Software\\Kestrune Tests";
    static constexpr const wchar_t* kStores = L"Software\\Kestrune Tests\\Watch\\Stores";

    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kTop);
        create(kTop);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kTop); }

    static void create(const std::wstring& path) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void setValue(const std::wstring& path, const wchar_t* name, DWORD value) {
        ASSERT_EQ(
            RegSetKeyValueW(HKEY_CURRENT_USER, path.c_str(), name, REG_DWORD, &value, sizeof value),
            ERROR_SUCCESS);
    }
};

TEST_F(RegistryChangeSourceTest, ValuesAndSubkeysWakeOnceForAllChangesAndAreWatchedAgain) {
    create(kStores);
    RegistryChangeSource source({{HKEY_CURRENT_USER, kStores}});
    EXPECT_TRUE(source.problems().empty());
    EXPECT_EQ(source.waitForChange(kQuiet), Wake::TimedOut);

    // Two changes before anyone waits: kept, and one wake for both.
    setValue(kStores, L"Blob", 1);
    create(std::wstring(kStores) + L"\\Root\\Certificates\\AB");
    EXPECT_EQ(source.waitForChange(kBound), Wake::Changed);
    EXPECT_EQ(source.waitForChange(kQuiet), Wake::TimedOut);

    // Armed again: a value deep in the subtree wakes the next wait too.
    setValue(std::wstring(kStores) + L"\\Root\\Certificates\\AB", L"Blob", 2);
    EXPECT_EQ(source.waitForChange(kBound), Wake::Changed);
}

TEST_F(RegistryChangeSourceTest, AMissingKeyIsSeenWhenCreatedDeletedAndCreatedAgain) {
    RegistryChangeSource source({{HKEY_CURRENT_USER, kStores}});
    EXPECT_TRUE(source.problems().empty()) << "a missing key is watched through its parent";

    // Something else appearing on the way is no change of a store.
    create(L"Software\\Kestrune Tests\\Other");
    create(L"Software\\Kestrune Tests\\Watch");
    EXPECT_EQ(source.waitForChange(kQuiet), Wake::TimedOut);

    create(kStores);
    EXPECT_EQ(source.waitForChange(kBound), Wake::Changed);
    setValue(kStores, L"Blob", 1);
    EXPECT_EQ(source.waitForChange(kBound), Wake::Changed) << "the key itself is watched now";

    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kestrune Tests\\Watch"), ERROR_SUCCESS);
    EXPECT_EQ(source.waitForChange(kBound), Wake::Changed);
    create(kStores);
    EXPECT_EQ(source.waitForChange(kBound), Wake::Changed);
}

TEST_F(RegistryChangeSourceTest, StopEndsTheWaitFromAnotherThreadAndEveryLaterOne) {
    RegistryChangeSource source({{HKEY_CURRENT_USER, kTop}});
    std::thread stopper([&] { source.stop(); });
    EXPECT_EQ(source.waitForChange(INFINITE), Wake::Stopped);
    stopper.join();
    setValue(kTop, L"Blob", 1);
    EXPECT_EQ(source.waitForChange(kBound), Wake::Stopped);
}

TEST_F(RegistryChangeSourceTest, ACertificateAddedToAUserStoreWakesTheStoreKeysWatch) {
    RegistryChangeSource source;  // the keys of every store location
    EXPECT_TRUE(source.problems().empty()) << source.problems().front();
    {
        const testing::AddedCertificate added(L"My");
        ASSERT_TRUE(added.ok());
        EXPECT_EQ(source.waitForChange(kBound), Wake::Changed);
    }
    EXPECT_EQ(source.waitForChange(kBound), Wake::Changed) << "and removed";
}

TEST_F(RegistryChangeSourceTest, CtrlCStopsTheSourceInsteadOfEndingTheProcess) {
    RegistryChangeSource source({{HKEY_CURRENT_USER, kTop}});
    stopOnTermination(source);
    // The test runs without a console of its own; Ctrl+C needs one.
    FreeConsole();
    ASSERT_NE(AllocConsole(), 0) << GetLastError();
    ASSERT_NE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0), 0) << GetLastError();
    EXPECT_EQ(source.waitForChange(kBound), Wake::Stopped);
}

}  // namespace
}  // namespace kestrune
