// Any bytes as the version file's body: the reader must stay inside the reply buffer,
// never see a negative version, and the whole Check for Updates must end in the box its
// decision names, with one request and the product page only after a Yes.
//
// Input: byte 0 answers the question boxes (bit 0: Yes), the rest is the body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_check.h"
#include "tests/support/fake_http.h"
#include "tests/support/scripted_desktop.h"
#include "ui/update_check.h"

namespace kestrune {
namespace {

constexpr Version kOwn{kOwnMajor, kOwnMinor, kOwnPatch};

// Whether the text the reader may look at starts, after blanks, with a digit: only
// then does it name a version.
bool namesAVersion(std::string_view body) {
    body = body.substr(0, kVersionReplyBuffer - 1);
    for (char c : body) {
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            continue;
        }
        return c >= '0' && c <= '9';
    }
    return false;
}

void run(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return;
    }
    const Answer answer = (data[0] & 1) ? Answer::yes : Answer::no;
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

    const auto version = readPublishedVersion(body);
    FUZZ_CHECK(version.has_value() == namesAVersion(body));
    // Nothing after the buffer's last text byte counts.
    FUZZ_CHECK(version ==
               readPublishedVersion(std::string_view(body).substr(0, kVersionReplyBuffer - 1)));
    if (version) {
        FUZZ_CHECK(version->major >= 0 && version->minor >= 0 && version->patch >= 0);
    }

    HttpResult reply = testing::FakeHttpClient::ok(body);
    const UpdateOutcome outcome = decideUpdate(reply, kOwn);
    if (!version) {
        FUZZ_CHECK(outcome == UpdateOutcome::CheckFailed);
    } else if (*version == kOwn) {
        FUZZ_CHECK(outcome == UpdateOutcome::MostCurrent);
    } else {
        FUZZ_CHECK(outcome == UpdateOutcome::NewerAvailable || outcome == UpdateOutcome::OwnNewer);
    }
    // Whatever the body, a reply that did not arrive whole is a failed check.
    for (int variant = 0; variant < 3; ++variant) {
        HttpResult broken = reply;
        broken.connected = variant != 0;
        broken.status = variant == 1 ? 404 : 200;
        broken.readOk = variant == 2 ? false : true;
        FUZZ_CHECK(decideUpdate(broken, kOwn) == UpdateOutcome::CheckFailed);
    }

    // The whole check, as the About dialog runs it.
    testing::ScriptedDesktop desktop;
    testing::FakeHttpClient http;
    http.answer(reply);
    desktop.script({Answer::ok, answer});
    const auto whole = checkForUpdates(desktop, http, 42, "http://127.0.0.1:1");
    FUZZ_CHECK(whole.has_value());
    // The client hands back at most the buffer, which holds everything the reader uses.
    FUZZ_CHECK(*whole == outcome);
    FUZZ_CHECK(http.requests().size() == 1);
    FUZZ_CHECK(http.requests()[0].maxBytes == kVersionReplyBuffer);
    const auto boxes = desktop.messageBoxes();
    FUZZ_CHECK(boxes.size() == 2);
    FUZZ_CHECK(boxes[0].owner == 42);
    const bool asked = *whole == UpdateOutcome::NewerAvailable || *whole == UpdateOutcome::OwnNewer;
    const bool opened = desktop.calls().back().kind == testing::DesktopCall::Kind::OpenUrl;
    FUZZ_CHECK(opened == (asked && answer == Answer::yes));
}

}  // namespace
}  // namespace kestrune

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrune::run(data, size);
    return 0;
}
