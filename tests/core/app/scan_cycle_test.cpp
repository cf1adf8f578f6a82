#include "baseline/scan_cycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>

#include "baseline/baseline_storage.h"
#include "inventory/scanner.h"
#include "tests/support/fake_program.h"
#include "ui/baseline_messages.h"

namespace kestrune {
namespace {

using testing::DesktopCall;
using testing::FakeCert;
using testing::FakeClock;
using testing::FakeLocation;
using testing::FakeStore;
using testing::FakeStoreCatalogue;
using testing::makeCert;
using testing::MemorySettings;
using testing::ScriptedDesktop;

// One program's worth of state and fakes, with a stored baseline loaded as at start-up.
struct Harness : testing::FakeProgram {
    explicit Harness(std::vector<FakeCert> certs) {
        stores.locations.push_back(FakeLocation{"LocalMachine", {FakeStore{"Root", certs}}});
        settingsKey = openSettingsKey(settings, desktop);
    }

    // Stores what the fake stores hold now as the baseline and loads it.
    void recordBaseline() {
        scan(state, stores, trace);
        EXPECT_TRUE(
            saveBaseline(*settingsKey, state.mqsCertificates, state.iCertificateCountTotal));
        EXPECT_EQ(registry_settings_load(settingsKey.get(), state, desktop, trace), 1);
        desktop.clear();
        trace.clear();
    }
    std::vector<FakeCert>& certs() { return stores.locations[0].stores[0].certs; }
    std::string storedCount() {
        const auto& v = settings.values(SettingsRoot::Machine)[BaselineValue::Count];
        std::string s;
        for (std::size_t i = 0; i < v.size(); i += 2) {
            s.push_back(static_cast<char>(v[i]));
        }
        return s;
    }
};

std::vector<FakeCert> threeCerts() {
    return {makeCert("Alpha", {0x01, 0x02}, 1), makeCert("Beta", {0x03}, 2),
            makeCert("Gamma", {0x04, 0x05, 0x06}, 3)};
}

TEST(ScanCycle, UnchangedStoresPostTheScanCompleteNoticeWithTheTooltip) {
    Harness h(threeCerts());
    h.recordBaseline();
    h.tray.addTrayIcon();
    h.clock.set({2026, 1, 2, 3, 4, 5});
    scanCycle(h.context, 0);

    EXPECT_TRUE(h.desktop.messageBoxes().empty());
    const auto notices = h.desktop.notices();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].kind, DesktopCall::Kind::TrayModify);
    EXPECT_EQ(notices[1].notice.balloonText, "Hourly certificate scan complete");
    EXPECT_EQ(notices[1].notice.tooltip,
              "Brimtal Kestrune\r\nTotal Unique Certificates: 3\r\nLast Scan: 2026-01-02 03:04:05");
    EXPECT_EQ(h.state.lastScanTime, (LocalTime{2026, 1, 2, 3, 4, 5}));
    const std::string sep = "========================================\r\n\r\n";
    const std::string count =
        "iCertificateCountTotal_Registry = 3 and iCertificateCountTotal = 3\r\n";
    const std::string out = h.trace.outText();
    EXPECT_NE(out.find(sep + count + count + sep), std::string::npos);

    scanCycle(h.context, 1);
    EXPECT_EQ(h.desktop.notices().back().notice.balloonText, "User initiated scan complete");
}

TEST(ScanCycle, EmptyBaselineReportsNothing) {
    Harness h({});
    h.recordBaseline();  // count 0
    h.certs() = threeCerts();
    h.tray.addTrayIcon();
    scanCycle(h.context, 0);
    EXPECT_TRUE(h.desktop.messageBoxes().empty());
    EXPECT_EQ(h.desktop.notices().back().notice.balloonText, "Hourly certificate scan complete");
}

TEST(ScanCycle, EmptyScanReportsTheFirstBaselineRecordMissingAndNothingAdded) {
    Harness h(threeCerts());
    h.recordBaseline();
    h.certs().clear();
    scanCycle(h.context, 0);
    const auto boxes = h.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text,
              "A certificate is missing from the \"$Root\" Certificate Store\r\n\r\n"
              "Certificate Name: Alpha \r\nSerial Number: 01 02 ");
    EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Missing");
    EXPECT_EQ(testing::intentOf(boxes[0]), "warning message");
    EXPECT_EQ(boxes[0].owner, kNoOwner);
    EXPECT_EQ(boxes[1].caption, "Brimtal Kestrune - Certificate Changes");
    EXPECT_EQ(testing::intentOf(boxes[1]), "warning yes/no question, default yes");
}

