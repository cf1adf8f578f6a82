/* The About dialog's size and the places of its controls in dialog units (x, y, width,
   height). Plain preprocessor text: the resource script builds the Win32 dialog from it
   and the Qt dialog is laid out by it. */
#ifndef KESTRUNE_ABOUT_DIALOG_LAYOUT_H
#define KESTRUNE_ABOUT_DIALOG_LAYOUT_H

#define ABOUT_DIALOG_WIDTH 309
#define ABOUT_DIALOG_HEIGHT 176

#define ABOUT_PICTURE_RECT 7, 7, 189, 54
#define ABOUT_NOTICE_RECT 56, 66, 180, 42
#define ABOUT_VERSION_RECT 62, 131, 88, 12
#define ABOUT_CHECK_FOR_UPDATES_RECT 51, 145, 70, 17

#endif
