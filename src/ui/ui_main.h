// The main window: the live list, its toolbar and bottom bar, and the tray.
#pragma once

#include <gtk/gtk.h>

#define WIRELANE_TITLE "Wirelane Super Traffic Tool V3.0"

// Widgets that the dialogs reach.
extern GtkWidget* mainWindow;
extern GtkWidget* mainInfoList;
extern GtkStatusIcon* trayIcon;  // null until the icon is first shown
extern GtkWidget* userLabel;
extern GtkWidget* realBtn;
extern GtkWidget* prevBtn;
extern GtkWidget* nextBtn;
extern GtkWidget* pageLabel;
extern GtkWidget* queryExpBtn;

// Builds and shows the main window and the tray icon; the GTK main loop ends
// on Exit.
void ui_main();
// Asks for a refresh of the list; from any thread. At most one refresh waits
// at a time: a request while one waits is dropped.
void requestMainListRefresh();
// Refills the list from the live records or the query page, then the status
// label. The idle callback of requestMainListRefresh: always 0, so that it
// runs once per request.
gboolean refreshMainList(gpointer data);
void refreshUserLabel();
void setRealBtnLabel(const char* text);
void btnRealCb(GtkWidget* w, gpointer data);

// The monitoring-center address window.
void showKestrelWin(GtkWidget* w, gpointer data);
