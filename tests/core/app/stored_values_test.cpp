// Telling a whole baseline from none and from damage, and the two key-choosing rules:
// kestrune-check's (never a new baseline while one can be read) and the tray program's
// (its order, with a line when it passes over the machine's baseline).
#include "baseline/stored_values.h"
#include "baseline/key_choice.h"
#include "ui/baseline_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/memory_settings.h"
#include "tests/support/scripted_desktop.h"

namespace kestrune {
namespace {

using testing::MemorySettings;

std::vector<std::uint8_t> utf16(const std::u16string& text) {
    std::vector<std::uint8_t> out;
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xff));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

StoredValues values(const std::u16string* count, std::uint32_t dataBytes, bool data = true) {
    StoredValues v;
    v.hasCount = count != nullptr;
    if (count) {
        v.countText = utf16(*count);
        v.countBytes = static_cast<std::uint32_t>(v.countText.size());
    }
    v.hasData = data;
    v.dataBytes = data ? dataBytes : 0;
    return v;
}

TEST(StoredValues, OnlyAMatchingCountAndWholeRecordsAreABaseline) {
    const std::u16string three = u"3", zero = u"0", terminated = std::u16string(u"3\0\0", 3);
    EXPECT_EQ(judgeStoredValues(values(nullptr, 0, false)).state, StoredState::Empty);
    for (const auto& [count, bytes] : std::vector<std::pair<std::u16string, std::uint32_t>>{
             {three, 3 * kRecordSize}, {zero, 0}, {terminated, 3 * kRecordSize}}) {
        const StoredVerdict v = judgeStoredValues(values(&count, bytes));
        EXPECT_EQ(v.state, StoredState::Whole) << v.what;
        EXPECT_EQ(v.count, count == zero ? 0 : 3);
    }
    const std::u16string abc = u"abc", empty, minus = u"-3", spaced = u"3 ", huge = u"2147483648",
                         afterNul = std::u16string(
                             u"3\0"
                             u"4",
                             3);
    const struct {
        const std::u16string* count;
        std::uint32_t bytes;
        bool data;
        const char* says;
    } damaged[] = {
        {&three, 0, false, "\"Certificate Data\" is missing"},
        {nullptr, 3 * kRecordSize, true, "\"Certificate Count\" is missing"},
        {&abc, 3 * kRecordSize, true, "not a number of records (\"abc\")"},
        {&empty, 0, true, "not a number"},
        {&minus, 0, true, "not a number"},
        {&spaced, 3 * kRecordSize, true, "not a number"},
        {&huge, 0, true, "not a number"},
        {&afterNul, 3 * kRecordSize, true, "not a number"},
        {&three, 3 * kRecordSize - 1, true, "holds 1703 bytes, not whole records of 568 bytes"},
        {&three, 2 * kRecordSize, true, "says 3 records but \"Certificate Data\" holds 2"},
    };
    for (const auto& d : damaged) {
        const StoredVerdict v = judgeStoredValues(values(d.count, d.bytes, d.data));
        EXPECT_EQ(v.state, StoredState::Damaged) << d.says;
        EXPECT_NE(v.what.find(d.says), std::string::npos) << v.what;
    }
    StoredValues odd = values(&three, 3 * kRecordSize);
    odd.countText.push_back('7');
    odd.countBytes = 3;
    EXPECT_EQ(judgeStoredValues(odd).state, StoredState::Damaged);
    StoredValues foreign = values(nullptr, 0, false);
    foreign.foreign = "x.db: the file is empty (0 bytes)";
    EXPECT_EQ(judgeStoredValues(foreign).what, foreign.foreign);  // never a first run
}

struct Settings : MemorySettings {
    void store(SettingsRoot root, const std::u16string& count, std::size_t records) {
        values(root)[BaselineValue::Count] = utf16(count);
        values(root)[BaselineValue::Data] = std::vector<std::uint8_t>(records * kRecordSize, 0x41);
    }
};

TEST(CheckKeyChoice, AMachineBaselineIsReadEvenWhereItCannotBeWritten) {
    Settings s;
    s.store(SettingsRoot::Machine, u"2", 2);
    s.machineOpenDenied = true;
    s.machineCreateDenied = true;
    const ChosenKey chosen = chooseSettingsKey(s, KeyUse::Check);
    ASSERT_TRUE(chosen.key);
    EXPECT_EQ(chosen.root, SettingsRoot::Machine);
    EXPECT_FALSE(chosen.writable);
    EXPECT_EQ(chosen.verdict.state, StoredState::Whole);
    EXPECT_EQ(chosen.note, "");  // the first store tried
    EXPECT_FALSE(s.hasKey(SettingsRoot::User));
    EXPECT_EQ(s.data().writes, 0);

    s.machineOpenDenied = false;
    EXPECT_TRUE(chooseSettingsKey(s, KeyUse::Check).writable);
}

TEST(CheckKeyChoice, DamageIsReportedAsItIsAndTheUserIsUsedOnlyWithoutAMachineBaseline) {
    Settings s;
    s.values(SettingsRoot::Machine)[BaselineValue::Count] = utf16(u"3");
    ChosenKey chosen = chooseSettingsKey(s, KeyUse::Check);
    EXPECT_EQ(chosen.root, SettingsRoot::Machine);
    EXPECT_EQ(chosen.verdict.state, StoredState::Damaged);
    EXPECT_FALSE(s.hasKey(SettingsRoot::User));

    // A machine key that holds nothing and cannot be written: the user's, said so.
    Settings empty;
    empty.values(SettingsRoot::Machine);
    empty.machineOpenDenied = true;
    empty.machineCreateDenied = true;
    chosen = chooseSettingsKey(empty, KeyUse::Check);
    ASSERT_TRUE(chosen.key);
    EXPECT_EQ(chosen.root, SettingsRoot::User);
    EXPECT_TRUE(chosen.writable);
    EXPECT_EQ(chosen.verdict.state, StoredState::Empty);
    EXPECT_EQ(chosen.note.rfind("using user:", 0), 0u) << chosen.note;
    EXPECT_NE(chosen.note.find("holds no baseline"), std::string::npos) << chosen.note;

    empty.userCreateDenied = true;
    chosen = chooseSettingsKey(empty, KeyUse::Check);
    EXPECT_FALSE(chosen.key);
    EXPECT_NE(chosen.error.find("no settings could be"), std::string::npos);
}

TEST(TrayKeyChoice, KeepsItsOrderAndSaysWhenItPassesOverTheMachineBaseline) {
    testing::ScriptedDesktop desktop;
    CaptureTrace trace;
    Settings s;
    s.store(SettingsRoot::Machine, u"1", 1);
    s.machineOpenDenied = true;
    s.machineCreateDenied = true;
    auto key = openSettingsKey(s, desktop, &trace);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->describe(), "memory:HKCU\\Software\\Brimtal Software\\Kestrune");
    const std::string line = trace.errText();
    EXPECT_NE(line.find("memory:HKLM\\"), std::string::npos) << line;
    EXPECT_NE(line.find("using memory:HKCU\\"), std::string::npos) << line;

    Settings fresh;  // no machine baseline to pass over: nothing said
    fresh.machineOpenDenied = true;
    fresh.machineCreateDenied = true;
    trace.clear();
    ASSERT_TRUE(openSettingsKey(fresh, desktop, &trace));
    EXPECT_EQ(trace.errText(), "");
}

}  // namespace
}  // namespace kestrune
