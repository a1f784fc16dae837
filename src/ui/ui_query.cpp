// "Data query" and "Packet playback": a period, a filter and a keyword or a
// replay target, run over the stores; and the main window's paging through
// the query result.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "core/global_define.h"
#include "core/util.h"
#include "output/store.h"
#include "retrieval/json_query.h"
#include "retrieval/pkt_play.h"
#include "ui/query_text.h"
#include "ui/ui_main.h"
#include "ui/ui_query.h"
#include "ui/ui_util.h"

void addComboText(GtkWidget* combo, const int* table)
{
    for (int i = 0; table[i] != -1; i++) {
        char text[16];
        std::snprintf(text, sizeof text, "%d", table[i]);
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), text);
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
}

void setComboDefIndex(GtkWidget* combo, const int* table, int value)
{
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), comboDefIndex(table, value));
}

namespace {

const char* const queryEffHelpStr[] = {
    "The latest data hasn't been written to the local JSON file,",
    "so it can't be queried temporarily. If you need to query them, ",
    "send the records to a monitoring center with \"Online monitoring\" and query them there.",
    nullptr,
};
const char* const queryStartHelpStr[] = {"Start time of query, must between effective query period.", nullptr};
const char* const queryEndHelpStr[] = {"End time of query, must between effective query period.", nullptr};
const char* const queryHelpStr[] = {
    "In this input box, you can only enter one of the following examples,",
    "1. 192.168.1.12",
    "2. 192.168.1.12:80",
    "3. 8080 (Query all 8080 port communications)",
    "4. 192.168.1.112-192.168.1.200 (Query communications between)",
    "5. 192.168.1.112,10.10.10.9 (Query communications 192... or 10...)",
    "IPv6 the same way: 2001:db8::12, [2001:db8::12]:80, 2001:db8::1-2001:db8::ff, 2001:db8::12,10.10.10.9",
    nullptr,
};
const char* const searchHelpStr[] = {"In this input box, you can enter keyword to match URL/SQL", nullptr};
const char* const playEffHelpStr[] = {
    "The latest data hasn't been written to the local packet file,",
    "so it can't be queried temporarily",
    nullptr,
};
const char* const playStartHelpStr[] = {"Start time of playback, must between effective playback period.", nullptr};
const char* const playEndHelpStr[] = {"End time of playback, must between effective playback period.", nullptr};
const char* const filterHelpStr[] = {
    "In this input box, you can only enter one of the following examples,",
    "1. 192.168.1.12",
    "2. 192.168.1.12:80",
    "3. 8080 (Play all 8080 port communications)",
    "4. 192.168.1.112-192.168.1.200 (Play communications between)",
    "5. 192.168.1.112,10.10.10.9 (Play communications 192... or 10...)",
    "IPv6 the same way: 2001:db8::12, [2001:db8::12]:80, 2001:db8::1-2001:db8::ff, 2001:db8::12,10.10.10.9",
    nullptr,
};
const char* const trunLenHelpStr[] = {
    " Packets will be truncated by input before storage and playback",
    " must great then 64 bytes (Packet header length)",
    nullptr,
};
const char* const vxlanHelpStr[] = {
    " Please fill in an IP:PORT address, raw packets will sent",
    " to this address with VXLAN protocol",
    nullptr,
};

// The last query and the files it read, for the paging buttons.
JsonQueryT lastQuery;
// The filter of the playback being started, as read when OK was pressed.
EndpointFilterT playbackFilter;
std::vector<StoreFileT> queryFiles;
std::vector<StoreFileT> jsonFiles;
std::vector<StoreFileT> pktFiles;

// The store's files as they are now, but the one being written. Listed at
// every opening: a store keeps writing new files while the program runs.
void listFiles(int type, std::vector<StoreFileT>& files)
{
    files.clear();
    StoreInfoT si;
    bool on = type == STORE_JSON ? readOnlyGlobal.enableJson != 0 : readOnlyGlobal.enablePkts != 0;
    if (!on || getStoreInfo(type, &si) != 0) return;
    const char* slash = std::strrchr(si.fname, '/');
    const char* writing = slash != nullptr ? slash + 1 : si.fname;
    if (type == STORE_JSON) {
        listStore(si.localDir, "json", JSON_BLANK_FILE_SIZE, writing, getJsonFileStime, files);
    } else {
        listStore(si.localDir, "pcap", PKT_BLANK_FILE_SIZE, writing, getPktFileStime, files);
    }
}

GtkWidget* entryOf(gpointer window, const char* key) { return GTK_WIDGET(g_object_get_data(G_OBJECT(window), key)); }

// Six combos of a time row, kept on the window as key0 .. key5.
void packTimeRow(GtkWidget* window, GtkWidget* row, const char* key, long long preset)
{
    static const char* const partNames[6] = {"year", "month", "day", "hour", "minute", "second"};
    int shown[6];
    timeIndexes(preset, shown);
    for (int i = 0; i < 6; i++) {
        GtkWidget* combo = gtk_combo_box_text_new();
        addComboText(combo, timeTables[i]);
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), shown[i]);
        char name[32];
        std::snprintf(name, sizeof name, "%s%d", key, i);
        g_object_set_data(G_OBJECT(window), name, combo);
        // Screen readers name each combo by its part of the time.
        char label[64];
        std::snprintf(label, sizeof label, "%s %s", key, partNames[i]);
        atk_object_set_name(gtk_widget_get_accessible(combo), label);
        gtk_box_pack_start(GTK_BOX(row), combo, FALSE, FALSE, 2);
    }
}

