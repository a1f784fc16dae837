#include "ui/ui_main.h"

#include <atomic>
#include <cstring>

#include "capture/engine.h"
#include "capture/pipeline.h"
#include "capture/ring.h"
#include "core/cards.h"
#include "core/conf.h"
#include "core/global_define.h"
#include "core/util.h"
#include "output/scan.h"
#include "ui/list_text.h"
#include "ui/ui_query.h"
#include "ui/ui_settings.h"
#include "ui/ui_util.h"

GtkWidget* mainWindow = nullptr;
GtkWidget* mainInfoList = nullptr;
GtkStatusIcon* trayIcon = nullptr;
GtkWidget* userLabel = nullptr;
GtkWidget* realBtn = nullptr;
GtkWidget* prevBtn = nullptr;
GtkWidget* nextBtn = nullptr;
GtkWidget* pageLabel = nullptr;
GtkWidget* queryExpBtn = nullptr;

namespace {

GtkWidget* statusLabel = nullptr;
GtkWidget* emptyLabel = nullptr;  // over the list while nothing can come into it

const char* const infoKpiKeyVal[] = {"Kpi", "Value"};
constexpr const char* HELP_FILE = "wirelane-help.html";

// Set while the window is iconified by "Minimize" because no tray took the
// icon (yet): if a tray takes it later, the window goes to the tray after all.
bool minimizedWithoutTray = false;

void setTrayVisible(bool visible);

GtkTreeViewColumn* listColumn(int i) { return gtk_tree_view_get_column(GTK_TREE_VIEW(mainInfoList), i); }

// The rows the list and the export show: the scan's top list in real-time
// mode, a query page or the whole query result in query mode.
int shownRecords(const CommMsgT*& recs, bool forExport)
{
    static CommMsgT live[TOP_SESSIONS];
    ReadOnlyGlobalT& g = readOnlyGlobal;
    if (g.readJsonFileMode == 0) {
        recs = live;
        return copyTopList(live);
    }
    if (forExport) {
        recs = g.jsonFileCommsExp;
        return CLAMP(g.jsonFileCommExpCnt, 0, static_cast<int>(G_N_ELEMENTS(g.jsonFileCommsExp)));
    }
    recs = g.jsonFileComms;
    return CLAMP(g.jsonFileCommCnt, 0, static_cast<int>(G_N_ELEMENTS(g.jsonFileComms)));
}

// ---- help, log and the tray -------------------------------------------------

// The user guide lies beside the program in the build tree, and in the
// documentation folder of its prefix once installed (bin/../share/doc).
void showHelpLink(GtkWidget*, gpointer)
{
    char* path = g_build_filename(readOnlyGlobal.exeFilePath, HELP_FILE, nullptr);
    if (!g_file_test(path, G_FILE_TEST_EXISTS)) {
        g_free(path);
        path = g_build_filename(readOnlyGlobal.exeFilePath, "..", "share", "doc", "wirelane", HELP_FILE, nullptr);
    }
    if (g_file_test(path, G_FILE_TEST_EXISTS)) {
        openLocalPath(path);
    } else {
        char* text = g_strdup_printf("Can not find the user guide %s", path);
        showNotice(text);
        g_free(text);
    }
    g_free(path);
}

gboolean logoPressCb(GtkWidget* w, GdkEventButton*, gpointer data)
{
    showHelpLink(w, data);
    return TRUE;
}

void showLogDir(GtkWidget*, gpointer) { openLocalPath(readOnlyGlobal.userTmpPath); }

// The tray icon of GTK 3 is deprecated, and still the one that every
// X11 tray shows.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS

void showMainWindow()
{
    minimizedWithoutTray = false;
    gtk_window_deiconify(GTK_WINDOW(mainWindow));
    gtk_widget_show(mainWindow);
    gtk_window_present(GTK_WINDOW(mainWindow));
    setTrayVisible(false);
}

void trayOnClick(GtkStatusIcon*, gpointer) { showMainWindow(); }

// Hides the window to the tray; where no tray shows the icon, iconifies it
// instead, so that the user can always get it back.
gboolean btnMiniCb(GtkWidget*, gpointer)
{
    setTrayVisible(true);
    if (gtk_status_icon_is_embedded(trayIcon)) {
        gtk_widget_hide(mainWindow);
    } else {
        minimizedWithoutTray = true;
        gtk_window_iconify(GTK_WINDOW(mainWindow));
    }
    return TRUE;  // a close request is consumed: the window stays alive
}

void trayEmbeddedCb(GObject*, GParamSpec*, gpointer)
{
    if (minimizedWithoutTray && gtk_status_icon_is_embedded(trayIcon)) {
        minimizedWithoutTray = false;
        gtk_widget_hide(mainWindow);
    }
}

G_GNUC_END_IGNORE_DEPRECATIONS

// Back from iconified by the desktop's own means: the tray icon goes.
gboolean windowStateCb(GtkWidget*, GdkEventWindowState* event, gpointer)
{
    if ((event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) && !(event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) &&
        minimizedWithoutTray) {
        showMainWindow();
    }
    return FALSE;
}

void menuViewCb(GtkMenuItem*, gpointer) { showMainWindow(); }
// The tray's Exit stays at hand while the program stops, after the main loop.
void menuExitCb(GtkMenuItem*, gpointer)
{
    if (gtk_main_level() > 0) gtk_main_quit();
}

gboolean destroyLater(gpointer menu)
{
    gtk_widget_destroy(GTK_WIDGET(menu));
    return G_SOURCE_REMOVE;
}

void trayOnPopup(GtkStatusIcon*, guint, guint, gpointer)
{
    GtkWidget* menu = gtk_menu_new();
    struct {
        const char* label;
        GCallback cb;
    } const items[] = {
        {"View", G_CALLBACK(menuViewCb)},
        {"Help", G_CALLBACK(showHelpLink)},
        {"Log", G_CALLBACK(showLogDir)},
        {"Exit", G_CALLBACK(menuExitCb)},
    };
    for (const auto& item : items) {
        GtkWidget* mi = gtk_menu_item_new_with_label(item.label);
        g_signal_connect(mi, "activate", item.cb, nullptr);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), mi);
    }
    // The chosen item is activated after the menu closes: free it later.
    g_signal_connect(menu, "deactivate", G_CALLBACK(+[](GtkMenuShell* m, gpointer) { g_idle_add(destroyLater, m); }),
                     nullptr);
    gtk_widget_show_all(menu);
    gtk_menu_popup_at_pointer(GTK_MENU(menu), nullptr);
}