TEST(ScanCycle, TwoNewCertificatesGiveOneMessageOneQuestionAndOnYesOneSave) {
    Harness h(threeCerts());
    h.recordBaseline();
    h.tray.addTrayIcon();
    h.certs().push_back(makeCert("New One", {0x0a, 0x0b}, 10));
    h.certs().push_back(makeCert("New Two", {0x0c}, 11));
    const int writesBefore = h.settings.data().writes;
    h.desktop.script({Answer::ok, Answer::yes});
    scanCycle(h.context, 0);

    const auto boxes = h.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text,
              "A new certificate has been added to the \"Root\" Certificate Store\r\n\r\n"
              "Certificate Name: New One \r\nSerial Number: 0a 0b ");
    EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Added");
    EXPECT_EQ(testing::intentOf(boxes[0]), "warning message");
    EXPECT_EQ(boxes[1].text,
              "Do you want to save the observed certificate changes as the new baseline?");
    EXPECT_EQ(h.settings.data().writes, writesBefore + 1);
    EXPECT_EQ(h.storedCount(), "5");
    EXPECT_EQ(h.desktop.notices().back().notice.balloonText,
              "New certificate baseline saved in the registry");
    // The reload at the end brought the new baseline in.
    EXPECT_EQ(h.state.iCertificateCountTotal_Registry, 5);

    h.desktop.clear();
    scanCycle(h.context, 0);
    EXPECT_TRUE(h.desktop.messageBoxes().empty());
}

TEST(ScanCycle, AnsweringNoKeepsTheBaselineAndTheNextCycleReportsAgain) {
    Harness h(threeCerts());
    h.recordBaseline();
    h.tray.addTrayIcon();
    h.certs().erase(h.certs().begin() + 1);  // Beta removed
    const int writesBefore = h.settings.data().writes;
    for (int cycle = 0; cycle < 2; ++cycle) {
        h.desktop.clear();
        h.desktop.script({Answer::ok, Answer::no});
        scanCycle(h.context, 0);
        const auto boxes = h.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 2u) << cycle;
        EXPECT_NE(boxes[0].text.find("Certificate Name: Beta \r\n"), std::string::npos);
        EXPECT_EQ(h.desktop.notices().size(), 0u);  // no balloon after No
    }
    EXPECT_EQ(h.settings.data().writes, writesBefore);
    EXPECT_EQ(h.storedCount(), "3");
}

// Yes to saving, and the store refuses the write: no "saved" balloon, a box that says
// so, and the old baseline in memory, so the next cycle asks again.
TEST(ScanCycle, ASaveThatFailsIsReportedAndNeverAnnouncedAsSaved) {
    Harness h(threeCerts());
    h.recordBaseline();
    h.tray.addTrayIcon();
    h.certs().push_back(makeCert("New One", {0x0a, 0x0b}, 10));
    h.settings.data().failWrites = true;
    h.desktop.script({Answer::ok, Answer::yes});
    scanCycle(h.context, 0);

    const auto boxes = h.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2].text.rfind("The observed certificates could not be saved as the new "
                                  "baseline.\r\n\r\nmemory:HKLM\\",
                                  0),
              0u)
        << boxes[2].text;
    EXPECT_EQ(testing::intentOf(boxes[2]), "error message");
    ASSERT_EQ(h.desktop.notices().size(), 1u);  // the icon's own, no balloon since
    EXPECT_EQ(h.desktop.notices()[0].kind, DesktopCall::Kind::TrayAdd);
    EXPECT_EQ(h.storedCount(), "3");
    EXPECT_EQ(h.state.iCertificateCountTotal_Registry, 3);

    h.settings.data().failWrites = false;
    h.desktop.clear();
    h.desktop.script({Answer::ok, Answer::yes});
    scanCycle(h.context, 0);
    ASSERT_EQ(h.desktop.messageBoxes().size(), 2u);
    EXPECT_EQ(h.desktop.notices().back().notice.balloonText, kNoticeSaved);
    EXPECT_EQ(h.storedCount(), "4");
}

TEST(ScanCycle, ACertificateThatMovedStoresIsReportedInNeitherDirection) {
    Harness h(threeCerts());
    h.recordBaseline();
    h.stores.locations[0].stores.push_back(FakeStore{"CA", {h.certs()[2]}});
    h.certs().pop_back();
    scanCycle(h.context, 0);
    EXPECT_TRUE(h.desktop.messageBoxes().empty());
}

