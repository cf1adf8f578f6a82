#include "ui/update_check.h"

#include <climits>
#include <tuple>

namespace kestrune {

int splitVersion(const char* text, std::vector<std::string>* parts) {
    if (text == nullptr || parts == nullptr) {
        return -1;
    }
    std::vector<std::string> pieces;
    std::string_view rest(text);
    for (;;) {
        const auto dot = rest.find('.');
        if (dot == std::string_view::npos) {
            pieces.emplace_back(rest);
            break;
        }
        pieces.emplace_back(rest.substr(0, dot));
        rest.remove_prefix(dot + 1);
    }
    *parts = std::move(pieces);
    return static_cast<int>(parts->size());
}

namespace {

// The leading integer of one part as the integer conversion reads it, minus the sign: a
// version has no negative parts, and a huge one must not wrap round into an old one.
std::optional<int> leadingInteger(std::string_view part) {
    std::size_t i = 0;
    while (i < part.size() && (part[i] == ' ' || (part[i] >= '\t' && part[i] <= '\r'))) {
        ++i;
    }
    if (i == part.size() || part[i] < '0' || part[i] > '9') {
        return std::nullopt;
    }
    long long value = 0;
    for (; i < part.size() && part[i] >= '0' && part[i] <= '9'; ++i) {
        value = value * 10 + (part[i] - '0');
        if (value > INT_MAX) {
            value = INT_MAX;
        }
    }
    return static_cast<int>(value);
}

std::string siteBase(const std::string& webSite) {
    std::string base = webSite;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    return base;
}

}  // namespace

std::optional<Version> readPublishedVersion(std::string_view reply) {
    reply = reply.substr(0, kVersionReplyBuffer - 1);
    reply = reply.substr(0, reply.find('\0'));
    std::vector<std::string> parts;
    const std::string text(reply);
    splitVersion(text.c_str(), &parts);

    const auto major = leadingInteger(parts[0]);
    if (!major) {
        return std::nullopt;
    }
    Version v;
    v.major = *major;
    if (parts.size() > 1) {
        v.minor = leadingInteger(parts[1]).value_or(0);
    }
    if (parts.size() > 2) {
        v.patch = leadingInteger(parts[2]).value_or(0);
    }
    return v;
}

UpdateOutcome decideUpdate(const HttpResult& result, const Version& own) {
    // A failed read, an error page or a reply without a version is a failed check, said
    // as such: read as 0.0.0 it would tell the user that their copy is newer than the
    // release, a Beta, and offer the page on the strength of nothing.
    if (!result.connected || result.status != 200 || !result.readOk) {
        return UpdateOutcome::CheckFailed;
    }
    const auto published = readPublishedVersion(result.body);
    if (!published) {
        return UpdateOutcome::CheckFailed;
    }
    // Major first, then minor, then patch, each deciding only on a tie of the ones
    // before, so every reply gets exactly one verdict: the part-by-part tests this
    // replaces showed nothing at all for an older release (0.9.9), or for 2.0.0 when
    // the own version is 1.5.0.
    const auto key = [](const Version& v) { return std::tie(v.major, v.minor, v.patch); };
    if (key(own) == key(*published)) {
        return UpdateOutcome::MostCurrent;
    }
    return key(own) < key(*published) ? UpdateOutcome::NewerAvailable : UpdateOutcome::OwnNewer;
}

std::string versionFileUrl(const std::string& webSite) {
    return siteBase(webSite) + "/software/kestrune/CurrentVersion.txt";
}

std::string productPageUrl(const std::string& webSite) {
    return siteBase(webSite) + "/software/kestrune/";
}

std::string updateUserAgent(const std::string& webSite) {
    return std::string("Kestrune Version ") + kOwnVersionText + " - " + webSite;
}

std::optional<UpdateOutcome> checkForUpdates(Notifier& notifier, HttpClient& http, WindowRef dialog,
                                             const std::string& webSite) {
    const Answer go = notifier.ask({.text = kUpdateConfirmText,
                                    .caption = kUpdateConfirmCaption,
                                    .severity = Severity::plain,
                                    .choice = Choice::okCancel,
                                    .byDefault = Answer::ok,
                                    .owner = dialog});
    if (go != Answer::ok) {
        return std::nullopt;
    }

    const HttpResult reply =
        http.get(versionFileUrl(webSite), updateUserAgent(webSite), kVersionReplyBuffer);
    const auto outcome = decideUpdate(reply, Version{kOwnMajor, kOwnMinor, kOwnPatch});

    // Unlike the confirmation, the verdict boxes have no owner.
    const auto offerPage = [&](const char* text) {
        return notifier.ask({.text = text,
                             .caption = kVersionInfoCaption,
                             .severity = Severity::information,
                             .choice = Choice::yesNo,
                             .byDefault = Answer::yes});
    };
    Answer answer = Answer::none;
    switch (outcome) {
        case UpdateOutcome::CheckFailed:
            notifier.inform({.text = kUpdateFailedText,
                             .caption = kUpdateFailedCaption,
                             .severity = Severity::error});
            break;
        case UpdateOutcome::MostCurrent:
            notifier.inform({.text = kMostCurrentText,
                             .caption = kVersionInfoCaption,
                             .severity = Severity::information});
            break;
        case UpdateOutcome::NewerAvailable:
            answer = offerPage(kNewerAvailableText);
            break;
        case UpdateOutcome::OwnNewer:
            answer = offerPage(kOwnNewerText);
            break;
    }
    if (answer == Answer::yes) {
        notifier.openUrl(productPageUrl(webSite));
    }
    return outcome;
}

}  // namespace kestrune
