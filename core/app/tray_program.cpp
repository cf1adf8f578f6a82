#include "app/tray_program.h"

namespace kestrune {

namespace {

ProgramPorts portsOf(Ports& ports, Notifier& desktop, Trace& trace) {
    return {*ports.stores,  *ports.settings, *ports.http, *ports.clock,
            *ports.changes, desktop,         trace};
}

}  // namespace

TrayProgram::TrayProgram(const ProgramPorts& given)
    : ports(given), tray(ports.desktop, state), dialogue(ports.desktop, tray), cycle{state,
                                                                                     ports.stores,
                                                                                     ports.clock,
                                                                                     ports.trace,
                                                                                     dialogue,
                                                                                     coordinator} {}

TrayProgram::TrayProgram(Ports platform, Notifier& desktop, Trace& trace)
    : owned_(std::move(platform)),
      ports(portsOf(owned_, desktop, trace)),
      tray(ports.desktop, state),
      dialogue(ports.desktop, tray),
      cycle{state, ports.stores, ports.clock, ports.trace, dialogue, coordinator} {}

int TrayProgram::run(const std::vector<std::string>& arguments, const MainRoutineHooks& hooks) {
    echoArguments(arguments, ports.desktop);
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
