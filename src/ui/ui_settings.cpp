// "Select NIC" and "Analysis settings": the capture card with the two
// switches, and the table of monitored endpoints.
#include "ui/ui_settings.h"

#include <climits>
#include <cstdio>
#include <mutex>

#include "capture/engine.h"
#include "core/conf.h"
#include "core/global_define.h"
#include "core/util.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "ui/list_text.h"
#include "ui/ui_util.h"

namespace {

const char* const cardTitles[] = {"No.", "Card name", "IP address", "Device ID"};
const char* const endPointTitles[] = {"No.", "IP", "PORT", "PROTOCOL", "BusiId"};

const char* const endPointHelpStr[] = {
    " In this input box, you can only enter one of the following examples.\n",
    " 1.  192.168.1.12\n",
    " 2.  192.168.1.12:80\n",
    " 3.  192.168.1.0/24\n",
    " 4.  192.168.1.112-192.168.1.200\n",
    " 5.  2001:db8::10\n",
    " 6.  [2001:db8::10]:443\n",
    " 7.  2001:db8::/64\n",
    " 8.  2001:db8::1-2001:db8::ff\n",
    " A port follows an IPv6 subnet or range in brackets: [2001:db8::/64]:443\n",
    nullptr,
};
const char* const protocolHelpStr[] = {
    " 1.  Analysis of TCP &amp; UDP protocol of monitoring object\n",
    " 2.  Analysis of TCP protocol of monitoring object\n",
    " 3.  Analysis of UDP protocol of monitoring object\n",
    " 4.  Analysis of HTTP protocol of monitoring object\n",
    " 5.  Analysis of Oracle service traffic\n",
    " 6.  Analysis of SQLserver service traffic\n",
    " 7.  Analysis of MySQL service traffic\n",
    " 8.  Analysis of PostgreSQL service traffic\n",
    " 9.  Analysis of Redis service traffic\n",
    nullptr,
};

// The list of the endpoint dialog open now, if any.
GtkWidget* endPointList = nullptr;

GtkListStore* storeOf(GtkWidget* list) { return GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(list))); }

GtkWidget* listOf(gpointer window) { return GTK_WIDGET(g_object_get_data(G_OBJECT(window), "list")); }

// A list in a scrolled box that takes the dialog's spare room; the list is
// kept on the window for its handlers.
GtkWidget* packList(GtkWidget* window, GtkWidget* vbox, const char* const* titles, int cols)
{
    GtkWidget* list = createList(titles, cols);
    g_object_set_data(G_OBJECT(window), "list", list);
    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(scrolled), list);
    gtk_box_pack_start(GTK_BOX(vbox), scrolled, TRUE, TRUE, 5);
    g_signal_connect(gtk_tree_view_get_selection(GTK_TREE_VIEW(list)), "changed", G_CALLBACK(selectRowCallback),
                     nullptr);
    return list;
}

GtkWidget* packEndButton(GtkWidget* bar, const char* label, GCallback cb, gpointer data)
{
    GtkWidget* button = gtk_button_new_with_label(label);
    g_signal_connect(button, "clicked", cb, data);
    gtk_box_pack_end(GTK_BOX(bar), button, FALSE, FALSE, 5);
    return button;
}

// ---- Select NIC ----------------------------------------------------------------

void fillCards(GtkWidget* list, const char* numberFormat)
{
    GtkListStore* store = storeOf(list);
    gtk_list_store_clear(store);
    getCardInfo();
    CardInfoT card;
    for (int i = 0; i < readOnlyGlobal.cntCard && getCard(i, &card) == 0; i++) {
        char number[16];
        std::snprintf(number, sizeof number, numberFormat, i + 1);
        char name[sizeof card.displayName * 3];
        systemText(card.displayName, name, sizeof name);
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        gtk_list_store_set(store, &iter, 0, number, 1, name, 2, card.address, 3, card.deviceId, -1);
    }
}

void cardRefreshCb(GtkWidget*, gpointer window) { fillCards(listOf(window), "%d"); }

