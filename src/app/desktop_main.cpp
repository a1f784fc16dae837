// wirelane: the desktop program.
#include <gtk/gtk.h>

#include "output/channel.h"
#include "output/store.h"
#include "settings/startup.h"
#include "ui/ui_main.h"

int main(int argc, char** argv)
{
    gtk_init(&argc, &argv);
    StartOptionsT options;
    // A failed start-up has been logged; the program ends without a window.
    if (startUp(options) != 0) return 0;
    ui_main();
    gtk_main();
    flushExports();
    flushStores();
    return 0;
}