// The icon is made the first time it is shown, and shown from its birth. GTK
// gives a new icon its tray window at once; hidden before the tray has taken
// it (as an icon made hidden at start), its next window is thawed once too
// often, and each run printed a Gdk-CRITICAL when a tray first showed it.
void setTrayVisible(bool visible)
{
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (trayIcon != nullptr) {
        gtk_status_icon_set_visible(trayIcon, visible);
    } else if (visible) {
        GdkPixbuf* mini = gdk_pixbuf_new_from_inline(-1, mini_inline, TRUE, nullptr);
        trayIcon = gtk_status_icon_new_from_pixbuf(mini);
        g_object_unref(mini);
        gtk_status_icon_set_tooltip_text(trayIcon, "Wirelane");
        g_signal_connect(trayIcon, "activate", G_CALLBACK(trayOnClick), mainWindow);
        g_signal_connect(trayIcon, "popup-menu", G_CALLBACK(trayOnPopup), nullptr);
        g_signal_connect(trayIcon, "notify::embedded", G_CALLBACK(trayEmbeddedCb), nullptr);
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
}

// ---- column chooser -------------------------------------------------------------

// The check buttons of one open chooser, at the positions of columnCheckNum.
struct ColumnCheckT {
    GtkWidget* check[NUM_KPI_CATE][NUM_NETLIST_FIELD];
};

void columnConifrmCb(GtkWidget*, gpointer window)
{
    auto* columnCheck = static_cast<ColumnCheckT*>(g_object_get_data(G_OBJECT(window), "columnCheck"));
    for (int c = 0; c < NUM_KPI_CATE; c++) {
        for (int i = 0; i < NUM_NETLIST_FIELD && columnCheckNum[c][i] >= 0; i++) {
            int col = columnCheckNum[c][i];
            bool on = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(columnCheck->check[c][i]));
            gtk_tree_view_column_set_visible(listColumn(col), on);
            readOnlyGlobal.columnShow[col] = on ? 1 : 0;
        }
    }
    gtk_widget_destroy(GTK_WIDGET(window));
    refreshConf();
}

