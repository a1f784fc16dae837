#!/bin/bash
# The settings dialogs under Xvfb with a real accessibility bus, driven as a
# user would (gui_settings.py): the card list and its switches, endpoints
# added and deleted, the packet dump and JSON export checks, and a collector
# set in the window that gets live records within one scan.
source "$(dirname "$0")/common.bash"
[ "$(id -u)" -eq 0 ] || { echo "needs root for the capture"; exit 1; }

PORT=18281
UDP=18282
start_nginx $PORT
mkdir -p "$TMPDIR/Wirelane" "$WORK/pkts"
CONF=$TMPDIR/Wirelane/Wirelane.conf
printf '%s\n' "cardMac=000000000000" "endpoint=127.0.0.1:$PORT|3|12345678" >"$CONF"
export XDG_CONFIG_HOME=$WORK/config
( while :; do curl -s -o /dev/null "http://127.0.0.1:$PORT/"; sleep 0.3; done ) &
cleanups+=("kill $! 2>/dev/null")
# The collector, not on 127.0.0.1: the probe leaves its own peers' traffic alone.
start_udp_listener 127.0.0.2 $UDP "$WORK/udp.txt"

run_gui gui_settings.py "$CONF" "$WORK" $PORT $UDP
finish