TEST(Tray, NoticeBeforeTheIconExistsChangesNothing) {
    ScriptedDesktop desktop;
    KestruneState state;
    Tray tray(desktop, state);
    tray.showTrayNotice(kNoticeHourly);
    EXPECT_TRUE(desktop.calls().empty());
    state.uniqueCertificateCount = 7;
    tray.setOwner(42);
    tray.addTrayIcon();
    const auto calls = desktop.calls();
    ASSERT_EQ(calls.size(), 1u);
    const TrayNotice& n = calls[0].notice;
    EXPECT_EQ(calls[0].kind, DesktopCall::Kind::TrayAdd);
    EXPECT_EQ(n.owner, 42u);
    EXPECT_EQ(n.tooltip, "Brimtal Kestrune\r\nTotal Certificate Count: 7");
    EXPECT_EQ(n.balloonText, "Initializing...");
    EXPECT_EQ(n.balloonTitle, "Brimtal Kestrune");
}

// Two threads running cycles: every cycle's store events form one unbroken block.
TEST(ScanCycle, CyclesOnTwoThreadsNeverInterleave) {
    Harness h(threeCerts());
    h.stores.locations[0].stores.push_back(FakeStore{"CA", {makeCert("Delta", {9}, 9)}});
    h.recordBaseline();
    std::mutex eventsMutex;
    std::vector<std::thread::id> events;
    h.stores.onEvent = [&](const std::string&) {
        std::lock_guard lock(eventsMutex);
        events.push_back(std::this_thread::get_id());
        std::this_thread::yield();
    };
    constexpr int kCycles = 20;
    auto run = [&] {
        for (int i = 0; i < kCycles; ++i) {
            scanCycle(h.context, 0);
        }
    };
    std::thread a(run);
    std::thread b(run);
    a.join();
    b.join();
    constexpr std::size_t kPerCycle = 4;  // open and close of two stores
    ASSERT_EQ(events.size(), 2 * kCycles * kPerCycle);
    for (std::size_t i = 0; i < events.size(); i += kPerCycle) {
        for (std::size_t j = 1; j < kPerCycle; ++j) {
            ASSERT_EQ(events[i + j], events[i]) << "cycle starting at event " << i;
        }
    }
}

TEST(ScanCycle, TryScanCycleDoesNotWaitForARunningCycle) {
    Harness h(threeCerts());
    h.recordBaseline();
    {
        const auto held = h.coordinator.begin();
        EXPECT_FALSE(tryScanCycle(h.context, 1).has_value());
    }
    EXPECT_TRUE(tryScanCycle(h.context, 1).has_value());
    // A second Scan Now on the thread whose cycle is showing a box is told "busy".
    bool nestedRan = true;
    h.certs().push_back(makeCert("Nested", {0x42}, 30));
    h.desktop.onMessageBox = [&](const DesktopCall&) {
        if (nestedRan) {
            nestedRan = tryScanCycle(h.context, 1).has_value();
        }
    };
    scanCycle(h.context, 0);
    EXPECT_FALSE(nestedRan);
}

TEST(ScanCycle, ReadersGetTheValidRecordsWhileACycleWaitsForTheUser) {
    Harness h(threeCerts());
    h.recordBaseline();
    h.certs().push_back(makeCert("New", {0x77}, 20));
    std::shared_ptr<const TableSnapshot> seen;
    h.desktop.onMessageBox = [&](const DesktopCall&) {
        // The cycle is waiting for an answer: a reader still gets a copy at once.
        seen = h.coordinator.snapshot();
    };
    scanCycle(h.context, 0);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->iCertificateCountTotal, 4);
    ASSERT_EQ(seen->records.size(), 4u);
    EXPECT_EQ(recordTextUtf8(seen->records[3].name), "New");
}

