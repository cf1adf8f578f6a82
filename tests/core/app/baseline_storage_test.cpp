#include "baseline/baseline_storage.h"
#include "ui/baseline_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/memory_settings.h"
#include "tests/support/sample_records.h"
#include "tests/support/scripted_desktop.h"

namespace kestrune {
namespace {

using testing::DesktopCall;
using testing::fillTable;
using testing::holdsSamples;
using testing::MemorySettings;
using testing::ScriptedDesktop;

const std::string kKeyErrorText =
    "An error occured reading settings from the registry.\r\n\r\nThe program will now exit.";
const std::string kGeneralText =
    "An error occured while attempting to read settings from the registry.  The settings were "
    "either not found or invalid.\r\n\r\nThe program will now exit.";
const std::string kGeneralCaption = "Brimtal Software - Kestrune Error";

std::vector<std::uint8_t> utf16le(const std::string& ascii) {
    std::vector<std::uint8_t> out;
    for (char c : ascii) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

std::vector<std::uint8_t> sampleBlob(std::size_t count, std::uint32_t tag) {
    RecordTable t;
    fillTable(t, count, tag);
    const auto bytes = t.bytes(count);
    return {bytes.begin(), bytes.end()};
}

// A state with an open in-memory key and a baseline of 3 records (tag 1) already in
// memory, and a last scan of 4 records (tag 2).
struct Fixture {
    MemorySettings settings;
    ScriptedDesktop desktop;
    CaptureTrace trace;
    KestruneState state;
    std::shared_ptr<BaselineStore> settingsKey;

    Fixture() {
        settingsKey = settings.createKey(SettingsRoot::Machine);
        fillTable(state.mqsCertificatesRegistry, 3, 1);
        state.iCertificateCountTotal_Registry = 3;
        fillTable(state.mqsCertificates, 4, 2);
        state.iCertificateCountTotal = 4;
    }
    testing::MemoryValues& values() { return settings.values(SettingsRoot::Machine); }
    void store(const std::vector<std::uint8_t>& count, const std::vector<std::uint8_t>& data) {
        values()[BaselineValue::Count] = count;
        values()[BaselineValue::Data] = data;
    }
    int load() { return registry_settings_load(settingsKey.get(), state, desktop, trace); }
    bool keptOldBaseline() const {
        return state.iCertificateCountTotal_Registry == 3 &&
               state.mqsCertificatesRegistry.validCount() == 3 &&
               holdsSamples(state.mqsCertificatesRegistry, 3, 1) &&
               holdsSamples(state.mqsCertificates, 4, 2);
    }
};

void expectGeneralBox(const DesktopCall& box) {
    EXPECT_EQ(box.text, kGeneralText);
    EXPECT_EQ(box.caption, kGeneralCaption);
    EXPECT_EQ(testing::intentOf(box), "error message");
    EXPECT_EQ(box.owner, kNoOwner);
}

TEST(OpenSettingsKey, TriesMachineOpenThenMachineCreateThenUserCreate) {
    ScriptedDesktop desktop;
    {
        MemorySettings s;
        s.createKey(SettingsRoot::Machine);
        s.values(SettingsRoot::Machine)[BaselineValue::Fingerprints] = {1};
        auto key = openSettingsKey(s, desktop);
        ASSERT_TRUE(key);
        const StoreResult<std::uint32_t> marker = key->valueSize(BaselineValue::Fingerprints);
        ASSERT_TRUE(marker);
        EXPECT_EQ(*marker, 1u);
    }
    {
        MemorySettings s;
        s.machineOpenDenied = true;
        auto key = openSettingsKey(s, desktop);
        ASSERT_TRUE(key);
        EXPECT_TRUE(s.hasKey(SettingsRoot::Machine));
        EXPECT_FALSE(s.hasKey(SettingsRoot::User));
    }
    {
        MemorySettings s;
        s.machineOpenDenied = true;
        s.machineCreateDenied = true;
        auto key = openSettingsKey(s, desktop);
        ASSERT_TRUE(key);
        EXPECT_EQ(key->describe(),
                  std::string("memory:HKCU\\Software\\Brimtal Software\\Kestrune"));
        EXPECT_FALSE(s.hasKey(SettingsRoot::Machine));
    }
    EXPECT_TRUE(desktop.calls().empty());
}

TEST(OpenSettingsKey, NoRootLeftShowsTheErrorBoxAndGivesNull) {
    MemorySettings s;
    s.machineOpenDenied = s.machineCreateDenied = s.userCreateDenied = true;
    ScriptedDesktop desktop;
    EXPECT_EQ(openSettingsKey(s, desktop), nullptr);
    const auto boxes = desktop.calls();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].kind, DesktopCall::Kind::Message);
    EXPECT_EQ(boxes[0].text, kKeyErrorText);
    EXPECT_EQ(boxes[0].caption, "Brimtal Software");
    EXPECT_EQ(testing::intentOf(boxes[0]), "error message as service notification");
    EXPECT_EQ(boxes[0].owner, kNoOwner);
}

TEST(SaveBaseline, WritesDataAndCountDigitsWithoutTerminatorInOneCall) {
    MemorySettings s;
    auto key = s.createKey(SettingsRoot::User);
    RecordTable table;
    fillTable(table, 12, 7);
    ASSERT_TRUE(saveBaseline(*key, table, 12));
    auto& v = s.values(SettingsRoot::User);
    EXPECT_EQ(v[BaselineValue::Count], (std::vector<std::uint8_t>{0x31, 0x00, 0x32, 0x00}));
    EXPECT_EQ(v[BaselineValue::Data], sampleBlob(12, 7));
    EXPECT_EQ(s.data().writes, 1);

    // An empty table: "0" and no data bytes.
    table.resetForScan();
    ASSERT_TRUE(saveBaseline(*key, table, 0));
    EXPECT_EQ(v[BaselineValue::Count], utf16le("0"));
    EXPECT_TRUE(v[BaselineValue::Data].empty());

    s.data().failWrites = true;
    EXPECT_FALSE(saveBaseline(*key, table, 0));
}

// A count beyond the records the table holds would store a pair that disagrees.
TEST(SaveBaseline, NeverClaimsMoreRecordsThanTheTableHolds) {
    MemorySettings s;
    auto key = s.createKey(SettingsRoot::User);
    RecordTable table;
    fillTable(table, 3, 7);
    ASSERT_TRUE(saveBaseline(*key, table, 50));
    auto& v = s.values(SettingsRoot::User);
    EXPECT_EQ(v[BaselineValue::Count], utf16le("3"));
    EXPECT_EQ(v[BaselineValue::Data].size(), 3 * kRecordSize);
    ASSERT_TRUE(saveBaseline(*key, table, -4));
    EXPECT_EQ(v[BaselineValue::Count], utf16le("0"));
    EXPECT_TRUE(v[BaselineValue::Data].empty());
}

TEST(IsFirstStart, OnlyAnAbsentCountIsAFirstStart) {
    MemorySettings s;
    auto key = s.createKey(SettingsRoot::Machine);
    EXPECT_TRUE(isFirstStart(*key));
    RecordTable table;
    ASSERT_TRUE(saveBaseline(*key, table, 0));
    EXPECT_FALSE(isFirstStart(*key));
    // A store that cannot be read must not have its baseline replaced.
    s.values(SettingsRoot::Machine).erase(BaselineValue::Count);
    s.data().failReads = true;
    EXPECT_FALSE(isFirstStart(*key));
}

TEST(RegistrySettingsLoad, SavedTableComesBackIntoBothTables) {
    Fixture f;
    RecordTable scan;
    fillTable(scan, 9, 5);
    ASSERT_TRUE(saveBaseline(*f.settingsKey, scan, 9));
    f.state.iCertificateCountTotal = 17;

    EXPECT_EQ(f.load(), 1);
    EXPECT_TRUE(f.desktop.calls().empty());
    EXPECT_EQ(f.state.iCertificateCountTotal_Registry, 9);
    EXPECT_EQ(f.state.mqsCertificatesRegistry.validCount(), 9u);
    EXPECT_EQ(f.state.mqsCertificatesRegistry.size(), 10u);  // one spare record
    EXPECT_TRUE(holdsSamples(f.state.mqsCertificatesRegistry, 9, 5));
    // The front of the current table equals the baseline; the scan's count is untouched.
    EXPECT_EQ(f.state.mqsCertificates.validCount(), 9u);
    EXPECT_TRUE(holdsSamples(f.state.mqsCertificates, 9, 5));
    EXPECT_EQ(f.state.iCertificateCountTotal, 17);
    EXPECT_EQ(f.trace.outText(), "ERROR_SUCCESS: Total Count in Registry: 9(size: 5112)\r\n");
    // Each value is read out once: sizes are asked for, bytes are not fetched twice.
    EXPECT_EQ(f.settings.data().reads[BaselineValue::Data], 1);
    EXPECT_EQ(f.settings.data().reads[BaselineValue::Fingerprints], 1);
    EXPECT_EQ(f.settings.data().reads[BaselineValue::Count], 1);
}

TEST(RegistrySettingsLoad, CountZeroWithEmptyBlobIsAnEmptyBaseline) {
    Fixture f;
    f.store(utf16le("0"), {});
    EXPECT_EQ(f.load(), 1);
    EXPECT_TRUE(f.desktop.calls().empty());
    EXPECT_EQ(f.state.iCertificateCountTotal_Registry, 0);
    EXPECT_EQ(f.state.mqsCertificatesRegistry.validCount(), 0u);
    EXPECT_EQ(f.state.mqsCertificates.validCount(), 0u);
    EXPECT_EQ(f.trace.outText(), "ERROR_SUCCESS: Total Count in Registry: 0(size: 0)\r\n");
}

TEST(RegistrySettingsLoad, FailuresShowTheirMessagesAndKeepTheBaselineInMemory) {
    {
        SCOPED_TRACE("no key");
        Fixture f;
        f.settingsKey.reset();
        EXPECT_EQ(f.load(), 0);
        const auto boxes = f.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].text, "Could not open registry to query information.");
        EXPECT_EQ(boxes[0].caption, "Brimtal Pellivor Configurator");
        EXPECT_EQ(testing::intentOf(boxes[0]), "error message");
        expectGeneralBox(boxes[1]);
        EXPECT_TRUE(f.keptOldBaseline());
    }
    {
        SCOPED_TRACE("no count");
        Fixture f;
        f.values()[BaselineValue::Data] = sampleBlob(2, 9);
        EXPECT_EQ(f.load(), 0);
        const auto boxes = f.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].text, "Could not load Certificate Count from registry");
        EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune");
        EXPECT_EQ(testing::intentOf(boxes[0]), "error message");
        EXPECT_EQ(boxes[0].owner, kNoOwner);
        expectGeneralBox(boxes[1]);
        EXPECT_TRUE(f.keptOldBaseline());
    }
    {
        SCOPED_TRACE("count without data");
        Fixture f;
        f.values()[BaselineValue::Count] = utf16le("2");
        EXPECT_EQ(f.load(), 0);
        const auto boxes = f.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        expectGeneralBox(boxes[0]);
        EXPECT_EQ(f.trace.outText(), "NOT SUCCESS: Total Count in Registry: 2(size: 0)\r\n");
        EXPECT_TRUE(f.keptOldBaseline());
    }
    {
        SCOPED_TRACE("store unreadable");
        Fixture f;
        f.store(utf16le("2"), sampleBlob(2, 9));
        f.settings.data().failReads = true;
        EXPECT_EQ(f.load(), 0);
        ASSERT_EQ(f.desktop.messageBoxes().size(), 2u);
        EXPECT_TRUE(f.keptOldBaseline());
    }
    {
        // Longer than the 131,072-byte count buffer: refused, not guessed at.
        SCOPED_TRACE("count too long");
        Fixture f;
        std::vector<std::uint8_t> longCount = utf16le("2");
        longCount.resize(0x20000 + 2, 0);
        f.store(longCount, sampleBlob(2, 9));
        EXPECT_EQ(f.load(), 0);
        const auto boxes = f.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].text, "Could not load Certificate Count from registry");
        EXPECT_NE(f.trace.errText().find("131074"), std::string::npos);
        EXPECT_TRUE(f.keptOldBaseline());
    }
}