void btnColumnCb(GtkWidget*, gpointer)
{
    GtkWidget* window = newTopWindow("Column edit", 10, 500, 100);
    // Each chooser keeps its own buttons, so that two open at once stay apart.
    auto* columnCheck = g_new0(ColumnCheckT, 1);
    g_object_set_data_full(G_OBJECT(window), "columnCheck", columnCheck, g_free);

    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* groups = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    for (int c = 0; c < NUM_KPI_CATE; c++) {
        GtkWidget* group = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        GtkWidget* title = gtk_label_new(nullptr);
        char* markup = g_markup_printf_escaped("<b>%s</b>", infoTitlesCate[c]);
        gtk_label_set_markup(GTK_LABEL(title), markup);
        g_free(markup);
        gtk_box_pack_start(GTK_BOX(group), title, FALSE, FALSE, 5);
        for (int i = 0; i < NUM_NETLIST_FIELD && columnCheckNum[c][i] >= 0; i++) {
            int col = columnCheckNum[c][i];
            GtkWidget* check = gtk_check_button_new_with_label(infoTitles[col]);
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), gtk_tree_view_column_get_visible(listColumn(col)));
            columnCheck->check[c][i] = check;
            gtk_box_pack_start(GTK_BOX(group), check, FALSE, FALSE, 5);
        }
        gtk_box_pack_start(GTK_BOX(groups), group, FALSE, FALSE, 20);
    }
    gtk_box_pack_start(GTK_BOX(vbox), groups, FALSE, FALSE, 0);

    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    GtkWidget* tip = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(tip), "<b>*To display URL/SQL, please check HTTP in \"Select NIC\"</b>");
    gtk_box_pack_start(GTK_BOX(bar), tip, FALSE, FALSE, 5);
    packOkCancel(bar, window, G_CALLBACK(columnConifrmCb));
    gtk_box_pack_start(GTK_BOX(vbox), bar, FALSE, FALSE, 5);

    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show_all(window);
}

// ---- row detail ---------------------------------------------------------------------

void rowDetailCb(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn*, gpointer)
{
    GtkTreeModel* model = gtk_tree_view_get_model(view);
    GtkTreeIter row;
    if (!gtk_tree_model_get_iter(model, &row, path)) return;

    GtkWidget* window = newTopWindow("Detail info", 0, 500, 450);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    GtkWidget* list = createList(infoKpiKeyVal, 2);
    GtkListStore* store = GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(list)));
    for (int i = 0; i < NUM_NETLIST_FIELD; i++) {
        char* text = nullptr;
        gtk_tree_model_get(model, &row, i, &text, -1);
        gtk_list_store_insert_with_values(store, nullptr, -1, 0, infoTitles[i], 1, text, -1);
        g_free(text);
    }
    gtk_container_add(GTK_CONTAINER(scrolled), list);
    gtk_box_pack_start(GTK_BOX(vbox), scrolled, TRUE, TRUE, 0);

    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    for (const char* label : {"Cancel", "   OK   "}) {
        GtkWidget* button = gtk_button_new_with_label(label);
        g_signal_connect(button, "clicked", G_CALLBACK(btnCancelCb), window);
        gtk_box_pack_end(GTK_BOX(bar), button, FALSE, FALSE, 5);
    }
    gtk_box_pack_start(GTK_BOX(vbox), bar, FALSE, FALSE, 5);
    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show_all(window);
}

// ---- CSV export --------------------------------------------------------------------

void queryExpPage(const char* path)
{
    char name[PATH_MAX];
    const CommMsgT* recs = nullptr;
    int count = shownRecords(recs, true);
    // A name too long for the buffer is refused, never cut.
    if (!csvFileName(path, name, sizeof name) || writeCsv(name, recs, count) != 0) {
        showNotice("Can not create csv file");
    }
}