namespace unreadable {

// Two stores: "Root" (Alpha, Beta, Gamma) and "CA" (Delta).
struct TwoStores : Harness {
    TwoStores() : Harness(threeCerts()) {
        stores.locations[0].stores.push_back(FakeStore{"CA", {makeCert("Delta", {0x07}, 4)}});
        recordBaseline();
    }
    FakeStore& root() { return stores.locations[0].stores[0]; }
    std::vector<std::uint8_t> storedData() {
        return settings.values(SettingsRoot::Machine)[BaselineValue::Data];
    }
};

TEST(ScanCycleUnreadableStore, IsNamedInOneBoxAndItsRecordsAreNeitherMissingNorDropped) {
    for (const bool failsWhileWalking : {false, true}) {
        SCOPED_TRACE(failsWhileWalking ? "walk fails" : "open fails");
        TwoStores h;
        const std::vector<std::uint8_t> before = h.storedData();
        if (failsWhileWalking) {
            h.root().walkFailsAfter = 1;  // Alpha read, then an I/O error
        } else {
            h.root().opens = false;
        }
        // Nothing else changed: only the unreadable box, no missing box, no question.
        scanCycle(h.context, 0);
        auto boxes = h.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Store Unreadable");
        EXPECT_EQ(testing::intentOf(boxes[0]), "warning message");
        EXPECT_EQ(boxes[0].owner, kNoOwner);
        EXPECT_NE(
            boxes[0].text.find("LocalMachine\\Root: " +
                               std::string(failsWhileWalking ? "I/O error" : "access denied")),
            std::string::npos);

        // A real change elsewhere is still told, and saving keeps Root's records.
        h.desktop.clear();
        h.stores.locations[0].stores[1].certs.push_back(makeCert("Epsilon", {0x08}, 5));
        h.desktop.script({Answer::ok, Answer::ok, Answer::yes});
        scanCycle(h.context, 0);
        boxes = h.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 3u);
        EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Store Unreadable");
        EXPECT_NE(boxes[1].text.find("Certificate Name: Epsilon"), std::string::npos);
        EXPECT_EQ(boxes[2].caption, "Brimtal Kestrune - Certificate Changes");
        EXPECT_EQ(h.storedCount(), "5");
        const std::vector<std::uint8_t> after = h.storedData();
        ASSERT_EQ(after.size(), 5 * kRecordSize);
        // Delta and Epsilon observed, then Root's three records exactly as stored.
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + 3 * kRecordSize,
                               after.begin() + 2 * kRecordSize));

        // Readable again: nothing differs.
        h.root().opens = true;
        h.root().walkFailsAfter.reset();
        h.desktop.clear();
        scanCycle(h.context, 0);
        EXPECT_TRUE(h.desktop.messageBoxes().empty());
    }
}

TEST(ScanCycleUnreadableStore, AStoreThatIsGoneStillReportsItsCertificatesMissing) {
    TwoStores h;
    h.root().absentOnOpen = true;
    scanCycle(h.context, 0);
    const auto boxes = h.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Missing");
    EXPECT_NE(boxes[0].text.find("Certificate Name: Alpha"), std::string::npos);
}

}  // namespace unreadable

