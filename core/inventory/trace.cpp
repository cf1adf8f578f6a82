#include "inventory/trace.h"

#include <cstdarg>
#include <cstdio>

#include "inventory/text.h"

namespace kestrune {

void Trace::outf(const char* format, ...) {
    if (!keeps()) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    out(formatTextV(format, args));
    va_end(args);
}

void Trace::errf(const char* format, ...) {
    if (!keeps()) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    err(formatTextV(format, args));
    va_end(args);
}

void StdTrace::out(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void StdTrace::err(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
}

namespace {

// File and profile names reach the trace as they are: their control characters (an
// escape sequence for the terminal, say) and bidirectional controls are escaped as the
// report escapes them. Line ends and tabs are the trace's own.
std::string terminalSafe(std::string_view text) {
    return escapeControls(text, false);
}

}  // namespace

void StderrTrace::out(std::string_view text) {
    const std::string safe = terminalSafe(text);
    std::fwrite(safe.data(), 1, safe.size(), stderr);
}

void StderrTrace::err(std::string_view text) {
    const std::string safe = terminalSafe(text);
    std::fwrite(safe.data(), 1, safe.size(), stderr);
}

void CaptureTrace::out(std::string_view text) {
    std::lock_guard lock(mutex_);
    pieces_.push_back({Stream::Out, std::string(text)});
}

void CaptureTrace::err(std::string_view text) {
    std::lock_guard lock(mutex_);
    pieces_.push_back({Stream::Err, std::string(text)});
}

std::vector<CaptureTrace::Piece> CaptureTrace::pieces() const {
    std::lock_guard lock(mutex_);
    return pieces_;
}

namespace {
std::string join(const std::vector<CaptureTrace::Piece>& pieces, bool out, bool err) {
    std::string s;
    for (const auto& p : pieces) {
        if ((p.stream == CaptureTrace::Stream::Out && out) ||
            (p.stream == CaptureTrace::Stream::Err && err)) {
            s += p.text;
        }
    }
    return s;
}
}  // namespace

std::string CaptureTrace::outText() const {
    std::lock_guard lock(mutex_);
    return join(pieces_, true, false);
}

std::string CaptureTrace::errText() const {
    std::lock_guard lock(mutex_);
    return join(pieces_, false, true);
}

std::string CaptureTrace::allText() const {
    std::lock_guard lock(mutex_);
    return join(pieces_, true, true);
}

void CaptureTrace::clear() {
    std::lock_guard lock(mutex_);
    pieces_.clear();
}

}  // namespace kestrune