void btnQueryExpOkCb(GtkNativeDialog* chooser, gint response, gpointer)
{
    if (response == GTK_RESPONSE_ACCEPT) {
        char* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
        if (path != nullptr) queryExpPage(path);
        g_free(path);
    }
    readOnlyGlobal.queryExpFlag = 0;
    g_object_unref(chooser);
}

void queryExpCb(GtkWidget*, gpointer)
{
    // The scan waits while the file is chosen, so the rows stay as shown.
    readOnlyGlobal.queryExpFlag = 1;
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new("Save Export", GTK_WINDOW(mainWindow),
                                                                GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
    g_signal_connect(chooser, "response", G_CALLBACK(btnQueryExpOkCb), nullptr);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
    setTrayVisible(true);
}

// ---- online monitoring --------------------------------------------------------------

void btnOnlineCb(GtkWidget* w, gpointer data)
{
    GtkTreeViewColumn* process = listColumn(PROCESS);
    gtk_tree_view_column_set_visible(process, !gtk_tree_view_column_get_visible(process));
    showKestrelWin(w, data);
}

void btnExitCb(GtkWidget*, gpointer)
{
    if (gtk_main_level() > 0) gtk_main_quit();
}

GtkWidget* packButton(GtkWidget* box, const char* label, GCallback cb, bool atEnd)
{
    GtkWidget* button = gtk_button_new_with_label(label);
    if (cb != nullptr) {
        g_signal_connect(button, "clicked", cb, nullptr);
    } else {
        gtk_widget_set_sensitive(button, FALSE);
    }
    (atEnd ? gtk_box_pack_end : gtk_box_pack_start)(GTK_BOX(box), button, FALSE, FALSE, 5);
    return button;
}

// Tells once per run what to do when the card may not be opened; the status
// line says it for as long as it lasts.
void noticeDenied(const char* card)
{
    static bool told = false;
    if (told) return;
    told = true;
    char* text = g_strdup_printf(
        "No permission to capture on %s. Run Wirelane as root, or give it the capture rights once:\n"
        "sudo setcap cap_net_raw,cap_net_admin=eip %s/wirelane",
        card, readOnlyGlobal.exeFilePath);
    showNotice(text);
    g_free(text);
}

// The status line and the empty list's line, from the words the capture,
// processing and scan threads keep.
void refreshStatus()
{
    CardInfoT card {};
    if (getCard(globalValue.selectRow, &card) != 0) card = CardInfoT {};
    const WX_CAPTURE_STATE state = captureState();
    StatusLineT s {card.cardName, card.address, readOnlyGlobal.findMac, state, capturedFrameCount(),
                   ringTakenCount(), ringDropCount() + captureLibraryDrops(), lastScanStamp()};
    char text[1024];
    statusLineText(s, text, sizeof text);
    if (std::strcmp(gtk_label_get_text(GTK_LABEL(statusLabel)), text) != 0) {
        gtk_label_set_text(GTK_LABEL(statusLabel), text);
    }

    GtkTreeModel* rows = gtk_tree_view_get_model(GTK_TREE_VIEW(mainInfoList));
    const char* empty = emptyListText(card.cardName[0] != '\0', readOnlyGlobal.cntHost);
    const bool showEmpty = empty != nullptr && readOnlyGlobal.readJsonFileMode == 0 &&
                           gtk_tree_model_iter_n_children(rows, nullptr) == 0;
    if (showEmpty) gtk_label_set_text(GTK_LABEL(emptyLabel), empty);
    gtk_widget_set_visible(emptyLabel, showEmpty);

    if (state == WX_CAPTURE_DENIED) noticeDenied(card.cardName);
}

gboolean statusTickCb(gpointer)
{
    refreshStatus();
    return G_SOURCE_CONTINUE;
}

// Set while a refresh waits in the main loop. The refresh reads the mode and
// the records when it runs, so a request while one waits adds nothing: it is
// dropped, and presses or scans faster than a refresh never pile up.
std::atomic<bool> refreshPending {false};

}  // namespace

