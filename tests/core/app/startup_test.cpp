#include "app/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "inventory/text.h"
#include "tests/support/fake_program.h"
#include "ui/baseline_messages.h"

namespace kestrune {
namespace {

using testing::DesktopCall;
using testing::FakeClock;
using testing::FakeLocation;
using testing::FakeStore;
using testing::FakeStoreCatalogue;
using testing::makeCert;
using testing::MemorySettings;
using testing::ScriptedDesktop;

const LocalTime kNoScan{};

// Everything one start needs, with a store of three certificates, two of which share a
// serial: 3 in all stores, 2 unique.
struct Start : testing::FakeProgram {
    Start() {
        stores.locations.push_back(FakeLocation{
            "LocalMachine",
            {FakeStore{"Root",
                       {makeCert("Root A", {0x0a, 0x01}, 1), makeCert("Root B", {0x0b}, 2),
                        makeCert("Root A again", {0x0a, 0x01}, 3)}}}});
    }

    // Runs the main routine for `cycles` hourly cycles; `events` gets the order of the
    // UI start, the boxes and the sleeps.
    int run(int cycles) {
        MainRoutineHooks hooks;
        hooks.startUi = [this] {
            events.push_back("ui");
            loadedBeforeUi =
                trace.outText().find("registry_settings_load() retuend: ") != std::string::npos;
            scanTimeAtUi = state.lastScanTime;
            tray.addTrayIcon();
        };
        int left = cycles;
        hooks.keepRunning = [&left] { return left-- > 0; };
        desktop.onMessageBox = [this](const DesktopCall& c) {
            events.push_back("box " + c.caption);
        };
        clock.onSleep = [this](std::uint32_t) { events.push_back("sleep"); };
        return mainRoutine(program, hooks);
    }

    std::vector<DesktopCall> boxesCaptioned(const std::string& caption) {
        std::vector<DesktopCall> out;
        for (const auto& b : desktop.messageBoxes()) {
            if (b.caption == caption) {
                out.push_back(b);
            }
        }
        return out;
    }

    std::vector<std::string> events;
    bool loadedBeforeUi = false;
    LocalTime scanTimeAtUi{};
};

TEST(ArgumentEcho, OneBoxPerArgumentOnlyWhenThereIsMoreThanOne) {
    ScriptedDesktop alone;
    echoArguments({"/usr/bin/kestrune"}, alone);
    EXPECT_TRUE(alone.calls().empty());

    ScriptedDesktop two;
    echoArguments({"/usr/bin/kestrune", "-Install", "second word"}, two);
    const auto boxes = two.messageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    const std::vector<std::string> texts = {"/usr/bin/kestrune", "-Install", "second word"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(boxes[i].text, texts[i]);
        EXPECT_EQ(boxes[i].caption, "Arglist contents");
        EXPECT_EQ(testing::intentOf(boxes[i]), "plain message");
        EXPECT_EQ(boxes[i].owner, kNoOwner);
    }
}

TEST(ArgumentEcho, ReservedWordsAreTheFirstArgumentIgnoringCase) {
    EXPECT_EQ(reservedWord({"kestrune", "-INSTALL"}), ReservedWord::Install);
    EXPECT_EQ(reservedWord({"kestrune", "-UnInstall", "x"}), ReservedWord::Uninstall);
    EXPECT_EQ(reservedWord({"kestrune", "-service"}), ReservedWord::Service);
    EXPECT_EQ(reservedWord({"kestrune", "-installer"}), ReservedWord::None);
    EXPECT_EQ(reservedWord({"kestrune", "x", "-service"}), ReservedWord::None);
    EXPECT_EQ(reservedWord({"-service"}), ReservedWord::None);  // the program path
    EXPECT_EQ(reservedWord({}), ReservedWord::None);
}

TEST(ArgumentEcho, TheWholeProgramEchoesBeforeAnythingElse) {
    Start s;
    MainRoutineHooks hooks;
    hooks.keepRunning = [] { return false; };
    s.program.run({"kestrune", "a"}, hooks);
    const auto boxes = s.desktop.messageBoxes();
    ASSERT_GE(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].caption, "Arglist contents");
    EXPECT_EQ(boxes[1].text, "a");
    EXPECT_EQ(boxes[2].caption, kFirstStartCaption);
}

TEST(Startup, SummaryTextCarriesBothCountsAndFitsItsBuffer) {
    EXPECT_EQ(baselineSummaryText(2, 3),
              "Brimtal Kestrune discovered the following certificates and has recorded a "
              "baseline:\r\n\r\nUnique Certificates: 2 certificates\r\nAll certificates in all "
              "stores: 3 certificates\r\n\r\n\r\nKestrune will now monitor changes to this "
              "baseline hourly.");
    const std::string widest = baselineSummaryText(INT32_MIN, INT32_MIN);
    EXPECT_NE(widest.find("Unique Certificates: -2147483648 certificates"), std::string::npos);
    EXPECT_LT(utf8ToUtf16(widest).size(), 256u);
}

TEST(Startup, FirstStartAnnouncesScansSummarisesSavesThenLoadsAndCyclesAtOnce) {
    Start s;
    s.run(2);

    const auto boxes = s.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text,
              "Brimtal Kestrune will now gather baseline certificate information from the "
              "system certificate stores.");
    EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune");
    EXPECT_EQ(testing::intentOf(boxes[0]), "information message");
    EXPECT_EQ(boxes[0].owner, kNoOwner);
    EXPECT_EQ(boxes[1].text, baselineSummaryText(2, 3));
    EXPECT_EQ(boxes[1].caption, "Brimtal Kestrune - Certificate Baseline");
    EXPECT_EQ(testing::intentOf(boxes[1]), "information message");

