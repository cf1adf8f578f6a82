#include "ui/cycle_dialogue.h"

#include <algorithm>

#include "inventory/text.h"
#include "ui/baseline_messages.h"

namespace kestrune {

std::string addedCertificateText(const CertificateRecord& r) {
    return formatText(
        "A new certificate has been added to the \"%s\" Certificate Store\r\n\r\n"
        "Certificate Name: %s \r\nSerial Number: %s",
        recordTextUtf8(r.storeName).c_str(), recordTextUtf8(r.name).c_str(), serialText(r).c_str());
}

std::string missingCertificateText(const CertificateRecord& r) {
    return formatText(
        "A certificate is missing from the \"$%s\" Certificate Store\r\n\r\n"
        "Certificate Name: %s \r\nSerial Number: %s",
        recordTextUtf8(r.storeName).c_str(), recordTextUtf8(r.name).c_str(), serialText(r).c_str());
}

std::string unreadableStoresText(const std::vector<UnreadableStore>& stores) {
    std::string text = stores.size() == 1 ? "A certificate store could not be read:\r\n\r\n"
                                          : "These certificate stores could not be read:\r\n\r\n";
    for (const UnreadableStore& s : stores) {
        const std::string where = s.location.empty() ? std::string("All locations")
                                  : s.store.empty()  ? s.location + "\\(all stores)"
                                                     : s.location + "\\" + s.store;
        text += where + ": " + s.reason + "\r\n";
    }
    text +=
        "\r\nTheir certificates were not compared this time and are not reported as "
        "missing; a saved baseline keeps them as they were.";
    return text;
}

namespace {

// Whether package upgrades explain the changes, where their origins are known at all.
std::string explanationNote(const std::vector<ReportedChange>& changes) {
    std::vector<ChangeOrigin> origins;
    bool anyKnown = false;
    for (const ReportedChange& c : changes) {
        origins.push_back(c.origin);
        anyKnown = anyKnown || c.origin.origin.kind != CertificateOrigin::Kind::Unknown;
    }
    if (allExplained(origins)) {
        return "\r\nAll of them are explained by package updates: " +
               explainingChangesText(origins) + ".";
    }
    return anyKnown ? "\r\n" + explanationSummary(origins) + " by a package update." : "";
}

// A store's trust as the details show it; a store that says nothing gives none.
std::string trustText(const std::string& trust) {
    return trust.empty() ? std::string("(none)") : escapeControls(trust, true);
}

}  // namespace

std::string saveQuestionText(const std::vector<ReportedChange>& changes) {
    std::size_t added = 0;
    std::size_t missing = 0;
    std::size_t changed = 0;
    std::size_t trust = 0;
    for (const ReportedChange& c : changes) {
        (c.kind == ReportedChange::Kind::Added     ? added
         : c.kind == ReportedChange::Kind::Missing ? missing
         : c.kind == ReportedChange::Kind::Trust   ? trust
                                                   : changed)++;
    }
    return std::string(kSaveQuestion) + "\r\n\r\nAdded: " + std::to_string(added) +
           "   Missing: " + std::to_string(missing) + "   Changed: " + std::to_string(changed) +
           (trust > 0 ? "   Trust changed: " + std::to_string(trust) : std::string()) +
           explanationNote(changes) + "\r\nEvery change is listed in the details.";
}

std::string changeDetailsText(const std::vector<ReportedChange>& changes) {
    std::string text;
    for (const ReportedChange& c : changes) {
        const CertificateRecord& r = c.record;
        text += c.kind == ReportedChange::Kind::Added     ? "Added certificate\r\n"
                : c.kind == ReportedChange::Kind::Missing ? "Missing certificate\r\n"
                : c.kind == ReportedChange::Kind::Trust   ? "Trust changed\r\n"
                                                          : "Changed certificate\r\n";
        text += "  Store: " + recordTextUtf8(r.locationName) + "\\" + recordTextUtf8(r.storeName) +
                "\r\n  Name: " + recordTextUtf8(r.name) + "\r\n  Serial Number: " + serialText(r) +
                "\r\n  SHA-256: ";
        const std::string print = fingerprintHex(c.fingerprint);
        text += print.empty() ? std::string("(not known)") : print;
        text += "\r\n";
        if (c.origin.origin.kind != CertificateOrigin::Kind::Unknown) {
            text += "  Origin: " + originText(c.origin.origin) + "\r\n";
        }
        if (c.origin.explainedBy) {
            text += "  Explained by: " + packageChangeText(*c.origin.explainedBy) + "\r\n";
        }
        if (c.kind == ReportedChange::Kind::Changed) {
            const std::string before = fingerprintHex(c.replaced);
            text +=
                "  Replaces SHA-256: " + (before.empty() ? std::string("(not known)") : before) +
                "\r\n";
        }
        if (c.trust) {
            text += "  Trust: " + trustText(c.trust->before) + " → " + trustText(c.trust->after) +
                    "\r\n";
        }
        text += "\r\n";
    }
    return text;
}

std::string stillUnreadableNotice(const std::vector<UnreadableStore>& stores) {
    std::string text = "Still unreadable:";
    for (const UnreadableStore& s : stores) {
        text += " " + (s.store.empty() ? s.location : s.location + "\\" + s.store);
    }
    return text;
}

void DesktopCycleDialogue::tell(const std::string& text, const std::string& caption,
                                Severity severity) {
    ++boxes_;
    notifier_.inform({.text = text, .caption = caption, .severity = severity});
}

Answer DesktopCycleDialogue::ask(Question question) {
    ++boxes_;
    return notifier_.ask(question);
}

void DesktopCycleDialogue::storesUnreadable(const std::vector<UnreadableStore>& stores) {
    unreadableNote_.clear();
    std::vector<std::pair<std::string, std::string>> set;
    for (const UnreadableStore& s : stores) {
        set.emplace_back(s.location, s.store);
    }
    std::sort(set.begin(), set.end());
    const bool seen = set == lastUnreadable_;
    lastUnreadable_ = std::move(set);
    if (stores.empty()) {
        return;
    }
    if (rules_.unreadableOncePerSet && seen) {
        // Named in a box already, and the reasons behind it have not changed: a notice is
        // enough, and this cycle's closing notice says it again.
        unreadableNote_ = stillUnreadableNotice(stores);
        tray_.showTrayNotice(unreadableNote_);
        return;
    }
    tell(unreadableStoresText(stores), kUnreadableCaption, Severity::warning);
}

void DesktopCycleDialogue::certificateAdded(const CertificateRecord& current) {
    tell(addedCertificateText(current), kAddedCaption, Severity::warning);
}

void DesktopCycleDialogue::certificateMissing(const CertificateRecord& baseline) {
    tell(missingCertificateText(baseline), kMissingCaption, Severity::warning);
}

bool DesktopCycleDialogue::askToSave(const std::vector<ReportedChange>& changes) {
    if (!rules_.listEveryChange) {
        return ask({.text = kSaveQuestion,
                    .caption = kChangesCaption,
                    .severity = Severity::warning,
                    .choice = Choice::yesNo,
                    .byDefault = Answer::yes}) == Answer::yes;
    }
    return ask({.text = saveQuestionText(changes),
                .caption = kChangesCaption,
                .severity = Severity::warning,
                .choice = Choice::yesNo,
                .byDefault = Answer::no,
                .details = changeDetailsText(changes)}) == Answer::yes;
}

void DesktopCycleDialogue::baselineSaved() {
    tray_.showTrayNotice(withNote(kNoticeSaved));
}

void DesktopCycleDialogue::saveFailed(const std::string& why) {
    tell("The observed certificates could not be saved as the new baseline.\r\n\r\n" + why,
         kChangesCaption, Severity::error);
}

void DesktopCycleDialogue::scanComplete(int userInitiated) {
    tray_.showTrayNotice(withNote(userInitiated ? kNoticeUser : kNoticeHourly));
}

std::string DesktopCycleDialogue::withNote(const std::string& notice) const {
    return unreadableNote_.empty() ? notice : notice + "\r\n" + unreadableNote_;
}

void DesktopCycleDialogue::loadFailed(const BaselineLoad& load) {
    showLoadFailure(notifier_, load);
}

}  // namespace kestrune