// The Linux desktop's rules: every change in the question, No by default, Yes only for
// what was shown, one box per set of unreadable stores.
namespace careful {

struct Careful : Harness {
    Careful() : Harness(threeCerts()) {
        program.askCarefully();
        // The baseline with its fingerprints, as the programs store it.
        scan(state, stores, trace);
        EXPECT_TRUE(saveCurrentAsBaseline(*settingsKey, state));
        EXPECT_EQ(registry_settings_load(settingsKey.get(), state, desktop, trace), 1);
        desktop.clear();
        tray.addTrayIcon();
    }
    std::vector<DesktopCall> questions() {
        std::vector<DesktopCall> out;
        for (const auto& b : desktop.messageBoxes()) {
            if (b.caption == "Brimtal Kestrune - Certificate Changes") {
                out.push_back(b);
            }
        }
        return out;
    }
};

std::string hex(const Fingerprint& f) {
    return fingerprintHex(f);
}

TEST(CarefulQuestion, ListsEveryChangeAndOnlyYesSaves) {
    const FakeCert added1 = makeCert("New One", {0x0a, 0x0b}, 10);
    const FakeCert added2 = makeCert("New Two", {0x0c}, 11);
    FakeCert replaced = threeCerts()[2];  // Gamma, same serial and subject, other DER
    replaced.sha256[5] ^= 0xFF;
    // The answer to the question (after the added and missing boxes) and whether the
    // baseline is then saved.
    const struct {
        testing::ScriptedAnswer answer;
        bool saved;
    } cases[] = {{testing::kPressReturn, false},
                 {Answer::no, false},
                 {Answer::cancel, false},
                 {Answer::none, false},
                 {Answer::yes, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer ? static_cast<int>(*c.answer) : -1);
        Careful h;
        h.certs().erase(h.certs().begin() + 1);  // Beta missing
        h.certs()[1] = replaced;
        h.certs().push_back(added1);
        h.certs().push_back(added2);
        const int writesBefore = h.settings.data().writes;
        h.desktop.script({Answer::ok, Answer::ok, c.answer});
        scanCycle(h.context, 0);

        // The boxes as they are, then the question with every change in its details.
        const auto boxes = h.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 3u);
        EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Added");
        EXPECT_EQ(boxes[1].caption, "Brimtal Kestrune - Certificate Missing");
        const DesktopCall& q = boxes[2];
        EXPECT_EQ(testing::intentOf(q), "warning yes/no question, default no");
        EXPECT_EQ(q.text.rfind("Do you want to save the observed certificate changes as the new "
                               "baseline?",
                               0),
                  0u);
        EXPECT_NE(q.text.find("Added: 2   Missing: 1   Changed: 1"), std::string::npos) << q.text;
        for (const FakeCert& cert : {added1, added2, replaced, threeCerts()[1]}) {
            EXPECT_NE(q.details.find("  Name: " + cert.name + "\r\n"), std::string::npos)
                << cert.name << "\n"
                << q.details;
            EXPECT_NE(q.details.find("  SHA-256: " + hex(cert.sha256)), std::string::npos)
                << cert.name;
        }
        EXPECT_NE(q.details.find("Changed certificate\r\n  Store: LocalMachine\\Root\r\n  "
                                 "Name: Gamma\r\n  Serial Number: 04 05 06 "),
                  std::string::npos)
            << q.details;
        EXPECT_NE(q.details.find("Replaces SHA-256: " + hex(threeCerts()[2].sha256)),
                  std::string::npos);
        EXPECT_EQ(h.settings.data().writes, writesBefore + (c.saved ? 1 : 0));
        EXPECT_EQ(h.storedCount(), c.saved ? "4" : "3");
    }
}

// A store that trusts a certificate otherwise: no added box (nothing new came), the
// question tells the trust before and after, and Yes makes it the baseline's.
TEST(CarefulQuestion, AChangeOfTrustIsAskedAboutWithItsTrustBeforeAndAfter) {
    const struct {
        testing::ScriptedAnswer answer;
        std::size_t questionsNextCycle;
    } cases[] = {{Answer::yes, 0}, {Answer::no, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer ? static_cast<int>(*c.answer) : -1);
        Careful h;
        h.certs()[1].trust = "CT,C,\nC";
        h.desktop.script({c.answer});
        scanCycle(h.context, 0);
        const auto boxes = h.desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune - Certificate Changes");
        EXPECT_NE(boxes[0].text.find("Added: 0   Missing: 0   Changed: 0   Trust changed: 1"),
                  std::string::npos)
            << boxes[0].text;
        EXPECT_NE(boxes[0].details.find("Trust changed\r\n  Store: LocalMachine\\Root\r\n  "
                                        "Name: Beta\r\n"),
                  std::string::npos)
            << boxes[0].details;
        EXPECT_NE(boxes[0].details.find("  Trust: (none) \u2192 CT,C,\\nC\r\n"), std::string::npos)
            << boxes[0].details;

        h.desktop.clear();
        h.desktop.script({Answer::no});
        scanCycle(h.context, 0);
        EXPECT_EQ(h.questions().size(), c.questionsNextCycle);
    }
}

