// The tray icon's record and its two operations, toolkit-free: the desktop interface
// shows them.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "inventory/state.h"
#include "ui/desktop.h"

namespace kestrune {

inline constexpr const char* kNoticeHourly = "Hourly certificate scan complete";
inline constexpr const char* kNoticeUser = "User initiated scan complete";
inline constexpr const char* kNoticeSaved = "New certificate baseline saved in the registry";

// "Brimtal Kestrune\r\nTotal Certificate Count: %d"
std::string initialTooltip(std::int32_t uniqueCount);
// "Brimtal Kestrune\r\nTotal Unique Certificates: %d\r\nLast Scan: %04d-%02d-%02d %02d:%02d:%02d"
std::string scanTooltip(std::int32_t uniqueCount, const LocalTime& lastScan);
// The record both operations fill: owner, id 1124, flags 0x17, callback 1524, title,
// timeout 3, information kind; tooltip and balloon text as given.
TrayNotice makeTrayNotice(WindowRef owner, std::string tooltip, std::string balloonText);

class Tray {
  public:
    Tray(Desktop& desktop, const KestruneState& state) : desktop_(desktop), state_(state) {}

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
    Desktop& desktop_;
    const KestruneState& state_;
    WindowRef owner_ = kNoOwner;
    std::atomic<bool> added_{false};
    std::string tooltip_;  // the last one the shell was given
    std::mutex mutex_;     // one tray request at a time, from whichever thread
};

}  // namespace kestrune