    // The baseline was stored before the first load, which therefore found it.
    const auto& values = s.settings.values(SettingsRoot::Machine);
    ASSERT_TRUE(values.count(BaselineValue::Data));
    EXPECT_EQ(values.at(BaselineValue::Data).size(), 3u * sizeof(CertificateRecord));
    EXPECT_NE(s.trace.outText().find("registry_settings_load() retuend: 1\r\n"), std::string::npos);
    EXPECT_EQ(s.trace.outText().find("COULD NOT OPEN REGISTRY!!!"), std::string::npos);
    EXPECT_EQ(s.state.iCertificateCountTotal_Registry, 3);

    // Boxes, then the UI start after the load and before any cycle, then a cycle at once
    // and one hour of sleep after each.
    const std::vector<std::string> order = {"box Brimtal Kestrune",
                                            "box Brimtal Kestrune - Certificate Baseline", "ui",
                                            "sleep", "sleep"};
    EXPECT_EQ(s.events, order);
    EXPECT_TRUE(s.loadedBeforeUi);
    EXPECT_EQ(s.scanTimeAtUi, kNoScan);
    EXPECT_EQ(s.clock.sleeps(), (std::vector<std::uint32_t>{3'600'000, 3'600'000}));
    EXPECT_EQ(s.state.lastScanTime, s.clock.localTime());

    // The unchanged stores end each cycle with the hourly notice on the icon.
    const auto notices = s.desktop.notices();
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[0].text, "Initializing...");
    EXPECT_EQ(notices[1].text, "Hourly certificate scan complete");
    EXPECT_EQ(notices[2].text, "Hourly certificate scan complete");
}

TEST(Startup, FirstStartWithAnUnreadableStoreRecordsTheRestAndNamesIt) {
    Start s;
    s.stores.locations[0].stores.push_back(FakeStore{"Locked", {makeCert("L", {0x0c}, 4)}});
    s.stores.locations[0].stores.back().opens = false;
    s.run(0);
    const auto unreadable = s.boxesCaptioned("Brimtal Kestrune - Certificate Store Unreadable");
    ASSERT_EQ(unreadable.size(), 1u);
    EXPECT_NE(unreadable[0].text.find("LocalMachine\\Locked: access denied"), std::string::npos)
        << unreadable[0].text;
    EXPECT_EQ(s.boxesCaptioned("Brimtal Kestrune - Certificate Baseline").size(), 1u);
    EXPECT_EQ(s.settings.values(SettingsRoot::Machine).at(BaselineValue::Data).size(),
              3u * sizeof(CertificateRecord));
}

