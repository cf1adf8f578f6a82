#include "app/tray_program.h"

namespace kestrune {

TrayProgram::TrayProgram(const Ports& given, Notifier& givenDesktop, Trace& givenTrace)
    : ports(given),
      desktop(givenDesktop),
      trace(givenTrace),
      tray(desktop, state),
      dialogue(desktop, tray),
      cycle{state, ports.stores, ports.clock, trace, dialogue, coordinator} {}

int TrayProgram::run(const std::vector<std::string>& arguments, const MainRoutineHooks& hooks) {
    echoArguments(arguments, desktop);
    // Reserved for installer and service modes this program does not have.
    (void)reservedWord(arguments);
    return mainRoutine(*this, hooks);
}

void TrayProgram::askCarefully() {
    dialogue.setRules({.listEveryChange = true, .unreadableOncePerSet = true});
    cycle.recheckBeforeSave = true;
}

bool TrayProgram::userScan() {
    const auto outcome = tryScanCycle(cycle, 1);
    if (!outcome) {
        return false;
    }
    if (*outcome == CycleOutcome::OutOfMemory && endProcess) {
        endProcess(kExitOutOfMemory);
    }
    return true;
}

}  // namespace kestrune
