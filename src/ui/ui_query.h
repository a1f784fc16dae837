// The query and playback dialogs and the paging of query results.
#pragma once

#include <gtk/gtk.h>

void btnQueryOpenCb(GtkWidget* w, gpointer data);
void btnPlayOpenCb(GtkWidget* w, gpointer data);
void queryPrevCb(GtkWidget* w, gpointer data);
void queryNextCb(GtkWidget* w, gpointer data);

// Fills a combo with the values of table ("%d", up to its -1) and selects
// the first; selects the entry that shows value (see comboDefIndex).
void addComboText(GtkWidget* combo, const int* table);
void setComboDefIndex(GtkWidget* combo, const int* table, int value);
