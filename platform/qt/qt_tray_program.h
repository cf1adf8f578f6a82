// The Qt tray program: the GUI thread takes the user-interface role, a worker thread
// runs start-up and the hourly cycles.
#pragma once

#include <functional>

#include "baseline/scan_cycle.h"
#include "platform/qt/qt_desktop.h"
#include "ui/certificate_list.h"
#include "ui/http_client.h"

namespace kestrune {

// Posts the UI start to the GUI thread: the tray icon is added 3 s later. Never waits.
void startQtUi(QtDesktop& desktop, Tray& tray);

// Connects the double-click and the About command to their dialogs.
void connectTrayDialogs(QtDesktop& desktop, CycleContext& cycle, ListSortState& sortState,
                        HttpClient& http);

// The whole program; returns only the no-display status (2).
int kestruneQtMain(int argc, char** argv);

}  // namespace kestrune
