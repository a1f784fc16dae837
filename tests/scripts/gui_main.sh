#!/bin/bash
# The desktop program under Xvfb with a real accessibility bus, driven as a
# user would (gui_main.py): live HTTP rows from curl against nginx, the
# column chooser, the detail window, History and RealTime, a CSV export read
# back, the close request, memory over many refreshes and windows, and Exit.
source "$(dirname "$0")/common.bash"
[ "$(id -u)" -eq 0 ] || { echo "needs root for the capture"; exit 1; }

PORT=18280
start_nginx $PORT
mkdir -p "$TMPDIR/Wirelane"
CONF=$TMPDIR/Wirelane/Wirelane.conf
# The loopback card; every column shown.
cat > "$CONF" <<CONF
cardMac=000000000000
endpoint=127.0.0.1:$PORT|3|12345678
columnShow=$(printf '1|%.0s' $(seq 37))1
CONF
( while :; do curl -s -o /dev/null "http://127.0.0.1:$PORT/"; sleep 0.3; done ) &
cleanups+=("kill $! 2>/dev/null")

run_gui gui_main.py "$CONF" "$WORK/rows.csv" $PORT
[ -f "$(logfile)" ] && pass "the log file is opened" || fail "no log file at $(logfile)"
finish
