// "JSON export" and "Packets dump": the local stores, the remote receivers
// and the truncation length. OK runs the settings' own checks; a refused
// value keeps the dialog open for a correction.
#include <gtk/gtk.h>

#include "core/global_define.h"
#include "settings/settings.h"
#include "ui/ui_settings.h"
#include "ui/ui_util.h"

namespace {

const char* const jsonHelpStr[] = {
    " Please fill in an IP: PORT, JSON data will be sent to",
    " this address with UDP protocol.",
    nullptr,
};
const char* const dumpHelpStr[] = {
    " Please fill in an IP address, raw packets will sent",
    " to this address port 4789 with VXLAN protocol",
    " and confirm that port 4789 can communicate",
    nullptr,
};
const char* const trunHelpStr[] = {
    " Packets will be truncated by input before storage or export",
    " must great then 64 bytes (Packet header length)",
    nullptr,
};

// What stands right of a row's entry.
enum class Side { Folder, Label, Help };

struct RowT {
    const char* label;
    const char* key;   // the entry, kept on the window under this name
    const char* text;  // the accepted value the entry starts with
    Side side;
    const char* sideText;  // the folder button's tooltip, the label, or nullptr
    const char* const* help;
};

const char* entryText(gpointer window, const char* key)
{
    return gtk_entry_get_text(GTK_ENTRY(g_object_get_data(G_OBJECT(window), key)));
}

// The folder chooser of a Local Path row: the chosen folder goes into the
// entry, and is applied with the rest on OK.
void clickLocalPath(GtkWidget*, gpointer entry)
{
    GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(entry));
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        "Select dir", GTK_WINDOW(top), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Save", "_Cancel");
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
        char* folder = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
        if (folder != nullptr) gtk_entry_set_text(GTK_ENTRY(entry), folder);
        g_free(folder);
    }
    g_object_unref(chooser);
}

void exportOkCb(GtkWidget*, gpointer window)
{
    if (exportOffer(entryText(window, "exportLocalPath"), entryText(window, "exportLocalSpace"),
                    entryText(window, "exportRemotePath")) == 0) {
        gtk_widget_destroy(GTK_WIDGET(window));
    }
}

void dumpOkCb(GtkWidget*, gpointer window)
{
    if (dumpOffer(entryText(window, "dumpLocalPath"), entryText(window, "dumpLocalSpace"),
                  entryText(window, "dumpRemotePath"), entryText(window, "dumpTrunLen")) == 0) {
        gtk_widget_destroy(GTK_WIDGET(window));
    }
}

void openStoreDialog(const char* title, int minHeight, const RowT* rows, int n, GCallback okCb)
{
    GtkWidget* window = newTopWindow(title, 10, 550, minHeight);
    gtk_widget_set_size_request(window, 550, minHeight);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 5);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 5);
    for (int r = 0; r < n; r++) {
        GtkWidget* label = gtk_label_new(rows[r].label);
        gtk_widget_set_halign(label, GTK_ALIGN_START);
        gtk_grid_attach(GTK_GRID(grid), label, 0, r, 1, 1);
        GtkWidget* entry = gtk_entry_new();
        gtk_entry_set_text(GTK_ENTRY(entry), rows[r].text);
        gtk_widget_set_hexpand(entry, TRUE);
        // Screen readers name an entry by the label of its row.
        atk_object_set_name(gtk_widget_get_accessible(entry), rows[r].label);
        g_object_set_data(G_OBJECT(window), rows[r].key, entry);
        gtk_grid_attach(GTK_GRID(grid), entry, 1, r, 1, 1);
        GtkWidget* side;
        if (rows[r].side == Side::Folder) {
            side = gtk_button_new_with_label("...");
            gtk_widget_set_tooltip_text(side, rows[r].sideText);
            g_signal_connect(side, "clicked", G_CALLBACK(clickLocalPath), entry);
        } else if (rows[r].side == Side::Label) {
            side = gtk_label_new(rows[r].sideText);
            gtk_widget_set_halign(side, GTK_ALIGN_START);
        } else {
            side = gtk_button_new_with_label("?");
            g_signal_connect(side, "clicked", G_CALLBACK(showHelpBox), const_cast<char**>(rows[r].help));
        }
        gtk_grid_attach(GTK_GRID(grid), side, 2, r, 1, 1);
    }
    gtk_box_pack_start(GTK_BOX(vbox), grid, TRUE, TRUE, 5);
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    packOkCancel(bar, window, okCb);
    gtk_box_pack_start(GTK_BOX(vbox), bar, FALSE, FALSE, 5);
    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show_all(window);
}

}  // namespace

void btnExportOpenCb(GtkWidget*, gpointer)
{
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    const RowT rows[] = {
        {"Local Path", "exportLocalPath", g.exportStrLocalPath, Side::Folder, "Dump json to disk", nullptr},
        {"Local space", "exportLocalSpace", g.exportStrLocalSpace, Side::Label, " MB  (Must be a multiple of 100)",
         nullptr},
        {"Remote Path", "exportRemotePath", g.exportStrRemotePath, Side::Help, nullptr, jsonHelpStr},
    };
    openStoreDialog("JSON export", 100, rows, 3, G_CALLBACK(exportOkCb));
}

void btnDumpOpenCb(GtkWidget*, gpointer)
{
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    const RowT rows[] = {
        {"Local Path", "dumpLocalPath", g.dumpStrLocalPath, Side::Folder, "Dump packet to disk", nullptr},
        {"Local space", "dumpLocalSpace", g.dumpStrLocalSpace, Side::Label, " MB  (Must be a multiple of 100MB)",
         nullptr},
        {"Remote Path", "dumpRemotePath", g.dumpStrRemotePath, Side::Help, nullptr, dumpHelpStr},
        {"Truncation Len", "dumpTrunLen", g.dumpStrTrunLen, Side::Help, nullptr, trunHelpStr},
    };
    openStoreDialog("Packets dump", 200, rows, 4, G_CALLBACK(dumpOkCb));
}
