#include "tests/support/scripted_desktop.h"

namespace kestrune::testing {

namespace {

// What Return picks: the first button, or the second where the style says so.
int defaultButton(std::uint32_t style) {
    const bool second = (style & kMbDefButton2) != 0;
    switch (style & kMbTypeMask) {
        case kMbYesNo:
            return second ? kIdNo : kIdYes;
        case kMbOkCancel:
            return second ? kIdCancel : kIdOk;
        default:
            return kIdOk;
    }
}

}  // namespace

int ScriptedDesktop::messageBox(const std::string& text, const std::string& caption,
                                std::uint32_t style, WindowRef owner) {
    return answer({DesktopCall::Kind::MessageBox, text, caption, {}, style, owner, {}});
}

int ScriptedDesktop::messageBoxWithDetails(const std::string& text, const std::string& details,
                                           const std::string& caption, std::uint32_t style,
                                           WindowRef owner) {
    return answer({DesktopCall::Kind::MessageBox, text, caption, details, style, owner, {}});
}

int ScriptedDesktop::answer(DesktopCall call) {
    const std::uint32_t style = call.style;
    int answer = 0;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        if (!answers_.empty()) {
            answer = answers_.front();
            answers_.pop_front();
        } else {
            answer = (style & kMbTypeMask) == kMbOk ? kIdOk : kIdNo;
            if ((style & kMbTypeMask) == kMbYesNo) {
                answer = yesNoAnswer;
            }
            if ((style & kMbTypeMask) == kMbOkCancel) {
                answer = kIdCancel;
            }
        }
    }
    if (onMessageBox) {
        onMessageBox(call);
    }
    return answer == kPressReturn ? defaultButton(style) : answer;
}

bool ScriptedDesktop::trayAdd(const TrayNotice& notice) {
    std::lock_guard lock(mutex_);
    calls_.push_back({DesktopCall::Kind::TrayAdd,
                      notice.balloonText,
                      notice.tooltip,
                      {},
                      0,
                      notice.owner,
                      notice});
    return true;
}

bool ScriptedDesktop::trayModify(const TrayNotice& notice) {
    std::lock_guard lock(mutex_);
    calls_.push_back({DesktopCall::Kind::TrayModify,
                      notice.balloonText,
                      notice.tooltip,
                      {},
                      0,
                      notice.owner,
                      notice});
    return true;
}

bool ScriptedDesktop::openUrl(const std::string& url) {
    std::lock_guard lock(mutex_);
    calls_.push_back({DesktopCall::Kind::OpenUrl, url, {}, {}, 0, kNoOwner, {}});
    return true;
}

void ScriptedDesktop::script(std::vector<int> answers) {
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
        if (c.kind == DesktopCall::Kind::MessageBox) {
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
