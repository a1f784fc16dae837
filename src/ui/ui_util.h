// Widget helpers shared by every window: image buttons, string lists, the
// settings lists' row selection, closing, help windows and message boxes.
#pragma once

#include <gtk/gtk.h>

// The program's images as GDK pixel data (made from data/images at build time).
#include "ui_images.h"

// A new image widget from built-in pixel data.
GtkWidget* newImage(const guint8* inlineData);
// A top-level window as every window of the program opens: title, border,
// centred, the small program image as icon, default size.
GtkWidget* newTopWindow(const char* title, int border, int width, int height);

// A button showing image, with tooltip and accessible name tipText, packed
// at the end of hbox: successive calls line up from right to left.
void packImageBtn(GtkWidget* hbox, GtkWidget* image, const char* tipText, GCallback clickedCb, gpointer data);
// A tree view over a new list store of col string columns (at most 38); with
// 38 columns (the live list) each column starts visible as columnShow says.
GtkWidget* createList(const char* const* titles, int col);
// "changed" of a settings list: tmpSelect = the selected row's number - 1;
// unchanged when no row is selected.
void selectRowCallback(GtkTreeSelection* selection, gpointer label);
// Closes the window given as user data.
void btnCancelCb(GtkWidget* w, gpointer window);
// "Cancel" then the OK button at the end of bar, from the right; both get
// window as user data, Cancel closes it.
void packOkCancel(GtkWidget* bar, GtkWidget* window, GCallback okCb, const char* okLabel = "   OK   ");
// Opens a "Help" window with one line per string of text (a table of
// markup strings ended by nullptr).
void showHelpBox(GtkWidget* w, gpointer text);

// A modal message box titled "Notice" with one OK button; returns at once.
void showNotice(const char* text);
// Points the settings messages of the dialogs at showNotice.
void installAlertDialog();
// Opens uri in the desktop's default application; failures are logged.
void openUri(const char* uri);
// Opens a local file or folder the same way.
void openLocalPath(const char* path);
