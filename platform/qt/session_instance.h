// One monitor per user session. The first `kestrune` owns a name on the session bus; a
// later one asks it to open a window (or to exit) and ends. Without a session bus a lock
// file in $XDG_RUNTIME_DIR keeps a second monitor from starting, though it cannot pass
// the request on.
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
// "--certificates", "--about" or "--exit" as the first argument; anything else is a plain
// start (the argument is echoed by the program's trace and otherwise ignored).
SessionRequest sessionRequest(const std::vector<std::string>& arguments);

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

// Becomes the session's monitor (the bus name, and the lock file where there is a runtime
// folder) or hands `request` to the one that runs. nullopt: go on as the monitor (the
// service must be registered on the bus already). Otherwise the status to end with: 0
// once the running monitor took the request, 1 when it could not be reached.
std::optional<int> claimSession(SessionService& service, SessionRequest request, Trace& trace);

}  // namespace kestrune
