#!/bin/bash
# Values refused at start-up for a condition of the moment stay in the configuration and apply once it passes:
# a collector, a VXLAN receiver and (in a second probe) a monitoring center whose names resolve only later (a
# hosts file of our own, in a mount namespace of our own) and a JSON store folder made after start-up. Records
# and frames then reach them. A third probe's collector has a name of both families: the resolver's first answer
# takes the records.
source "$(dirname "$0")/common.bash"
needs_root
PORT=18095
start_nginx $PORT
start_udp_listener 127.0.0.2 19000 "$WORK/records"
start_udp_listener 127.0.0.2 4789 "$WORK/frames"
start_udp_listener 127.0.0.2 9015 "$WORK/center"
start_udp_listener 127.0.0.2 19001 "$WORK/dual4"
start_udp_listener ::1 19001 "$WORK/dual6"
printf '127.0.0.1 localhost\n' >"$WORK/hosts"
printf 'hosts: files\n' >"$WORK/nsswitch.conf"  # no name server is asked
conf=$WORK/probe.conf
printf '%s\n' cardMac=000000000000 "endpoint=127.0.0.1:$PORT|3|40213377" "exportPath=$WORK/later" exportSpace=100 \
  exportRemote=collector.test:19000 dumpRemote=receiver.test >"$conf"
# The saved device id spares the center a registration.
printf '%s\n' cardMac=000000000000 "endpoint=127.0.0.1:$PORT|3|40213377" kestrel=center.test kestrelDid=7 \
  >"$WORK/center.conf"
printf '%s\n' cardMac=000000000000 "endpoint=127.0.0.1:$PORT|3|40213377" exportRemote=dual.test:19001 >"$WORK/dual.conf"
export WIRELANE_RETRY_SECONDS=2
# with_hosts COMMAND...: COMMAND seeing our hosts file.
with_hosts() {
  exec unshare -m bash -c 'mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/nsswitch.conf && exec "${@:3}"' \
    _ "$WORK/hosts" "$WORK/nsswitch.conf" "$@"
}
for c in "$conf" "$WORK/center.conf" "$WORK/dual.conf"; do
  background with_hosts "$PROBE" --conf "$c" >>"$WORK/probe.out" 2>&1
done

# logged PATTERN: the log holds PATTERN within 15 s.
logged() { for _ in $(seq 150); do grep -qF -- "$1" "$(logfile)" 2>/dev/null && return 0; sleep 0.1; done; return 1; }
kept=("exportPath=$WORK/later" exportRemote=collector.test:19000 dumpRemote=receiver.test kestrel=center.test
  exportRemote=dual.test:19001)
for key in "${kept[@]}"; do
  logged "WARNING: $key refused for now; kept, and tried again every 2 s" && pass "refused for now: $key" \
    || fail "not logged as kept: $key"
done
grep -qx "exportPath=$WORK/later" "$conf" && grep -qx "exportSpace=100" "$conf" && grep -qx "exportRemote=collector.test:19000" \
  "$conf" && grep -qx "dumpRemote=receiver.test" "$conf" && grep -qx "kestrel=center.test" "$WORK/center.conf" \
  && pass "the rewritten files keep the refused values" \
  || fail "values lost: $(cat "$conf")"

printf '127.0.0.2 %s.test\n' collector receiver center dual >>"$WORK/hosts"
printf '::1 dual.test\n' >>"$WORK/hosts"
mkdir "$WORK/later"
for key in "${kept[@]}"; do
  logged "MESSAGE: $key applied" && pass "applied later: $key" || fail "not applied: $key"
done
grep -qx "exportRemote=collector.test:19000" "$conf" && grep -qx "dumpRemote=receiver.test" "$conf" \
  && pass "saved once applied" || fail "after: $(cat "$conf")"

# Traffic to the endpoint until its records reach the collector and the store (a scan every 10 s).
pair='"busiId":"40213377"'
for _ in $(seq 30); do
  curl -s -o /dev/null "http://127.0.0.1:$PORT/"
  grep -qF "$pair" "$WORK/records" && grep -qaF "$pair" "$WORK/later"/Wirelane-*.json && grep -qF "$pair" "$WORK/center" \
    && grep -qF "$pair" "$WORK/dual4" "$WORK/dual6" && break
  sleep 1
done
grep -qF "$pair" "$WORK/records" && pass "records reach the collector" || fail "no record of the endpoint at the collector"
grep -qaF "$pair" "$WORK/later"/Wirelane-*.json && pass "records reach the store" || fail "no record of the endpoint in the store"
[ -s "$WORK/frames" ] && pass "frames reach the VXLAN receiver" || fail "no frame at the VXLAN receiver"
grep -qE '"did":"7",.*"busiId":"40213377"' "$WORK/center" && pass "records reach the center, with the saved device id" \
  || fail "no record of the endpoint at the center"
first=$(with_hosts python3 -c 'import socket; print(socket.getaddrinfo("dual.test", None, 0, socket.SOCK_STREAM)[0][4][0])')
[ "$first" == ::1 ] && { took=dual6 other=dual4; } || { took=dual4 other=dual6; }
grep -qF "$pair" "$WORK/$took" && [ ! -s "$WORK/$other" ] && pass "a name of both families: records go to $first only" \
  || fail "dual.test ($first first): $(wc -l <"$WORK/dual4") datagrams to 127.0.0.2, $(wc -l <"$WORK/dual6") to ::1"
finish
