#include "ui/ui_main.h"

#include <gtk/gtk.h>

namespace {

GtkWidget* mainWindow = nullptr;

void btnExitCb(GtkWidget*, gpointer) { gtk_main_quit(); }

gboolean mainWindowDeleteCb(GtkWidget*, GdkEvent*, gpointer)
{
    gtk_main_quit();
    return TRUE;
}

}  // namespace

void ui_main()
{
    mainWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(mainWindow), WIRELANE_TITLE);
    gtk_window_set_default_size(GTK_WINDOW(mainWindow), 1024, 640);
    g_signal_connect(mainWindow, "delete-event", G_CALLBACK(mainWindowDeleteCb), nullptr);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* toolbar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    GtkWidget* exitButton = gtk_button_new_with_label("Exit");
    g_signal_connect(exitButton, "clicked", G_CALLBACK(btnExitCb), nullptr);
    gtk_box_pack_end(GTK_BOX(toolbar), exitButton, FALSE, FALSE, 4);
    gtk_box_pack_start(GTK_BOX(box), toolbar, FALSE, FALSE, 4);
    gtk_container_add(GTK_CONTAINER(mainWindow), box);
    gtk_widget_show_all(mainWindow);
}
