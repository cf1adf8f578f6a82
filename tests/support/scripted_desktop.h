// A notifier for tests: records every intent in order and answers questions from a
// script (when the script is empty: Cancel for OK/Cancel, `yesNoAnswer` for Yes/No).
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui/notifier.h"

namespace kestrune::testing {

// One scripted answer; empty stands for Return: the question's default.
using ScriptedAnswer = std::optional<Answer>;
inline constexpr ScriptedAnswer kPressReturn = std::nullopt;

struct DesktopCall {
    enum class Kind { Message, Question, TrayAdd, TrayModify, OpenUrl } kind = Kind::Message;
    std::string text{};     // the box's text, or the notice's balloon text, or the URL
    std::string caption{};  // the box's caption, or the notice's tooltip
    std::string details{};  // a question's unfolded text
    Severity severity = Severity::plain;
    bool asServiceNotification = false;
    Choice choice = Choice::yesNo;  // questions only
    Answer byDefault = Answer::none;
    WindowRef owner = kNoOwner;
    TrayNotice notice{};

    bool isBox() const { return kind == Kind::Message || kind == Kind::Question; }
};

// A box's intent in words, for compact checks: "warning message", "error message as
// service notification", "information yes/no question, default yes".
std::string intentOf(const DesktopCall& box);

class ScriptedDesktop : public Notifier {
  public:
    void inform(const Message& message) override;
    Answer ask(const Question& question) override;
    bool addTrayIcon(const TrayNotice& notice) override;
    bool updateTrayNotice(const TrayNotice& notice) override;
    bool openUrl(const std::string& url) override;

    // Answers for the next boxes, in order; a box that only tells uses up its entry too.
    void script(std::vector<ScriptedAnswer> answers);
    // The answer to a Yes/No question when the script is empty.
    std::atomic<Answer> yesNoAnswer{Answer::no};
    // Called (outside the lock) each time a box is shown, before it answers.
    std::function<void(const DesktopCall&)> onMessageBox;

    std::vector<DesktopCall> calls() const;
    std::vector<DesktopCall> messageBoxes() const;  // messages and questions
    std::vector<DesktopCall> notices() const;       // tray add and update
    void clear();

  private:
    Answer answer(const DesktopCall& call);

    mutable std::mutex mutex_;
    std::vector<DesktopCall> calls_;
    std::deque<ScriptedAnswer> answers_;
};

}  // namespace kestrune::testing