TEST(Startup, LaterStartShowsNoFirstStartBoxesAndLoadsTheStoredBaseline) {
    Start first;
    first.run(0);
    const auto stored = first.settings.values(SettingsRoot::Machine);

    Start later;
    later.settings.values(SettingsRoot::Machine) = stored;
    // A certificate appeared since the baseline: the first cycle must see the stored one.
    later.stores.locations[0].stores[0].certs.push_back(makeCert("New", {0x0c}, 4));
    later.desktop.script({Answer::no});
    later.run(1);

    const auto boxes = later.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Added");
    EXPECT_EQ(boxes[1].caption, "Brimtal Kestrune - Certificate Changes");
    EXPECT_TRUE(later.boxesCaptioned(kFirstStartCaption).empty());
    EXPECT_NE(later.trace.outText().find("registry_settings_load() retuend: 1\r\n"),
              std::string::npos);
    // Answered No: the stored baseline is untouched.
    EXPECT_EQ(later.settings.values(SettingsRoot::Machine).at(BaselineValue::Data),
              stored.at(BaselineValue::Data));
}

TEST(Startup, AFailedLoadIsReportedAndTheProgramGoesOn) {
    Start s;
    // A count without data: the load fails after its message.
    const std::u16string five = u"5";
    s.settings.values(SettingsRoot::Machine)[BaselineValue::Count] = {
        reinterpret_cast<const std::uint8_t*>(five.data()),
        reinterpret_cast<const std::uint8_t*>(five.data()) + 2};
    s.run(1);

    EXPECT_NE(s.trace.outText().find("registry_settings_load() retuend: 0\r\nCOULD NOT OPEN "
                                     "REGISTRY!!!"),
              std::string::npos);
    EXPECT_TRUE(s.boxesCaptioned(kFirstStartCaption).empty());
    EXPECT_FALSE(s.boxesCaptioned("Brimtal Software - Kestrune Error").empty());
    EXPECT_EQ(s.events.back(), "sleep");  // the UI started and the first cycle ran
    EXPECT_EQ(s.state.lastScanTime, s.clock.localTime());
}

TEST(Startup, NoSettingsKeyAnywhereShowsItsBoxAndEndsWithMinusOne) {
    Start s;
    s.settings.machineOpenDenied = true;
    s.settings.machineCreateDenied = true;
    s.settings.userCreateDenied = true;
    EXPECT_EQ(s.run(1), kExitNoSettingsKey);
    EXPECT_EQ(s.boxesCaptioned(kKeyErrorCaption).size(), 1u);
    EXPECT_TRUE(s.events.empty() || s.events.back() == "box Brimtal Software");  // no UI, no cycle
}

TEST(Startup, OutOfMemoryEndsWithThreeAndSavesNothing) {
    Start first;  // at first start: the scan stops, nothing is recorded
    first.state.mqsCertificates.setRecordLimitForTesting(2);
    EXPECT_EQ(first.run(1), kExitOutOfMemory);
    EXPECT_NE(first.trace.outText().find("Memory Error.\r\n"), std::string::npos);
    EXPECT_TRUE(first.boxesCaptioned(kSummaryCaption).empty());
    EXPECT_FALSE(first.settings.values(SettingsRoot::Machine).count(BaselineValue::Count));

    Start later;  // in an hourly cycle: nothing compared, asked or saved
    later.run(0);
    const int writes = later.settings.data().writes;
    later.desktop.clear();
    later.state.mqsCertificates.setRecordLimitForTesting(1);
    EXPECT_EQ(later.run(1), kExitOutOfMemory);
    EXPECT_EQ(later.settings.data().writes, writes);
    EXPECT_TRUE(later.boxesCaptioned("Brimtal Kestrune - Certificate Missing").empty());
    // Scan Now as well: the program is asked to end, through the entry point.
    later.state.mqsCertificates.setRecordLimitForTesting(1);
    EXPECT_TRUE(later.program.userScan());
    EXPECT_EQ(later.endedWith, std::vector<int>{kExitOutOfMemory});
}