TEST(RegistrySettingsLoad, CountTextIsItsLeadingDigits) {
    struct Case {
        std::vector<std::uint8_t> text;
        std::int32_t count;
    };
    std::vector<std::uint8_t> terminated = utf16le("12");
    terminated.insert(terminated.end(), {0, 0});
    std::vector<std::uint8_t> oddTail = utf16le("4");
    oddTail.push_back('7');  // half a unit: not a digit
    const std::vector<Case> cases = {
        {utf16le("12"), 12},
        {terminated, 12},
        {utf16le("7abc"), 7},
        {utf16le("abc"), 0},
        {utf16le("-3"), 0},
        {utf16le(" 5"), 0},
        {{}, 0},
        {oddTail, 4},
        {utf16le("0004"), 4},
        {utf16le("2147483647"), 2147483647},
        {utf16le("2147483648"), 2147483647},
        {utf16le("99999999999999999999999"), 2147483647},
        {{'1', 0x01, '2', 0x00}, 0},  // U+0131 is no digit
    };
    for (const auto& c : cases) {
        Fixture f;
        f.store(c.text, {});
        ASSERT_EQ(f.load(), 1);
        const std::string out = f.trace.outText();
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), "ERROR_SUCCESS: Total Count in Registry: " +
                                                         std::to_string(c.count) + "(size: 0)\r\n");
    }
}

