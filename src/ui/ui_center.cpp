// The monitoring-center address window ("Online monitoring").
#include <arpa/inet.h>

#include <cstdio>
#include <mutex>

#include "core/conf.h"
#include "core/global_define.h"
#include "core/util.h"
#include "settings/center.h"
#include "ui/ui_main.h"
#include "ui/ui_util.h"

namespace {

const char* const kestrelHelpStr[] = {
    " Enter the IP or Domain of the Tkestrel Cloud Traffic ",
    " Monitoring Center. If you do not know the address, ",
    " ask the administrator of your monitoring center. ",
    nullptr,
};

void kestrelConifrmCb(GtkWidget*, gpointer window)
{
    auto* entry = GTK_ENTRY(g_object_get_data(G_OBJECT(window), "kestrelAddress"));
    {
        // The settings may be being saved by a store thread right now.
        std::lock_guard<std::mutex> lk(confMutex());
        std::snprintf(readOnlyGlobal.kestrelStrRemotePath, sizeof readOnlyGlobal.kestrelStrRemotePath, "%s",
                      gtk_entry_get_text(entry));
    }
    if (kestrelConfirm(true) != 0) return;  // the window stays open for a correction
    gtk_widget_destroy(GTK_WIDGET(window));
    // An IPv6 center, written bare or bracketed, is bracketed in the address.
    char host[sizeof readOnlyGlobal.kestrelStrRemotePath];
    const char* name = bareHost(readOnlyGlobal.kestrelStrRemotePath, host, sizeof host);
    in6_addr v6;
    char* uri = g_strdup_printf(inet_pton(AF_INET6, name, &v6) == 1 ? "http://[%s]/" : "http://%s/", name);
    openUri(uri);
    g_free(uri);
}

}  // namespace

void showKestrelWin(GtkWidget*, gpointer)
{
    GtkWidget* window = newTopWindow("WXM Address", 10, 500, 100);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);

    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new("WXM Address "), FALSE, FALSE, 5);
    GtkWidget* entry = gtk_entry_new();
    // The address field holds 255 characters: longer text cannot be typed.
    gtk_entry_set_max_length(GTK_ENTRY(entry), sizeof readOnlyGlobal.kestrelStrRemotePath - 1);
    gtk_entry_set_text(GTK_ENTRY(entry), readOnlyGlobal.kestrelStrRemotePath);
    // Each window reads its own entry, however many are open.
    g_object_set_data(G_OBJECT(window), "kestrelAddress", entry);
    gtk_box_pack_start(GTK_BOX(row), entry, TRUE, TRUE, 5);
    GtkWidget* help = gtk_button_new_with_label("?");
    g_signal_connect(help, "clicked", G_CALLBACK(showHelpBox), const_cast<char**>(kestrelHelpStr));
    gtk_box_pack_start(GTK_BOX(row), help, FALSE, FALSE, 5);
    gtk_box_pack_start(GTK_BOX(vbox), row, FALSE, FALSE, 5);

    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    packOkCancel(bar, window, G_CALLBACK(kestrelConifrmCb));
    gtk_box_pack_start(GTK_BOX(vbox), bar, FALSE, FALSE, 5);

    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show_all(window);
}
