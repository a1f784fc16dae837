// wirelane: the desktop program.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
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

}  // namespace

int main(int argc, char** argv)
{
    gtk_init(&argc, &argv);
    StartOptionsT options;
    options.firstStart = true;  // a fresh machine opens on its own traffic
    // A failed start-up has been logged; the program ends without a window.
    if (startUp(options) != 0) return 0;
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
