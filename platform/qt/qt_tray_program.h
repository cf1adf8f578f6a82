// The Qt tray program: the GUI thread takes the user-interface role, a worker thread
// runs start-up and the hourly cycles.
#pragma once

#include <functional>

#include "app/tray_program.h"
#include "platform/qt/qt_desktop.h"

namespace kestrune {

// Posts the UI start to the GUI thread: the tray icon is added 3 s later. Never waits.
void startQtUi(QtDesktop& desktop, Tray& tray);

// Connects the double-click and the About command to their dialogs.
void connectTrayDialogs(QtDesktop& desktop, TrayProgram& program);

// The whole program; returns only the no-display status (2).
int kestruneQtMain(int argc, char** argv);

}  // namespace kestrune