TEST(StoreChanges, AChangeEndsTheHourlyWaitAndTheCycleThatFollowsIsTheHourlyOne) {
    Start first;
    first.run(0);  // the baseline
    Start s;
    s.settings.values(SettingsRoot::Machine) = first.settings.values(SettingsRoot::Machine);
    // Twenty minutes into the first hour a certificate appears.
    s.changes.changeAt(1'200'000);
    s.clock.onSleep = [&s](std::uint32_t) {
        if (s.clock.monotonicMs() == 1'200'000) {
            s.stores.locations[0].stores[0].certs.push_back(makeCert("New", {0x0c}, 4));
        }
    };
    // While the first box waits for the user, the stores change again: the source keeps
    // the change, and the cycle after the answer reports it at once.
    int boxes = 0;
    s.desktop.onMessageBox = [&](const DesktopCall&) {
        if (boxes++ == 0) {
            s.stores.locations[0].stores[0].certs.push_back(makeCert("Newer", {0x0d}, 5));
            s.changes.change();
        }
    };
    s.desktop.script({Answer::ok, Answer::yes, Answer::ok, Answer::no});
    MainRoutineHooks hooks;
    hooks.startUi = [&s] { s.tray.addTrayIcon(); };
    int left = 3;
    hooks.keepRunning = [&left] { return left-- > 0; };
    EXPECT_EQ(mainRoutine(s.program, hooks), 0);

    // Twenty minutes and two quiet seconds; after the answered boxes a look without
    // waiting finds the box's change, and the next cycle runs at once; then a full hour.
    EXPECT_EQ(s.changes.waits(),
              (std::vector<std::uint32_t>{kScanIntervalMs, 2'000, 0, 0, kScanIntervalMs}));
    EXPECT_EQ(s.clock.sleeps(), (std::vector<std::uint32_t>{1'200'000, 2'000, 0, kScanIntervalMs}));
    const auto added = s.boxesCaptioned("Brimtal Kestrune - Certificate Added");
    ASSERT_EQ(added.size(), 2u);
    EXPECT_NE(added[0].text.find("Certificate Name: New "), std::string::npos);
    EXPECT_NE(added[1].text.find("Certificate Name: Newer "), std::string::npos);
    // Not Scan Now: the cycles end with the hourly notice.
    const auto notices = s.desktop.notices();
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[1].text, "Hourly certificate scan complete");
    EXPECT_EQ(notices[2].text, "New certificate baseline saved in the registry");
    EXPECT_EQ(s.desktop.messageBoxes().size(), 4u);
}

TEST(StoreChanges, ProblemsGoToTheTraceOnceAndAStoppedSourceEndsTheProgram) {
    Start s;
    s.changes.addProblem("/etc/ssl/certs: not watched: Permission denied");
    int hours = 0;
    s.clock.onSleep = [&](std::uint32_t) {
        if (++hours == 3) {
            s.changes.stop();
        }
    };
    MainRoutineHooks hooks;
    EXPECT_EQ(mainRoutine(s.program, hooks), 0);
    EXPECT_EQ(hours, 3);
    const std::string err = s.trace.errText();
    const std::string line =
        "Not watched, scanned hourly: /etc/ssl/certs: not watched: Permission denied\n";
    ASSERT_NE(err.find(line), std::string::npos) << err;
    EXPECT_EQ(err.find(line, err.find(line) + 1), std::string::npos) << err;
}

}  // namespace
}  // namespace kestrune
