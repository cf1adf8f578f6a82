#include "platform/qt/display_check.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

namespace kestrune {

const char* const kNoDisplayMessage =
    "kestrune: no display to show the tray icon on (DISPLAY, WAYLAND_DISPLAY and "
    "QT_QPA_PLATFORM are unset, or the display cannot be reached).\n"
    "kestrune is the desktop tray program; on a server or in a headless session use "
    "kestrune-check, its headless companion (kestrune-check --list prints the inventory).\n";

namespace {

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

QtMessageHandler previousHandler = nullptr;

void failOnFatal(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        std::fputs(kNoDisplayMessage, stderr);
        std::fprintf(stderr, "Qt said: %s\n", message.toLocal8Bit().constData());
        std::fflush(stderr);
        std::_Exit(kExitNoDisplay);
    }
    if (previousHandler) {
        previousHandler(type, context, message);
    }
}

}  // namespace

bool displayConfigured() {
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

DisplayFailureGuard::DisplayFailureGuard(std::chrono::milliseconds timeout) {
    previousHandler = qInstallMessageHandler(failOnFatal);
    watchdog_ = std::thread([this, timeout] {
        std::unique_lock lock(mutex_);
        if (!done_.wait_for(lock, timeout, [this] { return connected_; })) {
            std::fputs(kNoDisplayMessage, stderr);
            std::fprintf(stderr, "The display did not answer within %lld seconds.\n",
                         static_cast<long long>(timeout.count() / 1000));
            std::fflush(stderr);
            std::_Exit(kExitNoDisplay);
        }
    });
}

DisplayFailureGuard::~DisplayFailureGuard() {
    {
        std::lock_guard lock(mutex_);
        connected_ = true;
    }
    done_.notify_one();
    watchdog_.join();
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

}  // namespace kestrune
