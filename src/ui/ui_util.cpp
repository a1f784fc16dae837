#include "ui/ui_util.h"

#include "core/global_define.h"
#include "core/util.h"
#include "settings/settings.h"

GtkWidget* newImage(const guint8* inlineData)
{
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_inline(-1, inlineData, TRUE, nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
    GtkWidget* image = gtk_image_new_from_pixbuf(pixbuf);
    g_object_unref(pixbuf);
    return image;
}

GtkWidget* newTopWindow(const char* title, int border, int width, int height)
{
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), title);
    gtk_container_set_border_width(GTK_CONTAINER(window), border);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GdkPixbuf* icon = gdk_pixbuf_new_from_inline(-1, mini_inline, TRUE, nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_window_set_icon(GTK_WINDOW(window), icon);
    g_object_unref(icon);
    gtk_window_set_default_size(GTK_WINDOW(window), width, height);
    return window;
}

void packImageBtn(GtkWidget* hbox, GtkWidget* image, const char* tipText, GCallback clickedCb, gpointer data)
{
    GtkWidget* button = gtk_button_new();
    gtk_button_set_image(GTK_BUTTON(button), image);
    gtk_button_set_always_show_image(GTK_BUTTON(button), TRUE);
    gtk_widget_set_tooltip_text(button, tipText);
    // Screen readers name an image button by what its tooltip says.
    atk_object_set_name(gtk_widget_get_accessible(button), tipText);
    gtk_widget_set_size_request(button, 40, 60);
    if (clickedCb != nullptr) {
        g_signal_connect(button, "clicked", clickedCb, data);
    } else {
        gtk_widget_set_sensitive(button, FALSE);
    }
    gtk_box_pack_end(GTK_BOX(hbox), button, FALSE, FALSE, 0);
}

GtkWidget* createList(const char* const* titles, int col)
{
    col = CLAMP(col, 1, NUM_NETLIST_FIELD);
    GType types[NUM_NETLIST_FIELD];
    for (int i = 0; i < col; i++) types[i] = G_TYPE_STRING;
    GtkListStore* store = gtk_list_store_newv(col, types);
    GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);  // the view holds the only reference
    for (int i = 0; i < col; i++) {
        GtkCellRenderer* renderer = gtk_cell_renderer_text_new();
        GtkTreeViewColumn* column = gtk_tree_view_column_new_with_attributes(titles[i], renderer, "text", i, nullptr);
        char* markup = g_markup_printf_escaped("<span foreground=\"#606060\">%s</span>", titles[i]);
        GtkWidget* header = gtk_label_new(nullptr);
        gtk_label_set_markup(GTK_LABEL(header), markup);
        g_free(markup);
        gtk_widget_show(header);
        gtk_tree_view_column_set_widget(column, header);
        gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_AUTOSIZE);
        if (col == NUM_NETLIST_FIELD) gtk_tree_view_column_set_visible(column, readOnlyGlobal.columnShow[i] != 0);
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), column);
    }
    return view;
}

void selectRowCallback(GtkTreeSelection* selection, gpointer)
{
    GtkTreeModel* model;
    GtkTreeIter iter;
    // A selection cleared (the list refilled, a row unselected) keeps the last choice.
    if (!gtk_tree_selection_get_selected(selection, &model, &iter)) return;
    char* text = nullptr;
    gtk_tree_model_get(model, &iter, 0, &text, -1);
    if (text != nullptr) globalValue.tmpSelect = atoi(text) - 1;
    g_free(text);
}

void btnCancelCb(GtkWidget*, gpointer window) { gtk_widget_destroy(GTK_WIDGET(window)); }

void packOkCancel(GtkWidget* bar, GtkWidget* window, GCallback okCb, const char* okLabel)
{
    GtkWidget* cancel = gtk_button_new_with_label("Cancel");
    g_signal_connect(cancel, "clicked", G_CALLBACK(btnCancelCb), window);
    gtk_box_pack_end(GTK_BOX(bar), cancel, FALSE, FALSE, 5);
    GtkWidget* ok = gtk_button_new_with_label(okLabel);
    g_signal_connect(ok, "clicked", okCb, window);
    gtk_box_pack_end(GTK_BOX(bar), ok, FALSE, FALSE, 5);
}

void showHelpBox(GtkWidget*, gpointer text)
{
    GtkWidget* window = newTopWindow("Help", 12, 300, 180);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    for (const char* const* line = static_cast<const char* const*>(text); line && *line; line++) {
        // The help lines are markup of the program's own.
        char* markup = g_strdup_printf("<span foreground=\"#404040\" font_desc=\"11\" >%s</span>", *line);
        GtkWidget* label = gtk_label_new(nullptr);
        gtk_label_set_markup(GTK_LABEL(label), markup);
        g_free(markup);
        GtkWidget* hbox = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
        gtk_box_pack_start(GTK_BOX(hbox), label, FALSE, FALSE, 5);
        gtk_box_pack_start(GTK_BOX(vbox), hbox, FALSE, FALSE, 2);
    }
    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show_all(window);
}

void showNotice(const char* text)
{
    // Over the window the user is working in, modal, and without a main loop
    // of its own: the caller goes on, and screen readers can read the box.
    GtkWindow* parent = nullptr;
    GList* tops = gtk_window_list_toplevels();
    for (GList* t = tops; t != nullptr; t = t->next) {
        if (gtk_window_is_active(GTK_WINDOW(t->data))) parent = GTK_WINDOW(t->data);
    }
    g_list_free(tops);
    GtkWidget* box = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s", text);
    gtk_window_set_title(GTK_WINDOW(box), "Notice");
    // Read out by its title, not by its kind ("Information").
    atk_object_set_name(gtk_widget_get_accessible(box), "Notice");
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    g_signal_connect(box, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show_all(box);
}

void installAlertDialog() { setAlertHandler(showNotice); }

void openUri(const char* uri)
{
    GError* error = nullptr;
    if (!gtk_show_uri_on_window(nullptr, uri, GDK_CURRENT_TIME, &error)) {
        writeLog(2, "can not open %s: %s", uri, error != nullptr ? error->message : "unknown error");
        g_clear_error(&error);
    }
}

void openLocalPath(const char* path)
{
    char* uri = g_filename_to_uri(path, nullptr, nullptr);
    if (uri == nullptr) {
        writeLog(2, "can not open %s: not an absolute path", path);
        return;
    }
    openUri(uri);
    g_free(uri);
}
