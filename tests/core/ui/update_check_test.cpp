#include <gtest/gtest.h>

#include "tests/support/fake_http.h"
#include "tests/support/scripted_desktop.h"
#include "ui/update_check.h"

namespace kestrune {
namespace {

using testing::DesktopCall;
using testing::FakeHttpClient;
using testing::ScriptedDesktop;

constexpr WindowRef kDialog = 0x5150;
constexpr const char* kSite = "http://updates.test";

TEST(SplitVersion, PiecesBetweenDotsAndAfterTheLast) {
    std::vector<std::string> parts{"left alone"};
    EXPECT_EQ(splitVersion(nullptr, &parts), -1);
    EXPECT_EQ(parts, std::vector<std::string>{"left alone"});
    EXPECT_EQ(splitVersion("1.0.0", nullptr), -1);

    EXPECT_EQ(splitVersion("", &parts), 1);
    EXPECT_EQ(parts, std::vector<std::string>{""});
    EXPECT_EQ(splitVersion("1.20.3", &parts), 3);
    EXPECT_EQ(parts, (std::vector<std::string>{"1", "20", "3"}));
    EXPECT_EQ(splitVersion(".2.", &parts), 3);
    EXPECT_EQ(parts, (std::vector<std::string>{"", "2", ""}));

    // Well past any initial room: every piece kept, in order.
    std::string many;
    for (int i = 0; i < 31; ++i) {
        many += std::to_string(i) + ".";
    }
    ASSERT_EQ(splitVersion(many.c_str(), &parts), 32);
    EXPECT_EQ(parts[0], "0");
    EXPECT_EQ(parts[30], "30");
    EXPECT_EQ(parts[31], "");
}

struct Row {
    std::string name;
    HttpResult reply;
    UpdateOutcome expected;
};

HttpResult withStatus(int status, std::string body) {
    HttpResult r = FakeHttpClient::ok(std::move(body));
    r.status = status;
    return r;
}

HttpResult readFailed(std::string body) {
    HttpResult r = FakeHttpClient::ok(std::move(body));
    r.readOk = false;
    return r;
}

std::vector<Row> decisionTable() {
    using enum UpdateOutcome;
    std::string dotted = "1.";
    while (dotted.size() < 2000) {
        dotted += "0.";
    }
    // Byte 1,024 is outside the text: a 7 there must not turn 1.0.0 into 1.0.7.
    std::string cutInsideBuffer = "1.0.";
    cutInsideBuffer.append(kVersionReplyBuffer - 1 - cutInsideBuffer.size(), '0');
    cutInsideBuffer += "7";
    cutInsideBuffer.append(2000 - cutInsideBuffer.size(), '.');

    return {
        {"1.0.0", FakeHttpClient::ok("1.0.0"), MostCurrent},
        {"1.0.0 CRLF", FakeHttpClient::ok("1.0.0\r\n"), MostCurrent},
        {"1.0.1", FakeHttpClient::ok("1.0.1"), NewerAvailable},
        {"1.1.0", FakeHttpClient::ok("1.1.0"), NewerAvailable},
        {"2.0.0", FakeHttpClient::ok("2.0.0"), NewerAvailable},
        {"2.1.0", FakeHttpClient::ok("2.1.0"), NewerAvailable},
        {"3", FakeHttpClient::ok("3"), NewerAvailable},
        {"0.9.9", FakeHttpClient::ok("0.9.9"), OwnNewer},
        {"0.5.0", FakeHttpClient::ok("0.5.0"), OwnNewer},
        {"0.0.1", FakeHttpClient::ok("0.0.1"), OwnNewer},
        {"0.0.0", FakeHttpClient::ok("0.0.0"), OwnNewer},
        {"1.0.0.9 extra part", FakeHttpClient::ok("1.0.0.9"), MostCurrent},
        {"1.0.0 then NUL", FakeHttpClient::ok(std::string("1.0.0\0.5", 8)), MostCurrent},
        {"empty", FakeHttpClient::ok(""), CheckFailed},
        {"abc", FakeHttpClient::ok("abc"), CheckFailed},
        {"line break only", FakeHttpClient::ok("\r\n"), CheckFailed},
        {"2000 bytes 1.0.0.0...", FakeHttpClient::ok(dotted), MostCurrent},
        {"text cut inside the buffer", FakeHttpClient::ok(cutInsideBuffer), MostCurrent},
        {"2000 nines", FakeHttpClient::ok(std::string(2000, '9')), NewerAvailable},
        {"failed connection", FakeHttpClient::unreachable(), CheckFailed},
        {"status 404", withStatus(404, "1.0.0"), CheckFailed},
        {"status 500", withStatus(500, "2.0.0"), CheckFailed},
        {"failed read", readFailed("2.0.0"), CheckFailed},
    };
}

struct Box {
    const char* text;
    const char* caption;
    const char* intent;
};

// Written out here, not taken from the code's constants, so a typo there fails.
Box boxFor(UpdateOutcome outcome) {
    constexpr const char* kInfoCaption = "Brimtal Kestrune Version Information";
    switch (outcome) {
        case UpdateOutcome::MostCurrent:
            return {
                "You have the most current version of Brimtal Kestrune.\r\nThere are no "
                "updates available at this time.",
                kInfoCaption, "information message"};
        case UpdateOutcome::NewerAvailable:
            return {
                "There is a newer version of Brimtal Kestrune available.  \r\nDo you want to "
                "visit the QUILD homepage on the Internet to learn more?",
                kInfoCaption, "information yes/no question, default yes"};
        case UpdateOutcome::OwnNewer:
            return {
                "Your version of Brimtal Kestrune is newer than the current release version "
                "(perhaps you are running a Beta).\r\nDo you want to visit the Brimtal "
                "Kestrune homepage on the Internet to learn more?",
                kInfoCaption, "information yes/no question, default yes"};
        case UpdateOutcome::CheckFailed:
            break;
    }
    return {
        "Brimtal Kestrune could not connect to the Internet to check for updates.\r\nPlease "
        "check your Internet connection and try again.",
        "Brimtal Kestrune", "error message"};
}

TEST(CheckForUpdates, DecisionTable) {
    for (const auto& row : decisionTable()) {
        SCOPED_TRACE(row.name);
        ScriptedDesktop desktop;
        desktop.script({Answer::ok, Answer::no});
        FakeHttpClient http;
        http.answer(row.reply);

        const auto outcome = checkForUpdates(desktop, http, kDialog, kSite);
        ASSERT_TRUE(outcome.has_value());
        EXPECT_EQ(*outcome, row.expected);

        const auto boxes = desktop.messageBoxes();
        ASSERT_EQ(boxes.size(), 2u);
        const Box want = boxFor(row.expected);
        EXPECT_EQ(boxes[1].text, want.text);
        EXPECT_EQ(boxes[1].caption, want.caption);
        EXPECT_EQ(testing::intentOf(boxes[1]), want.intent);
        EXPECT_EQ(boxes[1].owner, kNoOwner);
        EXPECT_EQ(desktop.calls().size(), 2u) << "a No opens no page";
    }
}

TEST(CheckForUpdates, AsksFirstOwnedByTheDialogThenSendsOneRequest) {
    ScriptedDesktop desktop;
    desktop.script({Answer::ok});
    FakeHttpClient http;
    http.answer(FakeHttpClient::ok("1.0.0"));
    checkForUpdates(desktop, http, kDialog, kSite);

    const auto boxes = desktop.messageBoxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0].text,
              "Brimtal Kestrune will attempt to connect to the Internet to learn if there are "
              "updates available.\r\n\r\nProceed?");
    EXPECT_EQ(boxes[0].caption, "Brimtal Kestrune: Check for updates");
    EXPECT_EQ(testing::intentOf(boxes[0]), "plain ok/cancel question, default ok");
    EXPECT_EQ(boxes[0].owner, kDialog);

