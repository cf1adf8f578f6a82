#include "platform/win32/desktop/about_dialog.h"

#include "platform/win32/desktop/win32_desktop.h"
#include "resources/win32/resource.h"
#include "ui/update_check.h"

namespace kestrune::win32 {

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            return TRUE;
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            if (id == IDOK || id == IDCANCEL) {
                EndDialog(dialog, id);
                return TRUE;
            }
            if (id == IDC_CHECK_FOR_UPDATES) {
                auto* context =
                    reinterpret_cast<AboutDialogContext*>(GetWindowLongPtrW(dialog, DWLP_USER));
                if (context) {
                    // The confirmation is owned by this dialog; the result boxes have no owner.
                    checkForUpdates(context->desktop, context->http, refOf(dialog),
                                    context->webSite);
                }
            }
            return FALSE;
        }
        default:
            return FALSE;
    }
}

INT_PTR showAboutDialog(HINSTANCE module, AboutDialogContext& context) {
    return DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_ABOUT), nullptr, aboutDialogProc,
                           reinterpret_cast<LPARAM>(&context));
}

}  // namespace kestrune::win32