void requestMainListRefresh()
{
    if (!refreshPending.exchange(true)) gdk_threads_add_idle(refreshMainList, nullptr);
}

gboolean refreshMainList(gpointer)
{
    // Cleared before the records are read: a request from now on, as a scan
    // that ends meanwhile, gets a refresh of its own.
    refreshPending.exchange(false);
    const CommMsgT* recs = nullptr;
    int count = shownRecords(recs, false);
    GtkListStore* store = GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(mainInfoList)));
    gtk_list_store_clear(store);
    static char cells[NUM_NETLIST_FIELD][CELL_TEXT_SIZE];
    for (int r = 0; r < count; r++) {
        const CommMsgT& rec = recs[r];
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        for (int f = 0; f < NUM_NETLIST_FIELD; f++) {
            char* text = cellText(rec, f, cells[f]);
            // URL and SQL texts come off the wire: show what is valid of them.
            char* valid = g_utf8_validate(text, -1, nullptr) ? nullptr : g_utf8_make_valid(text, -1);
            gtk_list_store_set(store, &iter, f, valid != nullptr ? valid : text, -1);
            g_free(valid);
        }
    }
    refreshUserLabel();
    refreshStatus();
    return G_SOURCE_REMOVE;
}

void refreshUserLabel()
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    if (g.readJsonFileMode == 1) {
        if (g.queryStime == 0 || g.queryEtime == 0) return;
        char from[20], to[20];
        // The filter and keyword are the user's text: escaped, they show as typed.
        char* markup = g_markup_printf_escaped(
            "<span foreground=\"#383838\" font_desc=\"8\">Query filter: %s %s  Query period: %s ~ %s</span>",
            g.queryText, g.searchText, getStrTime(g.queryStime, from), getStrTime(g.queryEtime, to));
        gtk_label_set_markup(GTK_LABEL(userLabel), markup);
        g_free(markup);
        gtk_widget_show(prevBtn);
        gtk_widget_show(nextBtn);
        gtk_widget_show(pageLabel);
    } else {
        gtk_label_set_markup(GTK_LABEL(userLabel), "");
        gtk_widget_hide(prevBtn);
        gtk_widget_hide(nextBtn);
        gtk_widget_hide(pageLabel);
    }
    char* page = g_strdup_printf("<span foreground=\"#383838\" font_desc=\"9\">           Page: %d</span>", g.queryPage + 1);
    gtk_label_set_markup(GTK_LABEL(pageLabel), page);
    g_free(page);
}

void setRealBtnLabel(const char* text) { gtk_button_set_label(GTK_BUTTON(realBtn), text); }

void btnRealCb(GtkWidget*, gpointer)
{
    // The label names the other mode.
    if (readOnlyGlobal.readJsonFileMode == 1) {
        setRealBtnLabel("History");
        readOnlyGlobal.readJsonFileMode = 0;
    } else {
        setRealBtnLabel("RealTime");
        readOnlyGlobal.readJsonFileMode = 1;
    }
    requestMainListRefresh();
}