long long timeOfRow(gpointer window, const char* key)
{
    int parts[6];
    for (int i = 0; i < 6; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "%s%d", key, i);
        int at = gtk_combo_box_get_active(GTK_COMBO_BOX(entryOf(window, name)));
        parts[i] = timeTables[i][at < 0 ? 0 : at];
    }
    std::tm tm {};
    tm.tm_year = parts[0] - 1900;
    tm.tm_mon = parts[1] - 1;
    tm.tm_mday = parts[2];
    tm.tm_hour = parts[3];
    tm.tm_min = parts[4];
    tm.tm_sec = parts[5];
    tm.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&tm));
}

struct RowSpecT {
    const char* label;
    const char* key;  // an entry kept on the window, or a time row ("start", "end"), or nullptr: the period
    const char* text;
    const char* const* help;
};

// The dialog both windows share: a label column, the rows, "?" buttons, then
// OK and Cancel.
GtkWidget* openRetrievalWindow(const char* title, int minWidth, const std::vector<StoreFileT>& files,
                               const char* noStore, long long presetStart, long long presetEnd,
                               const std::vector<RowSpecT>& rows, GCallback okCb)
{
    GtkWidget* window = newTopWindow(title, 10, minWidth, 200);
    gtk_widget_set_size_request(window, minWidth, 200);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 5);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 8);
    for (int r = 0; r < static_cast<int>(rows.size()); r++) {
        const RowSpecT& row = rows[r];
        GtkWidget* label = gtk_label_new(row.label);
        gtk_widget_set_halign(label, GTK_ALIGN_START);
        gtk_grid_attach(GTK_GRID(grid), label, 0, r, 1, 1);
        GtkWidget* cell;
        if (row.key == nullptr) {
            cell = gtk_label_new(nullptr);
            if (files.empty()) {
                char* markup = g_strdup_printf("<span foreground=\"#FF0000\" font_desc=\"10\">%s</span>", noStore);
                gtk_label_set_markup(GTK_LABEL(cell), markup);
                g_free(markup);
            } else {
                char from[20], to[20];
                char* text = g_strdup_printf("%s ~ %s", getStrTime(files.front().stime, from),
                                             getStrTime(files.back().etime, to));
                gtk_label_set_text(GTK_LABEL(cell), text);
                g_free(text);
            }
            gtk_widget_set_halign(cell, GTK_ALIGN_START);
        } else if (std::strcmp(row.key, "start") == 0 || std::strcmp(row.key, "end") == 0) {
            cell = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
            packTimeRow(window, cell, row.key, row.key[0] == 's' ? presetStart : presetEnd);
        } else {
            cell = gtk_entry_new();
            gtk_entry_set_text(GTK_ENTRY(cell), row.text);
            gtk_widget_set_hexpand(cell, TRUE);
            atk_object_set_name(gtk_widget_get_accessible(cell), row.label);
            g_object_set_data(G_OBJECT(window), row.key, cell);
        }
        gtk_grid_attach(GTK_GRID(grid), cell, 1, r, 1, 1);
        GtkWidget* help = gtk_button_new_with_label("?");
        g_signal_connect(help, "clicked", G_CALLBACK(showHelpBox), const_cast<char**>(row.help));
        gtk_grid_attach(GTK_GRID(grid), help, 2, r, 1, 1);
    }
    gtk_box_pack_start(GTK_BOX(vbox), grid, TRUE, TRUE, 5);
    GtkWidget* progress = gtk_progress_bar_new();
    g_object_set_data(G_OBJECT(window), "progress", progress);
    gtk_box_pack_start(GTK_BOX(vbox), progress, FALSE, FALSE, 2);
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    packOkCancel(bar, window, okCb, " OK ");
    gtk_box_pack_start(GTK_BOX(vbox), bar, FALSE, FALSE, 5);
    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show_all(window);
    gtk_widget_hide(progress);
    return window;
}

