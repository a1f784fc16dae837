#!/bin/bash
# The settings dialogs under Xvfb (gui_settings.py): the card list and its switches, endpoints added and
# deleted, the packet dump and JSON export checks, and a collector set in the window that gets live records.
source "$(dirname "$0")/common.bash"
mkdir -p "$WORK/pkts"
export XDG_CONFIG_HOME=$WORK/config UDP=18282
start_udp_listener 127.0.0.2 $UDP "$WORK/udp.txt"  # not on 127.0.0.1: the probe leaves its own peers alone
run_live_gui gui_settings.py 18281
finish
