#include "platform/win32/watch/registry_change_source.h"

#include <atomic>

#include "app/ports.h"
#include "platform/platform.h"
#include "platform/win32/win32_text.h"

namespace kestrune::win32 {

namespace {

std::string keyName(const WatchedKey& key) {
    const char* root = key.root == HKEY_LOCAL_MACHINE  ? "HKLM"
                       : key.root == HKEY_CURRENT_USER ? "HKCU"
                                                       : "HKEY";
    return std::string(root) + "\\" + narrow(key.path.c_str());
}

}  // namespace

const std::vector<WatchedKey>& certificateStoreKeys() {
    // The registry homes of the locations the scanner lists: the user's and the
    // machine's own stores, their group-policy stores, the enterprise stores and the
    // service stores.
    static const std::vector<WatchedKey> keys = {
        {HKEY_CURRENT_USER, L"Software\\Microsoft\\SystemCertificates"},
        {HKEY_CURRENT_USER, L"Software\\Policies\\Microsoft\\SystemCertificates"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\SystemCertificates"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Microsoft\\SystemCertificates"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\EnterpriseCertificates"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography\\Services"},
    };
    return keys;
}

namespace {

using EventHandle = CHandle<void, CloseHandle>;

// Manual reset: a wake looks at every event and resets what it has seen.
EventHandle newEvent() {
    return EventHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

LONG notifyOnce(HKEY key, bool subtree, DWORD filter, HANDLE event) {
    // Thread-agnostic where the system knows the flag (a watch armed on one thread
    // outlives it); older systems refuse the flag and bind the watch to the caller.
    LONG status = RegNotifyChangeKeyValue(key, subtree ? TRUE : FALSE,
                                          filter | REG_NOTIFY_THREAD_AGNOSTIC, event, TRUE);
    if (status == ERROR_INVALID_PARAMETER) {
        status = RegNotifyChangeKeyValue(key, subtree ? TRUE : FALSE, filter, event, TRUE);
    }
    return status;
}

}  // namespace

RegistryChangeSource::RegistryChangeSource(std::vector<WatchedKey> keys) : stopEvent_(newEvent()) {
    for (WatchedKey& key : keys) {
        Watch watch;
        watch.key = std::move(key);
        watch.event = newEvent();
        watch.aboveEvent = newEvent();
        watches_.push_back(std::move(watch));
    }
    for (Watch& watch : watches_) {
        refresh(watch, false, true);
    }
}

RegistryChangeSource::~RegistryChangeSource() = default;

bool RegistryChangeSource::refresh(Watch& watch, bool keyFired, bool aboveFired) {
    bool changed = keyFired;
    const HKEY root = watch.key.root;
    if (watch.open &&
        RegQueryInfoKeyW(watch.open.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_KEY_DELETED) {
        watch.open.reset();
        changed = true;
    }
    if (!watch.open) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, watch.key.path.c_str(), 0, KEY_NOTIFY | KEY_QUERY_VALUE, &key) ==
            ERROR_SUCCESS) {
            watch.open.reset(key);
            watch.armed = false;
            changed = changed || aboveFired;
        }
    }
    LONG status = ERROR_SUCCESS;
    if (watch.open && (keyFired || !watch.armed)) {
        status = notifyOnce(watch.open.get(), true,
                            REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, watch.event.get());
        watch.armed = status == ERROR_SUCCESS;
    } else if (!watch.open) {
        watch.armed = false;
    }
    if (aboveFired || !watch.aboveArmed) {
        // The nearest existing parent, opened afresh: parents come and go too.
        watch.above.reset();
        watch.aboveArmed = false;
        std::wstring path = watch.key.path;
        while (!watch.above && !path.empty()) {
            const std::size_t cut = path.rfind(L'\\');
            path.resize(cut == std::wstring::npos ? 0 : cut);
            HKEY key = nullptr;
            if (RegOpenKeyExW(root, path.c_str(), 0, KEY_NOTIFY, &key) == ERROR_SUCCESS) {
                watch.above.reset(key);
            }
        }
        const LONG aboveStatus = watch.above
                                     ? notifyOnce(watch.above.get(), false, REG_NOTIFY_CHANGE_NAME,
                                                  watch.aboveEvent.get())
                                     : ERROR_FILE_NOT_FOUND;
        watch.aboveArmed = aboveStatus == ERROR_SUCCESS;
        if (status == ERROR_SUCCESS) {
            status = aboveStatus;
        }
    }
    if (status != ERROR_SUCCESS && !watch.reported) {
        watch.reported = true;
        problems_.push_back("cannot watch " + keyName(watch.key) + ": " +
                            errorText(static_cast<DWORD>(status)));
    }
    return changed;
}

