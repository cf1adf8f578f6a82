// The tray icon's notice and its two operations, toolkit-free: the notifier shows them.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "inventory/state.h"
#include "ui/notifier.h"

namespace kestrune {

inline constexpr const char* kNoticeHourly = "Hourly certificate scan complete";
inline constexpr const char* kNoticeUser = "User initiated scan complete";
inline constexpr const char* kNoticeSaved = "New certificate baseline saved in the registry";

// "Brimtal Kestrune\r\nTotal Certificate Count: %d"
std::string initialTooltip(std::int32_t uniqueCount);
// "Brimtal Kestrune\r\nTotal Unique Certificates: %d\r\nLast Scan: %04d-%02d-%02d %02d:%02d:%02d"
std::string scanTooltip(std::int32_t uniqueCount, const LocalTime& lastScan);
// The notice both operations give: owner, the product's name as the balloon title, the
// tooltip and balloon text as given, each cut to its field.
TrayNotice makeTrayNotice(WindowRef owner, std::string tooltip, std::string balloonText);

class Tray {
  public:
    Tray(Notifier& notifier, const KestruneState& state) : notifier_(notifier), state_(state) {}

    // The hidden main window that receives the icon's mouse events.
    void setOwner(WindowRef owner) { owner_ = owner; }
    // Adds the icon once, with "Initializing..." and the unique count at this moment.
    void addTrayIcon();
    // Updates the tooltip and shows a balloon; before the icon exists it changes nothing.
    void showTrayNotice(const std::string& text);
    // Adds the icon again, with the tooltip it last had and no balloon: a restarted shell
    // has forgotten it. Nothing before addTrayIcon has run.
    void restoreTrayIcon();
    bool iconAdded() const { return added_.load(); }

  private:
    Notifier& notifier_;
    const KestruneState& state_;
    WindowRef owner_ = kNoOwner;
    std::atomic<bool> added_{false};
    std::string tooltip_;  // the last one the shell was given
    std::mutex mutex_;     // one tray request at a time, from whichever thread
};

}  // namespace kestrune
