#!/bin/bash
# The window in a network namespace of the test's own, its card a veth with the default route and an HTTP server in a
# peer namespace behind it, under Xvfb (gui_status.py): waiting for the remembered card and capturing once it is made;
# started with an empty program folder, a live row without any dialog within one interval of the first request and
# a status line that counts what tcpdump counts on the card; as a user without capture rights, the status line and
# one Notice say so.
source "$(dirname "$0")/common.bash"
needs_root
ns=wlst$$ peer=wlsp$$
export CARD=vs$$ ADDR=198.18.35.1 PEER=198.18.35.2 PORT=18390
ip netns add $ns && cleanups+=("ip netns del $ns")
ip netns add $peer && cleanups+=("ip netns del $peer")
ip -n $ns link set lo up && ip -n $peer link set lo up
export MAKE_CARD="ip -n $ns link add $CARD address 02:00:5e:10:35:01 type veth peer name vq$$ netns $peer \
  && ip -n $ns addr add $ADDR/24 dev $CARD && ip -n $ns link set $CARD up \
  && ip -n $peer addr add $PEER/24 dev vq$$ && ip -n $peer link set vq$$ up && ip -n $ns route add default via $PEER"
mkdir -p "$WORK/www" && echo hello >"$WORK/www/index.html"
(cd "$WORK/www" && exec ip netns exec $peer python3 -m http.server --bind 0.0.0.0 $PORT >/dev/null 2>&1) &
cleanups+=("kill $! 2>/dev/null")

# gui_run MODE [AS...]: the program in the namespace, run (as AS) with the driver in MODE, to its Exit.
gui_run() { GUI_LABEL=$1 MODE=$1 run_gui gui_status.py ip netns exec $ns "${@:2}"; }

mkdir -p "$WORK/waiting/Wirelane"
printf '%s\n' cardMac=02005E103501 "endpoint=$ADDR|0|1" >"$WORK/waiting/Wirelane/Wirelane.conf"
TMPDIR=$WORK/waiting gui_run waiting

# Started right after a ten-second boundary, it captures before the next one: the first scan there shows a row.
while [ $(( $(date +%s) % 10 )) -ne 0 ]; do sleep 0.1; done
gui_run first  # the empty program folder of common.bash
expect "the first start remembers the card" "cardMac=02005E103501" "$(grep '^cardMac=' "$CONF")"
expect "and monitors its address" "endpoint=$ADDR|0" "$(grep '^endpoint=' "$CONF" | sed 's/|[0-9]*$//')"

nobody=$WORK/nobody
mkdir -p "$nobody/tmp" && chown -R nobody: "$nobody"
gui_run denied setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$nobody" TMPDIR="$nobody/tmp"
grep -q "no permission to capture on $CARD" "$nobody"/tmp/Wirelane/Wirelane-*.log \
  && pass "the log says it too" || fail "denied: $(tail -5 "$nobody"/tmp/Wirelane/Wirelane-*.log)"
finish
