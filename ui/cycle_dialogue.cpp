#include "ui/cycle_dialogue.h"

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

void DesktopCycleDialogue::storesUnreadable(const std::vector<UnreadableStore>& stores) {
    desktop_.messageBox(unreadableStoresText(stores), kUnreadableCaption, kMbOk | kMbIconWarning,
                        kNoOwner);
}

void DesktopCycleDialogue::certificateAdded(const CertificateRecord& current) {
    desktop_.messageBox(addedCertificateText(current), kAddedCaption, kMbOk | kMbIconWarning,
                        kNoOwner);
}

void DesktopCycleDialogue::certificateMissing(const CertificateRecord& baseline) {
    desktop_.messageBox(missingCertificateText(baseline), kMissingCaption, kMbOk | kMbIconWarning,
                        kNoOwner);
}

bool DesktopCycleDialogue::askToSave() {
    return desktop_.messageBox(kSaveQuestion, kChangesCaption, kMbYesNo | kMbIconWarning,
                               kNoOwner) == kIdYes;
}

void DesktopCycleDialogue::baselineSaved() {
    tray_.showTrayNotice(kNoticeSaved);
}

void DesktopCycleDialogue::saveFailed(const std::string& why) {
    desktop_.messageBox(
        "The observed certificates could not be saved as the new baseline.\r\n\r\n" + why,
        kChangesCaption, kMbOk | kMbIconError, kNoOwner);
}

void DesktopCycleDialogue::scanComplete(int userInitiated) {
    tray_.showTrayNotice(userInitiated ? kNoticeUser : kNoticeHourly);
}

void DesktopCycleDialogue::loadFailed(const BaselineLoad& load) {
    showLoadFailure(desktop_, load);
}

}  // namespace kestrune
