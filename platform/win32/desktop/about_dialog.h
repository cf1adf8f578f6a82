// The About dialog (resource 111): picture, name, notice and version from the resource,
// and Check for Updates through the portable update check.
#pragma once

#include <windows.h>

#include <string>

#include "ui/http_client.h"
#include "ui/notifier.h"

namespace kestrune::win32 {

struct AboutDialogContext {
    Notifier& desktop;
    HttpClient& http;
    std::string webSite;
};

// The dialog procedure; the WM_INITDIALOG parameter is the AboutDialogContext.
INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Opens dialog 111 from `module` modally with no owner; returns the dialog's result.
INT_PTR showAboutDialog(HINSTANCE module, AboutDialogContext& context);

}  // namespace kestrune::win32
