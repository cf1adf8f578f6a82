// One monitor per user session. The first `kestrune` holds the session lock (a lock file
// in $XDG_RUNTIME_DIR, or where that folder is missing or not writable an abstract
// socket named after the user) and owns a name on the session bus; a later one finds the
// lock held and asks the monitor over the bus to open a window (or to exit), then ends.
// Without a bus the lock still keeps a second monitor from starting, though the request
// cannot be passed on. Another process squatting the bus name does not stop monitoring:
// the lock says no monitor runs, so this one monitors and says the name is taken.
#pragma once

#include <QObject>
#include <optional>
#include <string>
#include <vector>

#include "inventory/trace.h"

namespace kestrune {

class QtDesktop;

// What a launch asks for: the menu entry's actions name one on the command line.
enum class SessionRequest { Monitor, Certificates, About, Exit };

// The command line: one request at most, --trace and --help in any order. Anything else
// is an error, told in `error`.
struct LaunchOptions {
    SessionRequest request = SessionRequest::Monitor;
    bool trace = false;  // the per-record scan trace on standard output
    bool help = false;
    std::string error;  // empty when the command line is good
};
LaunchOptions parseLaunchOptions(const std::vector<std::string>& arguments);
// The usage text --help prints.
extern const char* const kUsageText;

inline constexpr const char* kSessionService = "com.brimtal.Kestrune";
inline constexpr const char* kSessionPath = "/com/brimtal/Kestrune";

// The running monitor's side: the requests a later launch sends. The windows open after
// the call is answered, so the caller never waits for a dialog.
class SessionService final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.brimtal.Kestrune")
  public:
    explicit SessionService(QtDesktop& desktop);

  public Q_SLOTS:
    Q_SCRIPTABLE void ShowCertificates();
    Q_SCRIPTABLE void ShowAbout();
    Q_SCRIPTABLE void Exit();

  private:
    QtDesktop& desktop_;
};

// Becomes the session's monitor (the session lock, then the bus name where it is free) or
// hands `request` to the one that runs. nullopt: go on as the monitor. Otherwise the
// status to end with: 0 once the running monitor took the request (or --exit found none),
// 1 when it could not be reached.
std::optional<int> claimSession(SessionService& service, SessionRequest request, Trace& trace);

}  // namespace kestrune
