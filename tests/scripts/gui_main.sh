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

cat > "$WORK/session.sh" <<SESSION
#!/bin/bash
"$BUILD/wirelane" >"$WORK/gui.out" 2>&1 &
app=\$!
/usr/bin/python3 "$SRC/tests/scripts/gui_main.py" \$app "$CONF" "$WORK/rows.csv" $PORT
driver=\$?
for _ in \$(seq 50); do kill -0 \$app 2>/dev/null || break; sleep 0.1; done
if kill -0 \$app 2>/dev/null; then echo "FAIL: Exit did not end the program"; kill \$app; exit 1; fi
wait \$app
echo "exit status \$? driver \$driver"
SESSION
chmod +x "$WORK/session.sh"
result=$(timeout 280 xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- "$WORK/session.sh" 2>&1 || true)
grep -vE "dbus-daemon|SpiRegistry|^Xlib.protocol" <<<"$result"
grep -q '^FAIL' <<<"$result" && fail "the window failed a check"
expect "Exit ends the program with status 0" "exit status 0 driver 0" "$(grep '^exit status' <<<"$result")"
[ -f "$(logfile)" ] && pass "the log file is opened" || fail "no log file at $(logfile)"
finish
