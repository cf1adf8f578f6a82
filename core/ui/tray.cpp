#include "ui/tray.h"

#include "inventory/text.h"

namespace kestrune {

std::string initialTooltip(std::int32_t uniqueCount) {
    return formatText("Brimtal Kestrune\r\nTotal Certificate Count: %d", uniqueCount);
}

std::string scanTooltip(std::int32_t uniqueCount, const LocalTime& t) {
    return formatText(
        "Brimtal Kestrune\r\nTotal Unique Certificates: %d\r\nLast Scan: %04d-%02d-%02d "
        "%02d:%02d:%02d",
        uniqueCount, t.year, t.month, t.day, t.hour, t.minute, t.second);
}

TrayNotice makeTrayNotice(WindowRef owner, std::string tooltip, std::string balloonText) {
    TrayNotice n;
    n.owner = owner;
    n.tooltip = cutToUtf16Units(tooltip, 127);  // 128-unit buffers with a terminator
    n.balloonText = cutToUtf16Units(balloonText, 255);
    n.balloonTitle = "Brimtal Kestrune";
    return n;
}

void Tray::addTrayIcon() {
    std::lock_guard lock(mutex_);
    TrayNotice notice =
        makeTrayNotice(owner_, initialTooltip(state_.uniqueCertificateCount), "Initializing...");
    tooltip_ = notice.tooltip;
    notifier_.addTrayIcon(notice);
    added_ = true;
}

void Tray::showTrayNotice(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!added_) {
        return;  // no icon yet: the notice is lost, as the shell would lose it
    }
    TrayNotice notice = makeTrayNotice(
        owner_, scanTooltip(state_.uniqueCertificateCount, state_.lastScanTime), text);
    tooltip_ = notice.tooltip;
    notifier_.updateTrayNotice(notice);
}

void Tray::restoreTrayIcon() {
    std::lock_guard lock(mutex_);
    if (!added_) {
        return;  // the first add is still to come and will show everything
    }
    // An empty balloon text shows no balloon: only the icon and its tooltip come back.
    notifier_.addTrayIcon(makeTrayNotice(owner_, tooltip_, ""));
}

}  // namespace kestrune
