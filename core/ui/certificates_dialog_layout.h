/* The certificates dialog's size, caption and controls: ids, rectangles in dialog units
   (x, y, width, height) and the texts the controls start with. Plain preprocessor text,
   because the resource script builds the Win32 dialog from it; ui/certificate_list.h
   names the same controls for the code. */
#ifndef KESTRUNE_CERTIFICATES_DIALOG_LAYOUT_H
#define KESTRUNE_CERTIFICATES_DIALOG_LAYOUT_H

#define CERTIFICATES_DIALOG_CAPTION "Brimtal Kestrune - Certificates"
#define CERTIFICATES_DIALOG_WIDTH 605
#define CERTIFICATES_DIALOG_HEIGHT 245

#define IDC_CERTIFICATE_LIST 1001
#define IDC_CERTIFICATE_LIST_RECT 7, 39, 591, 177
#define IDC_CERTIFICATE_LIST_LABEL ""

#define IDC_UNIQUE_TEXT 1002
#define IDC_UNIQUE_TEXT_RECT 15, 6, 114, 9
#define IDC_UNIQUE_TEXT_LABEL "Unique Certificates: "

#define IDC_LAST_SCAN_TEXT 1003
#define IDC_LAST_SCAN_TEXT_RECT 486, 216, 114, 8
#define IDC_LAST_SCAN_TEXT_LABEL "Last Scan: "

#define IDC_EXPAND_CHECK 1004
#define IDC_EXPAND_CHECK_RECT 15, 224, 141, 12
#define IDC_EXPAND_CHECK_LABEL "Expand Unique Certificates"

/* The first fill replaces this wording with the one it writes. */
#define IDC_COUNT_TEXT 1005
#define IDC_COUNT_TEXT_RECT 446, 6, 152, 8
#define IDC_COUNT_TEXT_LABEL "Count of certificates in every store: "

#define IDC_SCAN_NOW 1006
#define IDC_SCAN_NOW_RECT 534, 227, 53, 15
#define IDC_SCAN_NOW_LABEL "Scan Now"

#endif