template <std::size_t N>
void keepText(char (&field)[N], const char* text)
{
    std::snprintf(field, N, "%s", text);
}

void showPage(int n)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    g.jsonFileCommCnt = n;
    requestMainListRefresh();
}

// ---- query --------------------------------------------------------------------

void queryOKCb(GtkWidget*, gpointer window)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    JsonQueryT q;
    const char* criteria = gtk_entry_get_text(GTK_ENTRY(entryOf(window, "criteria")));
    // The text is kept to be shown again: one that cannot be kept whole is refused.
    if (parseFilter(criteria, &q.filter) != 0 || std::strlen(criteria) >= sizeof g.queryText) {
        showNotice("Query filter error");
        return;
    }
    q.keyword = gtk_entry_get_text(GTK_ENTRY(entryOf(window, "keyword")));
    q.start = timeOfRow(window, "start");
    q.end = timeOfRow(window, "end");
    if (q.start >= q.end) {
        showNotice("Query start time must not greater than end time");
        return;
    }
    CommMsgT page[QUERY_PAGE_RECORDS];
    int n = scanJson(jsonFiles, q, 0, page);
    if (n == 0) {
        showNotice("No data");
        return;
    }
    lastQuery = q;
    queryFiles = jsonFiles;
    keepText(g.queryText, criteria);
    keepText(g.searchText, q.keyword.c_str());
    g.queryStime = static_cast<int>(q.start);
    g.queryEtime = static_cast<int>(q.end);
    g.queryPage = g.queryMaxPage = 0;
    std::copy(page, page + n, g.jsonFileComms);
    std::copy(page, page + n, g.jsonFileCommsExp);
    g.jsonFileCommExpCnt = n;
    g.readJsonFileMode = 1;
    setRealBtnLabel("RealTime");
    showPage(n);
    gtk_widget_destroy(GTK_WIDGET(window));
}

// ---- playback ----------------------------------------------------------------

// The playback's questions as message boxes titled "Message".
class DialogQuestionsT : public PlayQuestionsT {
public:
    bool askYesNo(const char* text) override
    {
        GtkWidget* box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO,
                                                "%s", text);
        gtk_window_set_title(GTK_WINDOW(box), "Message");
        atk_object_set_name(gtk_widget_get_accessible(box), "Message");
        gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
        bool yes = gtk_dialog_run(GTK_DIALOG(box)) == GTK_RESPONSE_YES;
        gtk_widget_destroy(box);
        return yes;
    }
    void notice(const char* text) override { showNotice(text); }
    void openFolder(const char* dir) override { openLocalPath(dir); }
};

void playProgress(int done, int total, void* window)
{
    auto* bar = GTK_PROGRESS_BAR(entryOf(window, "progress"));
    gtk_widget_show(GTK_WIDGET(bar));
    gtk_progress_bar_set_fraction(bar, total > 0 ? static_cast<double>(done) / total : 1.0);
    char text[64];
    std::snprintf(text, sizeof text, "%d of %d files read", done, total);
    gtk_progress_bar_set_text(bar, text);
    gtk_progress_bar_set_show_text(bar, TRUE);
    // The window keeps drawing while the store is read.
    while (gtk_events_pending()) gtk_main_iteration();
}

// Runs from the main loop, not from the button's handler: the playback's
// questions run a loop of their own, which must not sit inside the handler
// of an accessibility action.
gboolean runPlayback(gpointer window)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    PlayQueryT q;
    q.start = g.playStime;
    q.end = g.playEtime;
    q.filter = playbackFilter;
    q.trunLen = g.playTrunLen;
    const std::string out = std::string(g.userTmpPath) + "/playout.pcap";
    DialogQuestionsT ask;
    long total = scanPkt(pktFiles, q, g.playVxlanInfo, out.c_str(), ask, nullptr, playProgress, window);
    if (total > 0) writeLog(1, "Read %ld packet write to tmp file", total);
    gtk_widget_destroy(GTK_WIDGET(window));
    g_object_unref(window);
    return G_SOURCE_REMOVE;
}

