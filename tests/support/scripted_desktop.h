// A desktop for tests: records every call in order and answers message boxes from a
// script (kIdOk for OK boxes, kIdNo otherwise, when the script is empty).
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ui/desktop.h"

namespace kestrune::testing {

// A scripted answer that stands for Return: the box's default button.
inline constexpr int kPressReturn = -1;

struct DesktopCall {
    enum class Kind { MessageBox, TrayAdd, TrayModify, OpenUrl } kind;
    std::string text;     // message text, or the notice's balloon text, or the URL
    std::string caption;  // message caption, or the notice's tooltip
    std::string details;  // a box's unfolded text
    std::uint32_t style = 0;
    WindowRef owner = kNoOwner;
    TrayNotice notice;
};

class ScriptedDesktop : public Desktop {
  public:
    int messageBox(const std::string& text, const std::string& caption, std::uint32_t style,
                   WindowRef owner) override;
    int messageBoxWithDetails(const std::string& text, const std::string& details,
                              const std::string& caption, std::uint32_t style,
                              WindowRef owner) override;
    bool trayAdd(const TrayNotice& notice) override;
    bool trayModify(const TrayNotice& notice) override;
    bool openUrl(const std::string& url) override;

    // Answers for the next message boxes, in order (kPressReturn: the default button).
    void script(std::vector<int> answers);
    // The answer to a Yes/No box when the script is empty.
    std::atomic<int> yesNoAnswer{kIdNo};
    // Called (outside the lock) each time a message box is shown, before it answers.
    std::function<void(const DesktopCall&)> onMessageBox;

    std::vector<DesktopCall> calls() const;
    std::vector<DesktopCall> messageBoxes() const;
    std::vector<DesktopCall> notices() const;  // tray add and modify
    void clear();

  private:
    int answer(DesktopCall call);

    mutable std::mutex mutex_;
    std::vector<DesktopCall> calls_;
    std::deque<int> answers_;
};

}  // namespace kestrune::testing
