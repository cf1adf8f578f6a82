// What the core asks of the desktop, in its own words: tell the user something, ask a
// question, keep the tray icon's notice up to date and open a web page. Win32, Qt, and a
// scripted fake for tests implement it; each maps these intents to its own widgets.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune {

// A window as the desktop knows it; 0 is "no owner".
using WindowRef = std::uintptr_t;
inline constexpr WindowRef kNoOwner = 0;

// How serious a box is; it picks the box's icon. Plain boxes have none.
enum class Severity { plain, information, warning, error };

// A box with one button that only tells.
struct Message {
    std::string text{};
    std::string caption{};
    Severity severity = Severity::information;
    // Shown on the interactive desktop even when the program runs without one of its
    // own: the settings key failure can come before anyone could see an ordinary box.
    bool asServiceNotification = false;
    WindowRef owner = kNoOwner;
};

// The user's answer. `none`: the box could not be shown at all.
enum class Answer { none, ok, cancel, yes, no };

// The two buttons a question offers.
enum class Choice { yesNo, okCancel };

struct Question {
    std::string text{};
    std::string caption{};
    Severity severity = Severity::plain;
    Choice choice = Choice::yesNo;
    // What Return picks: one of the choice's two answers (yes or no, ok or cancel).
    Answer byDefault = Answer::yes;
    // A longer text the user can unfold; a desktop without such a box shows the text alone.
    std::string details{};
    WindowRef owner = kNoOwner;
};

// The tray icon's notice: its tooltip and the balloon shown with it (none when the text
// is empty).
struct TrayNotice {
    WindowRef owner = kNoOwner;  // the window that receives the icon's mouse events
    std::string tooltip{};       // at most 127 UTF-16 units
    std::string balloonTitle{};  // at most 63 units
    std::string balloonText{};   // at most 255 units
};

class Notifier {
  public:
    virtual ~Notifier() = default;
    // A modal box with one button; returns once the user closed it.
    virtual void inform(const Message& message) = 0;
    // A modal box with two buttons; returns the button the user chose.
    virtual Answer ask(const Question& question) = 0;
    // Puts the icon in the tray with this notice (again, after the shell restarted).
    virtual bool addTrayIcon(const TrayNotice& notice) = 0;
    // Changes the tooltip of the icon already there and shows the balloon.
    virtual bool updateTrayNotice(const TrayNotice& notice) = 0;
    virtual bool openUrl(const std::string& url) = 0;
};

}  // namespace kestrune