ChangeSource::Wake RegistryChangeSource::waitForChange(std::uint32_t timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        std::vector<HANDLE> handles{stopEvent_.get()};
        for (const Watch& watch : watches_) {
            if (watch.armed) {
                handles.push_back(watch.event.get());
            }
            if (watch.aboveArmed) {
                handles.push_back(watch.aboveEvent.get());
            }
        }
        DWORD remaining = INFINITE;
        if (timeoutMs != INFINITE) {
            const ULONGLONG spent = GetTickCount64() - start;
            remaining = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
        }
        const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                   handles.data(), FALSE, remaining);
        if (woken == WAIT_OBJECT_0) {
            return Wake::Stopped;
        }
        if (woken == WAIT_TIMEOUT) {
            return Wake::TimedOut;
        }
        if (woken == WAIT_FAILED || woken >= WAIT_OBJECT_0 + handles.size()) {
            // Nothing can be watched any more; the deadline and stop() still hold.
            problems_.push_back("cannot wait for registry changes: " + errorText(GetLastError()));
            for (Watch& watch : watches_) {
                watch.armed = watch.aboveArmed = false;
            }
            return WaitForSingleObject(stopEvent_.get(), remaining) == WAIT_OBJECT_0
                       ? Wake::Stopped
                       : Wake::TimedOut;
        }
        // Every watch that fired is seen and armed again now, so one wake stands for
        // all of them and a change during the coming scan is not missed. A name
        // changing beside a missing key is no change of a store.
        bool changed = false;
        for (Watch& watch : watches_) {
            auto fired = [](bool armed, const EventHandle& event) {
                if (armed && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) {
                    ResetEvent(event.get());
                    return true;
                }
                return false;
            };
            const bool keyFired = fired(watch.armed, watch.event);
            const bool aboveFired = fired(watch.aboveArmed, watch.aboveEvent);
            if (keyFired || aboveFired) {
                changed = refresh(watch, keyFired, aboveFired) || changed;
            }
        }
        if (changed) {
            return Wake::Changed;
        }
    }
}

void RegistryChangeSource::stop() {
    SetEvent(stopEvent_.get());
}

std::vector<std::string> RegistryChangeSource::problems() const {
    return problems_;
}

}  // namespace kestrune::win32

namespace kestrune {

namespace {

// The one source a console-control handler can reach: the handler gets no context.
std::atomic<ChangeSource*> stoppedOnTermination{nullptr};

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            if (ChangeSource* source = stoppedOnTermination.load()) {
                source->stop();
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

std::unique_ptr<ChangeSource> makeChangeSource(const PlatformOptions&) {
    return std::make_unique<win32::RegistryChangeSource>();
}

void stopOnTermination(ChangeSource& source) {
    if (stoppedOnTermination.exchange(&source) == nullptr) {
        SetConsoleCtrlHandler(onConsoleControl, TRUE);
    }
}

void endOnTermination() {
    // A process started with Ctrl+C ignored gets it back.
    SetConsoleCtrlHandler(nullptr, FALSE);
}

}  // namespace kestrune
