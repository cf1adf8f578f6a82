#include "tests/support/scripted_desktop.h"

namespace kestrune::testing {

namespace {

const char* nameOf(Severity severity) {
    switch (severity) {
        case Severity::information:
            return "information";
        case Severity::warning:
            return "warning";
        case Severity::error:
            return "error";
        case Severity::plain:
            break;
    }
    return "plain";
}

const char* nameOf(Answer answer) {
    switch (answer) {
        case Answer::ok:
            return "ok";
        case Answer::cancel:
            return "cancel";
        case Answer::yes:
            return "yes";
        case Answer::no:
            return "no";
        case Answer::none:
            break;
    }
    return "none";
}

}  // namespace

std::string intentOf(const DesktopCall& box) {
    std::string text = nameOf(box.severity);
    if (box.kind == DesktopCall::Kind::Message) {
        return text + (box.asServiceNotification ? " message as service notification" : " message");
    }
    if (box.kind != DesktopCall::Kind::Question) {
        return "not a box";
    }
    text += box.choice == Choice::yesNo ? " yes/no" : " ok/cancel";
    return text + " question, default " + nameOf(box.byDefault);
}

void ScriptedDesktop::inform(const Message& m) {
    DesktopCall call{DesktopCall::Kind::Message, m.text, m.caption, {}, m.severity};
    call.asServiceNotification = m.asServiceNotification;
    call.owner = m.owner;
    answer(call);
}

Answer ScriptedDesktop::ask(const Question& q) {
    DesktopCall call{DesktopCall::Kind::Question, q.text, q.caption, q.details, q.severity};
    call.choice = q.choice;
    call.byDefault = q.byDefault;
    call.owner = q.owner;
    return answer(call);
}

Answer ScriptedDesktop::answer(const DesktopCall& call) {
    ScriptedAnswer answer;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        if (!answers_.empty()) {
            answer = answers_.front();
            answers_.pop_front();
        } else if (call.kind == DesktopCall::Kind::Message) {
            answer = Answer::ok;
        } else {
            answer = call.choice == Choice::yesNo ? yesNoAnswer.load() : Answer::cancel;
        }
    }
    if (onMessageBox) {
        onMessageBox(call);
    }
    if (call.kind == DesktopCall::Kind::Message) {
        return Answer::ok;
    }
    return answer.value_or(call.byDefault);
}

bool ScriptedDesktop::addTrayIcon(const TrayNotice& notice) {
    std::lock_guard lock(mutex_);
    DesktopCall call{DesktopCall::Kind::TrayAdd, notice.balloonText, notice.tooltip};
    call.owner = notice.owner;
    call.notice = notice;
    calls_.push_back(call);
    return true;
}

bool ScriptedDesktop::updateTrayNotice(const TrayNotice& notice) {
    std::lock_guard lock(mutex_);
    DesktopCall call{DesktopCall::Kind::TrayModify, notice.balloonText, notice.tooltip};
    call.owner = notice.owner;
    call.notice = notice;
    calls_.push_back(call);
    return true;
}

bool ScriptedDesktop::openUrl(const std::string& url) {
    std::lock_guard lock(mutex_);
    calls_.push_back({DesktopCall::Kind::OpenUrl, url});
    return true;
}

void ScriptedDesktop::script(std::vector<ScriptedAnswer> answers) {
    std::lock_guard lock(mutex_);
    answers_.insert(answers_.end(), answers.begin(), answers.end());
}

std::vector<DesktopCall> ScriptedDesktop::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<DesktopCall> ScriptedDesktop::messageBoxes() const {
    std::vector<DesktopCall> out;
    for (const auto& c : calls()) {
        if (c.isBox()) {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<DesktopCall> ScriptedDesktop::notices() const {
    std::vector<DesktopCall> out;
    for (const auto& c : calls()) {
        if (c.kind == DesktopCall::Kind::TrayAdd || c.kind == DesktopCall::Kind::TrayModify) {
            out.push_back(c);
        }
    }
    return out;
}

void ScriptedDesktop::clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
    answers_.clear();
}

}  // namespace kestrune::testing
