// wirelane: the desktop program.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "capture/pipeline.h"
#include "core/util.h"
#include "settings/startup.h"
#include "ui/ui_main.h"

namespace {

// Set once the program is ending (Exit or a first signal); read by the signal
// callback, on the main thread.
bool stopping = false;
int stopSignal = 0;

// SIGTERM and SIGINT end the program as Exit does; one during the stop ends
// it at once.
gboolean stopSignalCb(gpointer sig)
{
    if (stopping) {
        writeLog(2, "signal %d during the stop: ending at once", GPOINTER_TO_INT(sig));
        _exit(1);
    }
    stopping = true;
    stopSignal = GPOINTER_TO_INT(sig);
    gtk_main_quit();
    return G_SOURCE_CONTINUE;
}

gboolean quitLoopCb(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

const char* const usage =
    "Usage: wirelane [--home DIR] [GTK OPTION]...\n"
    "\n"
    "The desktop program of the Wirelane probe.\n"
    "\n"
    "  --home DIR   the program's folder, for the configuration, the log files and\n"
    "               the default stores (default: Wirelane in $TMPDIR, or\n"
    "               /tmp/Wirelane/; /tmp/Wirelane-USER/ when that folder belongs\n"
    "               to another user)\n"
    "  --help       show this help and exit\n";

// Takes the program's own options out of argv, leaving GTK's; 0 = run,
// 1 = --help shown, 2 = bad command line (reported).
int takeOptions(int& argc, char** argv, const char** home)
{
    int kept = 1;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(usage, stdout);
            return 1;
        }
        const char* value = nullptr;
        if (std::strcmp(arg, "--home") == 0) {
            value = i + 1 < argc ? argv[++i] : "";
        } else if (std::strncmp(arg, "--home=", 7) == 0) {
            value = arg + 7;
        } else {
            argv[kept++] = argv[i];
            continue;
        }
        if (value[0] == 0 || *home != nullptr) {
            std::fprintf(stderr, "wirelane: option --home %s\n\n%s", value[0] == 0 ? "needs a value" : "given twice",
                         usage);
            return 2;
        }
        *home = value;
    }
    argc = kept;
    argv[argc] = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    StartOptionsT options;
    if (int rc = takeOptions(argc, argv, &options.homePath); rc != 0) return rc == 1 ? 0 : rc;
    gtk_init(&argc, &argv);
    if (argc > 1) {
        std::fprintf(stderr, "wirelane: unknown option '%s'\n\n%s", argv[1], usage);
        return 2;
    }
    options.firstStart = true;  // a fresh machine opens on its own traffic
    // A failed start-up has been logged; the program ends without a window.
    if (startUp(options) != 0) return 1;
    ui_main();
    g_unix_signal_add(SIGTERM, stopSignalCb, GINT_TO_POINTER(SIGTERM));
    g_unix_signal_add(SIGINT, stopSignalCb, GINT_TO_POINTER(SIGINT));
    gtk_main();
    stopping = true;

    // The windows go at once; the stop runs on a thread of its own while the
    // main loop keeps serving the signals.
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w != nullptr; w = w->next) gtk_widget_hide(GTK_WIDGET(w->data));
    g_list_free(windows);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    std::atomic<bool> stopped {false};
    std::thread([loop, &stopped] {
        stopped = stopCapture(STOP_LIMIT_MS);
        g_idle_add(quitLoopCb, loop);
    }).detach();
    g_main_loop_run(loop);

    char cause[32] = "Exit";
    if (stopSignal != 0) std::snprintf(cause, sizeof cause, "signal %d", stopSignal);
    logStopLine(cause);
    if (!stopped) {
        writeLog(3, "the stop did not finish within %d s: ending without the records still being written",
                 STOP_LIMIT_MS / 1000);
        _exit(1);
    }
    return 0;
}
