#!/bin/bash
# The desktop program under Xvfb: it starts, shows its main window with the
# right title, starts the probe, and ends with status 0 through Exit.
source "$(dirname "$0")/common.bash"

cat > "$WORK/session.sh" <<SESSION
#!/bin/bash
set -u
"$BUILD/wirelane" >"$WORK/gui.out" 2>&1 &
app=\$!
win=\$(timeout 20 xdotool search --sync --onlyvisible --name '^Wirelane Super Traffic Tool V3.0\$' | head -1)
[ -n "\$win" ] || { echo "no main window"; kill \$app; exit 1; }
eval \$(xdotool getwindowgeometry --shell "\$win")
# The Exit button sits at the right end of the toolbar.
xdotool mousemove --window "\$win" \$((WIDTH - 30)) 18 click 1
for _ in \$(seq 50); do kill -0 \$app 2>/dev/null || break; sleep 0.1; done
if kill -0 \$app 2>/dev/null; then echo "Exit did not end the program"; kill \$app; exit 1; fi
wait \$app
echo "exit status \$?"
SESSION
chmod +x "$WORK/session.sh"
result=$(xvfb-run -a -s "-screen 0 1280x800x24" "$WORK/session.sh" 2>&1 || true)
expect "the window shows and Exit ends the program with status 0" "exit status 0" "$(tail -1 <<<"$result")"
grep -q "init globalValue failed" "$WORK/gui.out" && fail "start-up failed: $(cat "$WORK/gui.out")"
[ -f "$(logfile)" ] && pass "the log file is opened" || fail "no log file at $(logfile)"

finish