// Capture moves to card row (0-based) unless it is there already.
void chooseCard(int row)
{
    if (row == globalValue.selectRow) return;
    CardInfoT card;
    if (getCard(row, &card) != 0) return;
    {
        std::lock_guard<std::mutex> lk(confMutex());
        std::snprintf(readOnlyGlobal.findMac, sizeof readOnlyGlobal.findMac, "%s", card.deviceId);
    }
    globalValue.selectRow = row;
    globalValue.newSelect = 1;  // the capture thread reopens on it
    refreshConf();
}

void cardConfirmCb(GtkWidget*, gpointer window)
{
    if (globalValue.tmpSelect < 0) {
        showNotice("Please choice");
        return;
    }
    chooseCard(globalValue.tmpSelect);
    gtk_widget_destroy(GTK_WIDGET(window));
}

void view_onRowActivated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn*, gpointer window)
{
    GtkTreeModel* model = gtk_tree_view_get_model(view);
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter(model, &iter, path)) return;
    char* number = nullptr;
    gtk_tree_model_get(model, &iter, 0, &number, -1);
    globalValue.tmpSelect = number != nullptr ? atoi(number) - 1 : -1;
    g_free(number);
    chooseCard(globalValue.tmpSelect);
    gtk_widget_destroy(GTK_WIDGET(window));
}

void btnCheckCb(GtkToggleButton* box, gpointer)
{
    char exe[PATH_MAX];
    int err = platform::exePath(exe, sizeof exe);
    if (err == 0) err = platform::setAutostart(gtk_toggle_button_get_active(box), exe);
    if (err != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "Set AutoRun failed with %d!", err);
        showNotice(text);
    }
    // The box shows whether the entry is there, whatever happened.
    g_signal_handlers_block_by_func(box, reinterpret_cast<gpointer>(btnCheckCb), nullptr);
    gtk_toggle_button_set_active(box, platform::autostartExists());
    g_signal_handlers_unblock_by_func(box, reinterpret_cast<gpointer>(btnCheckCb), nullptr);
}

void btnHttpCb(GtkToggleButton* box, gpointer)
{
    readOnlyGlobal.checkHttp = gtk_toggle_button_get_active(box) ? 1 : 0;
    refreshConf();
}

// ---- Analysis settings ---------------------------------------------------------------

void endPointAdd(GtkWidget*, gpointer window)
{
    auto* entry = GTK_ENTRY(g_object_get_data(G_OBJECT(window), "textAddress"));
    auto* combo = GTK_COMBO_BOX(g_object_get_data(G_OBJECT(window), "comboProto"));
    if (endpointAdd(gtk_entry_get_text(entry), gtk_combo_box_get_active(combo)) != 0) return;
    gtk_widget_destroy(GTK_WIDGET(window));
    refreshEndpointList();
}

void endPointAddCb(GtkWidget*, gpointer)
{
    GtkWidget* window = newTopWindow("Add", 10, 500, 100);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 5);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 5);
    GtkWidget* entry = gtk_entry_new();
    gtk_widget_set_hexpand(entry, TRUE);
    GtkWidget* combo = gtk_combo_box_text_new();
    for (const ProtocolT& protocol : protocols)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), protocol.name);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
    g_object_set_data(G_OBJECT(window), "textAddress", entry);
    g_object_set_data(G_OBJECT(window), "comboProto", combo);
    struct {
        const char* label;
        GtkWidget* input;
        const char* const* help;
    } const rows[] = {{"IP:PORT", entry, endPointHelpStr}, {"PROTOCOL", combo, protocolHelpStr}};
    for (int r = 0; r < 2; r++) {
        gtk_grid_attach(GTK_GRID(grid), gtk_label_new(rows[r].label), 0, r, 1, 1);
        gtk_grid_attach(GTK_GRID(grid), rows[r].input, 1, r, 1, 1);
        GtkWidget* help = gtk_button_new_with_label("?");
        g_signal_connect(help, "clicked", G_CALLBACK(showHelpBox), const_cast<char**>(rows[r].help));
        gtk_grid_attach(GTK_GRID(grid), help, 2, r, 1, 1);
    }
    gtk_box_pack_start(GTK_BOX(vbox), grid, TRUE, TRUE, 5);
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    packOkCancel(bar, window, G_CALLBACK(endPointAdd));
    gtk_box_pack_start(GTK_BOX(vbox), bar, FALSE, FALSE, 5);
    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show_all(window);
}

