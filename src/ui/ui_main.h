// The main window.
#pragma once

#define WIRELANE_TITLE "Wirelane Super Traffic Tool V3.0"

// Builds and shows the main window; the GTK main loop ends on Exit.
void ui_main();