void playOKCb(GtkWidget*, gpointer window)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    const char* filter = gtk_entry_get_text(GTK_ENTRY(entryOf(window, "filter")));
    EndpointFilterT f;
    int rc = parseFilter(filter, &f);
    if (rc == FILTER_BAD_CHAR) {
        showNotice("Play filter error");
        return;
    }
    if (rc != 0 || std::strlen(filter) >= sizeof g.playFilter) {
        showNotice("Playback filter error");
        return;
    }
    long long start = timeOfRow(window, "start"), end = timeOfRow(window, "end");
    if (start >= end) {
        showNotice("Playback start time must not greater than end time");
        return;
    }
    keepText(g.playFilter, filter);
    playbackFilter = f;
    g.playTrunLen = static_cast<u32>(std::strtoul(gtk_entry_get_text(GTK_ENTRY(entryOf(window, "trunc"))), nullptr, 10));
    keepText(g.playVxlanInfo, gtk_entry_get_text(GTK_ENTRY(entryOf(window, "vxlan"))));
    g.playStime = static_cast<int>(start);
    g.playEtime = static_cast<int>(end);
    g.playMode = f.mode;
    // Held still until the playback is done: it keeps drawing meanwhile.
    gtk_widget_set_sensitive(GTK_WIDGET(window), FALSE);
    g_signal_connect(window, "delete-event", G_CALLBACK(gtk_true), nullptr);
    g_idle_add(runPlayback, g_object_ref(window));
}

}  // namespace

void btnQueryOpenCb(GtkWidget*, gpointer)
{
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    listFiles(STORE_JSON, jsonFiles);
    long long start, end;
    presetPeriod(jsonFiles, g.queryStime, g.queryEtime, &start, &end);
    openRetrievalWindow("Data query", 550, jsonFiles, "No JSON store found, please open first", start, end,
                        {{"Query period", nullptr, "", queryEffHelpStr},
                         {"Query Start", "start", "", queryStartHelpStr},
                         {"Query End ", "end", "", queryEndHelpStr},
                         {"Query Criteria", "criteria", g.queryText, queryHelpStr},
                         {"URL/SQL", "keyword", g.searchText, searchHelpStr}},
                        G_CALLBACK(queryOKCb));
}

void btnPlayOpenCb(GtkWidget*, gpointer)
{
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    listFiles(STORE_PKTS, pktFiles);
    long long start, end;
    presetPeriod(pktFiles, g.playStime, g.playEtime, &start, &end);
    char trunc[16] = "";
    if (g.playTrunLen != 0) std::snprintf(trunc, sizeof trunc, "%u", g.playTrunLen);
    openRetrievalWindow("Packet playback", 650, pktFiles, "No packet store found, please open first", start, end,
                        {{"Playback period", nullptr, "", playEffHelpStr},
                         {"Playback Start", "start", "", playStartHelpStr},
                         {"Playback End ", "end", "", playEndHelpStr},
                         {"Playback filter", "filter", g.playFilter, filterHelpStr},
                         {"Truncation Len", "trunc", trunc, trunLenHelpStr},
                         {"Remote vxlan", "vxlan", g.playVxlanInfo, vxlanHelpStr}},
                        G_CALLBACK(playOKCb));
}

void queryPrevCb(GtkWidget*, gpointer)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    if (g.readJsonFileMode != 1) return;
    if (g.queryPage <= 0) {
        showNotice("This is first page");
        return;
    }
    g.queryPage--;
    showPage(scanJson(queryFiles, lastQuery, g.queryPage, g.jsonFileComms));
}

void queryNextCb(GtkWidget*, gpointer)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    if (g.readJsonFileMode != 1) return;
    CommMsgT page[QUERY_PAGE_RECORDS];
    int n = scanJson(queryFiles, lastQuery, g.queryPage + 1, page);
    if (n == 0) {
        showNotice("This is last page");
        return;
    }
    g.queryPage++;
    std::copy(page, page + n, g.jsonFileComms);
    // Pages join the export set at their first visit, while it has room.
    if (g.jsonFileCommExpCnt <= 4065 && g.queryPage > g.queryMaxPage) {
        g.queryMaxPage = g.queryPage;
        std::copy(page, page + n, g.jsonFileCommsExp + g.jsonFileCommExpCnt);
        g.jsonFileCommExpCnt += n;
    }
    showPage(n);
}