void endPointDelCb(GtkWidget*, gpointer)
{
    if (endpointDelete(globalValue.tmpSelect) != 0) return;
    globalValue.tmpSelect = -1;
    refreshEndpointList();
}

void endPointListGoneCb(GtkWidget* list, gpointer)
{
    if (endPointList == list) endPointList = nullptr;
}

}  // namespace

void btnCardOpenCb(GtkWidget*, gpointer)
{
    globalValue.tmpSelect = -1;
    GtkWidget* window = newTopWindow("Select NIC", 10, 550, 250);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* list = packList(window, vbox, cardTitles, 4);
    fillCards(list, " %d");

    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    packOkCancel(bar, window, G_CALLBACK(cardConfirmCb));
    packEndButton(bar, "Check NIC", G_CALLBACK(cardRefreshCb), window);
    // Both boxes show the current state before their handlers listen.
    GtkWidget* autoStart = gtk_check_button_new_with_label("Auto Start");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(autoStart), platform::autostartExists());
    g_signal_connect(autoStart, "toggled", G_CALLBACK(btnCheckCb), nullptr);
    gtk_box_pack_end(GTK_BOX(bar), autoStart, FALSE, FALSE, 5);
    GtkWidget* http = gtk_check_button_new_with_label("HTTP");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(http), readOnlyGlobal.checkHttp != 0);
    g_signal_connect(http, "toggled", G_CALLBACK(btnHttpCb), nullptr);
    gtk_box_pack_end(GTK_BOX(bar), http, FALSE, FALSE, 5);
    gtk_box_pack_start(GTK_BOX(vbox), bar, FALSE, FALSE, 5);

    g_signal_connect(list, "row-activated", G_CALLBACK(view_onRowActivated), window);
    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show_all(window);
    // Shown, the list takes the focus, and a list focused without a cursor
    // selects its first row: undone, so that only the user chooses a card.
    gtk_tree_selection_unselect_all(gtk_tree_view_get_selection(GTK_TREE_VIEW(list)));
    globalValue.tmpSelect = -1;
}

void btnEndPointOpenCb(GtkWidget*, gpointer)
{
    globalValue.tmpSelect = -1;
    GtkWidget* window = newTopWindow("Analysis settings", 10, 650, 400);
    gtk_widget_set_size_request(window, 650, 400);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    endPointList = packList(window, vbox, endPointTitles, 5);
    g_signal_connect(endPointList, "destroy", G_CALLBACK(endPointListGoneCb), nullptr);

    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    packEndButton(bar, "  OK  ", G_CALLBACK(btnCancelCb), window);  // every change is applied already
    packEndButton(bar, "Delete", G_CALLBACK(endPointDelCb), nullptr);
    packEndButton(bar, " Add ", G_CALLBACK(endPointAddCb), nullptr);
    gtk_box_pack_start(GTK_BOX(vbox), bar, FALSE, FALSE, 5);
    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show_all(window);
    refreshEndpointList();
}

void refreshEndpointList()
{
    if (endPointList == nullptr) return;
    GtkListStore* store = storeOf(endPointList);
    gtk_list_store_clear(store);
    HostInfoT h;
    for (int i = 0; i < readOnlyGlobal.cntHost && getHostEntry(i, &h) == 0; i++) {
        char number[16], port[16];
        std::snprintf(number, sizeof number, "%d", i + 1);
        std::snprintf(port, sizeof port, "%d", h.port);
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        gtk_list_store_set(store, &iter, 0, number, 1, h.addrStr, 2, port, 3, h.protoStr, 4, h.busiId, -1);
    }
}