TEST(RegistrySettingsLoad, MismatchedPairLoadsOnlyWholeRecordsTheCountAllows) {
    {
        SCOPED_TRACE("blob shorter than the count");
        Fixture f;
        auto blob = sampleBlob(4, 9);
        blob.erase(blob.end() - 100, blob.end());  // 3 whole records and a piece
        f.store(utf16le("4"), blob);
        EXPECT_EQ(f.load(), 1);
        EXPECT_EQ(f.state.iCertificateCountTotal_Registry, 3);
        EXPECT_EQ(f.state.mqsCertificatesRegistry.validCount(), 3u);
        EXPECT_TRUE(holdsSamples(f.state.mqsCertificatesRegistry, 3, 9));
        EXPECT_TRUE(holdsSamples(f.state.mqsCertificates, 3, 9));
        EXPECT_EQ(f.trace.outText(),
                  "ERROR_SUCCESS: Total Count in Registry: 4(size: 2172)\r\n"
                  "Certificate Count 4 does not match Certificate Data of 2172 bytes (3 whole "
                  "records); loaded 3 records.\r\n"
                  "No Certificate Fingerprints stored; comparing by serial number and subject "
                  "name hash.\r\n");
    }
    {
        SCOPED_TRACE("blob longer than the count");
        Fixture f;
        f.store(utf16le("2"), sampleBlob(5, 9));
        EXPECT_EQ(f.load(), 1);
        EXPECT_EQ(f.state.iCertificateCountTotal_Registry, 2);
        EXPECT_EQ(f.state.mqsCertificatesRegistry.validCount(), 2u);
        EXPECT_EQ(f.state.mqsCertificatesRegistry.size(), 3u);
        EXPECT_TRUE(holdsSamples(f.state.mqsCertificatesRegistry, 2, 9));
        EXPECT_NE(f.trace.outText().find("Certificate Count 2 does not match Certificate Data of "
                                         "2840 bytes (5 whole records); loaded 2 records."),
                  std::string::npos);
    }
}

