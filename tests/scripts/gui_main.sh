#!/bin/bash
# The main window under Xvfb with a system tray (gui_main.py): live HTTP rows, the column chooser, the detail window,
# History and RealTime (also pressed many times at once), a CSV export read back with a clean standard error, the
# close request, memory over many refreshes and windows, and Exit.
source "$(dirname "$0")/common.bash"
run_live_gui gui_main.py 18280 "columnShow=$(printf '1|%.0s' $(seq 37))1"  # every column shown
[ -f "$(logfile)" ] && pass "the log file is opened" || fail "no log file at $(logfile)"
finish