TEST(CarefulQuestion, SaysWhereEachChangeComesFromAndWhenUpgradesExplainThemAll) {
    using Kind = CertificateOrigin::Kind;
    const std::string path = "/usr/share/ca-certificates/mozilla/New.crt";
    const struct {
        CertificateOrigin origin;
        const char* inText;  // null: the question says nothing of origins
        const char* inDetails;
    } cases[] = {
        {{Kind::Package, path, "ca-certificates", "20240203", ""},
         "\r\nAll of them are explained by package updates: ca-certificates 20230311 \u2192 "
         "20240203.\r\n",
         "  Origin: package ca-certificates 20240203 (/usr/share/ca-certificates/mozilla/"
         "New.crt)\r\n  Explained by: ca-certificates 20230311 \u2192 20240203\r\n"},
        {{Kind::Modified, path, "ca-certificates", "20240203", ""},
         "\r\n1 change unexplained by a package update.\r\n",
         "  Origin: modified file of package ca-certificates 20240203 (/usr/share/"
         "ca-certificates/mozilla/New.crt)\r\n\r\n"},
        {{}, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(originText(c.origin));
        Careful h;
        h.certs().push_back(makeCert("New", {0x0a}, 10));
        h.certs().back().origin = c.origin;
        h.stores.changes = {{"ca-certificates", "20230311", "20240203", 2000}};
        h.settings.data().savedAt = 1000;
        h.desktop.script({Answer::ok, Answer::no});
        scanCycle(h.context, 0);
        const auto q = h.questions();
        ASSERT_EQ(q.size(), 1u);
        if (c.inText == nullptr) {
            EXPECT_EQ(q[0].text.find("package"), std::string::npos) << q[0].text;
            EXPECT_EQ(q[0].details.find("Origin"), std::string::npos) << q[0].details;
            continue;
        }
        EXPECT_NE(q[0].text.find(c.inText), std::string::npos) << q[0].text;
        EXPECT_NE(q[0].details.find(c.inDetails), std::string::npos) << q[0].details;
    }
}

TEST(CarefulQuestion, YesAfterTheStoresChangedAsksAgainWithTheNewChanges) {
    Careful h;
    h.certs().push_back(makeCert("Shown", {0x0a}, 10));
    // While the first question is open another certificate arrives; the second question
    // lists it, and only its Yes saves.
    h.desktop.onMessageBox = [&h](const DesktopCall& c) {
        if (c.caption == "Brimtal Kestrune - Certificate Changes" && h.questions().size() == 1) {
            h.certs().push_back(makeCert("Sneaked In", {0x0d}, 12));
        }
    };
    h.desktop.script({Answer::ok, Answer::yes, Answer::yes});
    scanCycle(h.context, 0);
    const auto q = h.questions();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].details.find("Sneaked In"), std::string::npos);
    EXPECT_NE(q[1].details.find("Sneaked In"), std::string::npos);
    EXPECT_NE(q[1].text.find("Added: 2"), std::string::npos);
    EXPECT_EQ(h.storedCount(), "5");

    // Stores back as stored while the question waits: nothing left to save.
    Careful back;
    back.certs().push_back(makeCert("Gone Again", {0x0a}, 10));
    back.desktop.onMessageBox = [&back](const DesktopCall& c) {
        if (c.caption == "Brimtal Kestrune - Certificate Changes") {
            back.certs().pop_back();
        }
    };
    const int writesBefore = back.settings.data().writes;
    back.desktop.script({Answer::ok, Answer::yes});
    scanCycle(back.context, 0);
    EXPECT_EQ(back.questions().size(), 1u);
    EXPECT_EQ(back.settings.data().writes, writesBefore);
    EXPECT_EQ(back.desktop.notices().back().text, "Hourly certificate scan complete");
}

TEST(CarefulQuestion, OneUnreadableBoxPerSetOfStoresLaterScansANotice) {
    Careful h;
    h.stores.locations[0].stores.push_back(FakeStore{"CA", {}});
    // Three scans: Root unreadable, Root again (another reason), then Root and CA.
    FakeStore& root = h.stores.locations[0].stores[0];
    FakeStore& ca = h.stores.locations[0].stores[1];
    const char* unreadable = "Brimtal Kestrune - Certificate Store Unreadable";
    root.opens = false;
    scanCycle(h.context, 0);
    ASSERT_EQ(h.desktop.messageBoxes().size(), 1u);
    EXPECT_EQ(h.desktop.messageBoxes()[0].caption, unreadable);

    h.desktop.clear();
    root.opens = true;
    root.walkFailsAfter = 1;
    scanCycle(h.context, 0);
    EXPECT_TRUE(h.desktop.messageBoxes().empty());
    const auto notices = h.desktop.notices();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].text, "Still unreadable: LocalMachine\\Root");
    EXPECT_EQ(notices[1].text,
              "Hourly certificate scan complete\r\nStill unreadable: LocalMachine\\Root");

    h.desktop.clear();
    ca.opens = false;
    scanCycle(h.context, 0);
    const auto boxes = h.desktop.messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, unreadable);
    EXPECT_NE(boxes[0].text.find("LocalMachine\\Root: I/O error"), std::string::npos);
    EXPECT_NE(boxes[0].text.find("LocalMachine\\CA: access denied"), std::string::npos);
}

}  // namespace careful

}  // namespace
}  // namespace kestrune
