// The settings dialogs of the toolbar: card, endpoints, JSON export and
// packet dump. Every accepted change applies at once and is saved.
#pragma once

#include <gtk/gtk.h>

void btnCardOpenCb(GtkWidget* w, gpointer data);
void btnEndPointOpenCb(GtkWidget* w, gpointer data);
void btnExportOpenCb(GtkWidget* w, gpointer data);
void btnDumpOpenCb(GtkWidget* w, gpointer data);
// Refills the list of the open endpoint dialog from the endpoint table.
void refreshEndpointList();