    const auto requests = http.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].url, "http://updates.test/software/kestrune/CurrentVersion.txt");
    EXPECT_EQ(requests[0].userAgent, "Kestrune Version 1.0.0 - http://updates.test");
    EXPECT_EQ(requests[0].maxBytes, 1024u);
}

TEST(CheckForUpdates, CancelOrClosingTheConfirmationSendsNothing) {
    for (Answer answer : {Answer::cancel, Answer::none}) {
        ScriptedDesktop desktop;
        desktop.script({answer});
        FakeHttpClient http;
        http.answer(FakeHttpClient::ok("2.0.0"));
        EXPECT_FALSE(checkForUpdates(desktop, http, kDialog, kSite).has_value());
        EXPECT_TRUE(http.requests().empty());
        EXPECT_EQ(desktop.calls().size(), 1u);
    }
}

TEST(CheckForUpdates, YesToEitherQuestionOpensTheProductPage) {
    for (const char* published : {"2.0.0", "0.9.9"}) {
        SCOPED_TRACE(published);
        ScriptedDesktop desktop;
        desktop.script({Answer::ok, Answer::yes});
        FakeHttpClient http;
        http.answer(FakeHttpClient::ok(published));
        checkForUpdates(desktop, http, kDialog, "http://updates.test/");

        const auto calls = desktop.calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[2].kind, DesktopCall::Kind::OpenUrl);
        EXPECT_EQ(calls[2].text, "http://updates.test/software/kestrune/");
    }
}

TEST(CheckForUpdates, BuiltInSiteIsTheDefault) {
    ScriptedDesktop desktop;
    desktop.script({Answer::ok});
    FakeHttpClient http;
    checkForUpdates(desktop, http, kDialog);
    ASSERT_EQ(http.requests().size(), 1u);
    EXPECT_EQ(http.requests()[0].url,
              std::string(KESTRUNE_WEB_SITE) + "/software/kestrune/CurrentVersion.txt");
}

}  // namespace
}  // namespace kestrune
