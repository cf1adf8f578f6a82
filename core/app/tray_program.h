// The tray program, assembled in one place: the state, the tray, the cycle's dialogue,
// the coordinator and the cycle context, over the ports it is given. Both front ends
// (Qt, Win32) make one and add their user interface; tests make one over fakes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/ports.h"
#include "app/startup.h"
#include "baseline/scan_cycle.h"
#include "ui/certificate_list.h"
#include "ui/cycle_dialogue.h"
#include "ui/desktop.h"
#include "ui/tray.h"

namespace kestrune {

// What a tray program is given; owned by whoever made it.
struct ProgramPorts {
    StoreCatalogue& stores;
    SettingsApi& settings;
    HttpClient& http;
    Clock& clock;
    ChangeSource& changes;
    Desktop& desktop;
    Trace& trace;
};

class TrayProgram {
  public:
    explicit TrayProgram(const ProgramPorts& ports);
    // Takes the platform's ports and keeps them.
    TrayProgram(Ports ports, Desktop& desktop, Trace& trace);
    TrayProgram(const TrayProgram&) = delete;
    TrayProgram& operator=(const TrayProgram&) = delete;

    // The entry point's work after the command line is split: the argument echo, then
    // start-up and the hourly schedule. Returns the status the process must end with
    // (kExitNoSettingsKey, kExitOutOfMemory), or 0 once hooks.keepRunning says stop.
    int run(const std::vector<std::string>& arguments, const MainRoutineHooks& hooks);

    // Scan Now: a user cycle, unless another cycle runs (false: try again later). A
    // scan that runs out of memory ends the process through endProcess.
    bool userScan();

    // The Linux desktop's safeguards (the Windows program keeps its boxes as they are):
    // every difference listed in the question with No as its default, a re-check of the
    // stores before a Yes is saved, and one box per set of unreadable stores.
    void askCarefully();

  private:
    Ports owned_;  // empty when the ports belong to someone else

  public:
    const ProgramPorts ports;
    KestruneState state;
    Tray tray;
    DesktopCycleDialogue dialogue;
    CycleCoordinator coordinator;
    CycleContext cycle;
    ListSortState sortState;  // listSortDirection, shared by every certificates dialog
    // How the process ends when Scan Now cannot go on; the entry point sets it.
    std::function<void(int status)> endProcess;
};

}  // namespace kestrune