// Every way a load fails, with exactly the lines it writes; each keeps the baseline that
// was in memory.
TEST(RegistrySettingsLoad, EachFailureWritesItsOwnLines) {
    std::vector<std::uint8_t> longCount = utf16le("2");
    longCount.resize(0x20000 + 2, 0);
    const struct {
        const char* name;
        std::function<void(Fixture&)> arrange;
        LoadFailure failure;
        std::string out;
        std::string err;
        std::size_t boxes;
    } cases[] = {
        {"no key", [](Fixture& f) { f.settingsKey.reset(); }, LoadFailure::NoKey, "", "", 2},
        {"no count", [](Fixture& f) { f.values()[BaselineValue::Data] = sampleBlob(2, 9); },
         LoadFailure::CountUnreadable, "", "", 2},
        {"count longer than its buffer", [&](Fixture& f) { f.store(longCount, sampleBlob(2, 9)); },
         LoadFailure::CountUnreadable, "",
         "Certificate Count is 131074 bytes, more than 131072.\r\n", 2},
        {"count without data", [](Fixture& f) { f.values()[BaselineValue::Count] = utf16le("2"); },
         LoadFailure::DataUnreadable, "NOT SUCCESS: Total Count in Registry: 2(size: 0)\r\n", "",
         1},
        {"a baseline table that cannot grow to hold the data",
         [](Fixture& f) {
             f.store(utf16le("5"), sampleBlob(5, 9));
             f.state.mqsCertificatesRegistry.setRecordLimitForTesting(4);
         },
         LoadFailure::DataTooLarge, "realloc() failed for Cert data.\r\n", "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.arrange(f);
        BaselineLoad report;
        EXPECT_EQ(registry_settings_load(f.settingsKey.get(), f.state, f.desktop, f.trace, &report),
                  0);
        EXPECT_EQ(report.failure, c.failure);
        EXPECT_EQ(f.trace.outText(), c.out);
        EXPECT_EQ(f.trace.errText(), c.err);
        const auto boxes = f.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), c.boxes);
        expectGeneralBox(boxes.back());
        EXPECT_TRUE(f.keptOldBaseline());
    }
}

TEST(RegistrySettingsLoad, ACurrentTableThatCannotGrowKeepsTheLastScan) {
    Fixture f;
    f.store(utf16le("5"), sampleBlob(5, 9));
    f.state.mqsCertificates.setRecordLimitForTesting(4);
    EXPECT_EQ(f.load(), 1);
    EXPECT_NE(f.trace.outText().find("HeapReAlloc() failed mqsCertificates.\r\n"),
              std::string::npos);
    EXPECT_EQ(f.state.iCertificateCountTotal_Registry, 5);
    EXPECT_TRUE(holdsSamples(f.state.mqsCertificatesRegistry, 5, 9));
    EXPECT_TRUE(holdsSamples(f.state.mqsCertificates, 4, 2));  // the last scan, whole
    EXPECT_EQ(f.state.mqsCertificates.validCount(), 4u);
}

}  // namespace
}  // namespace kestrune
