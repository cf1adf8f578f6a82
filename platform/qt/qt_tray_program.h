// The Qt tray program: the GUI thread takes the user-interface role, a worker thread
// runs start-up and the hourly cycles.
#pragma once

#include <functional>

#include "app/tray_program.h"
#include "platform/qt/qt_desktop.h"

namespace kestrune {

// Posts the UI start to the GUI thread: the tray icon is added 3 s later. Never waits.
void startQtUi(QtDesktop& desktop, Tray& tray);

// Connects the click, the menu and a later launch to the list, Scan Now and About.
void connectTrayDialogs(QtDesktop& desktop, TrayProgram& program);

// A command line it does not know ends the program with this status.
inline constexpr int kExitUsage = 2;

// The whole program; returns 0 after --help, 2 for a bad command line or no display.
int kestruneQtMain(int argc, char** argv);

}  // namespace kestrune
