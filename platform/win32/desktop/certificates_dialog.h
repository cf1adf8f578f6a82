// The certificates dialog (resource 110) over the certificate list model: the list view
// filled from the cycle coordinator's snapshot, the column sort, and Scan Now.
#pragma once

#include <windows.h>

#include <functional>

#include "baseline/cycle_coordinator.h"
#include "ui/certificate_list.h"
#include "ui/scan_now.h"

namespace kestrune::win32 {

// Runs one user-initiated cycle on the calling (UI) thread; false, at once, when a
// cycle is already running and the dialog should try again shortly.
using RunUserScan = std::function<bool()>;

struct CertificatesDialogContext {
    CycleCoordinator& coordinator;
    ListSortState& sortState;  // one per process: every dialog sorts with the same direction
    RunUserScan runUserScan;
};

// The dialog procedure; the WM_INITDIALOG parameter is the CertificatesDialogContext.
INT_PTR CALLBACK certificatesDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Opens dialog 110 from `module` modally with no owner; returns the dialog's result.
INT_PTR showCertificatesDialog(HINSTANCE module, CertificatesDialogContext& context);

}  // namespace kestrune::win32
