#!/bin/bash
# The main window under Xvfb with a system tray (gui_main.py): live HTTP rows over IPv4 and IPv6, the column chooser,
# the detail window, History and RealTime (also pressed many times at once), a CSV export read back with a clean
# standard error, the close request, memory over many refreshes and windows, and Exit, which ends the capture in order.
source "$(dirname "$0")/common.bash"
start_udp_listener 127.0.0.2 19280 "$WORK/collector"
# IPv6 beside it: an HTTP server on ::1, monitored in the bracketed form, asked every 2 s so that its conversations
# (as busy as the IPv4 ones) take a few of the list's 15 rows, not all of them.
export PORT6=18283
mkdir -p "$WORK/www6"
background python3 -m http.server --bind ::1 --directory "$WORK/www6" $PORT6 >/dev/null 2>&1
background bash -c "while :; do curl -s -g -o /dev/null 'http://[::1]:$PORT6/'; sleep 2; done"
run_live_gui gui_main.py 18280 "columnShow=$(printf '1|%.0s' $(seq 37))1" exportRemote=127.0.0.2:19280 \
  "endpoint=[::1]:$PORT6|3|23456789"  # every column shown
[ -f "$(logfile)" ] && pass "the log file is opened" || fail "no log file at $(logfile)"
# Exit: a last scan (its traffic line) right before the stop line, its end-of-scan record the last at the collector.
grep -B2 "MESSAGE: stopped by Exit: " "$(logfile)" | head -1 | grep -q '\[TRAFFIC=' \
  && tail -1 "$WORK/collector" | grep -q '^{"type":"99","time":"[0-9]*"}$' \
  && pass "Exit runs a last scan" || fail "last scan: $(tail -3 "$(logfile)") $(tail -c 300 "$WORK/collector")"
finish