void ui_main()
{
    initColumCheckNum();
    installAlertDialog();

    mainWindow = newTopWindow(WIRELANE_TITLE, 0, 950, 540);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);

    GtkWidget* top = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    GtkWidget* logoBox = gtk_event_box_new();
    gtk_container_add(GTK_CONTAINER(logoBox), newImage(logo_inline));
    g_signal_connect(logoBox, "button-press-event", G_CALLBACK(logoPressCb), nullptr);
    gtk_box_pack_start(GTK_BOX(top), logoBox, FALSE, FALSE, 40);
    GtkWidget* userBox = gtk_event_box_new();
    userLabel = gtk_label_new("");
    gtk_container_add(GTK_CONTAINER(userBox), userLabel);
    gtk_box_pack_start(GTK_BOX(top), userBox, TRUE, TRUE, 25);
    gtk_box_pack_end(GTK_BOX(top), gtk_label_new(" "), FALSE, FALSE, 0);
    // From the right.
    struct {
        const guint8* image;
        const char* tip;
        GCallback cb;
        gpointer data;
    } const buttons[] = {
        {help_inline, "Help", G_CALLBACK(showHelpLink), nullptr},
        {monitor_inline, "Online monitoring", G_CALLBACK(btnOnlineCb), nullptr},
        {play_inline, "Packet playback", G_CALLBACK(btnPlayOpenCb), GINT_TO_POINTER(1)},
        {dump_inline, "Packets dump", G_CALLBACK(btnDumpOpenCb), nullptr},
        {query_inline, "Data query", G_CALLBACK(btnQueryOpenCb), nullptr},
        {json_inline, "JSON export", G_CALLBACK(btnExportOpenCb), nullptr},
        {set_inline, "Analysis settings", G_CALLBACK(btnEndPointOpenCb), nullptr},
        {nic_inline, "Select NIC", G_CALLBACK(btnCardOpenCb), nullptr},
    };
    for (const auto& b : buttons) packImageBtn(top, newImage(b.image), b.tip, b.cb, b.data);
    gtk_box_pack_start(GTK_BOX(vbox), top, FALSE, FALSE, 1);

    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    mainInfoList = createList(infoTitles, NUM_NETLIST_FIELD);
    g_signal_connect(mainInfoList, "row-activated", G_CALLBACK(rowDetailCb), nullptr);
    gtk_container_add(GTK_CONTAINER(scrolled), mainInfoList);
    GtkWidget* listArea = gtk_overlay_new();
    gtk_container_add(GTK_CONTAINER(listArea), scrolled);
    emptyLabel = gtk_label_new("");
    gtk_widget_set_no_show_all(emptyLabel, TRUE);
    gtk_overlay_add_overlay(GTK_OVERLAY(listArea), emptyLabel);
    gtk_overlay_set_overlay_pass_through(GTK_OVERLAY(listArea), emptyLabel, TRUE);
    gtk_box_pack_start(GTK_BOX(vbox), listArea, TRUE, TRUE, 1);

    GtkWidget* bottom = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    packButton(bottom, " Column ", G_CALLBACK(btnColumnCb), false);
    realBtn = packButton(bottom, "History", G_CALLBACK(btnRealCb), false);
    gtk_widget_set_tooltip_text(realBtn, "Query results and real-time jumps");
    queryExpBtn = packButton(bottom, "Export", G_CALLBACK(queryExpCb), false);
    gtk_widget_set_tooltip_text(queryExpBtn, "Export query results in CSV");
    GtkWidget* paging = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    prevBtn = packButton(paging, "Prev", G_CALLBACK(queryPrevCb), false);
    nextBtn = packButton(paging, "Next", G_CALLBACK(queryNextCb), false);
    pageLabel = gtk_label_new("");
    gtk_box_pack_start(GTK_BOX(paging), pageLabel, FALSE, FALSE, 5);
    gtk_box_pack_start(GTK_BOX(bottom), paging, TRUE, TRUE, 5);
    packButton(bottom, "  Exit  ", G_CALLBACK(btnExitCb), true);
    packButton(bottom, "Minimize", G_CALLBACK(btnMiniCb), true);
    gtk_box_pack_start(GTK_BOX(vbox), bottom, FALSE, FALSE, 5);
    statusLabel = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(statusLabel), 0);
    gtk_label_set_ellipsize(GTK_LABEL(statusLabel), PANGO_ELLIPSIZE_END);
    gtk_box_pack_start(GTK_BOX(vbox), statusLabel, FALSE, FALSE, 2);
    gtk_widget_set_margin_start(statusLabel, 10);
    gtk_container_add(GTK_CONTAINER(mainWindow), vbox);

    g_signal_connect(mainWindow, "delete-event", G_CALLBACK(btnMiniCb), nullptr);
    g_signal_connect(mainWindow, "window-state-event", G_CALLBACK(windowStateCb), nullptr);

    gtk_widget_show_all(mainWindow);
    refreshUserLabel();
    refreshStatus();
    g_timeout_add_seconds(1, statusTickCb, nullptr);
    // From now on the scan asks for a refresh after each interval.
    setListRefreshHook(requestMainListRefresh);
}
