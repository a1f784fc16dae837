#!/bin/bash
# Frame loss of live capture at rising rates. Makes a veth pair in a network
# namespace of its own, replays a capture into one end with tcpreplay at each
# rate, and captures on the other end, once with wirelane-probe --interface
# (JSON store on, with the configuration given) and once with tcpdump -w
# /dev/null as a peer. Prints per rate the frames sent, what the probe
# captured, analysed, lost on its ring and saw dropped by the capture library,
# and what tcpdump captured and saw dropped. Needs root.
#
#   bench/live_bench.sh PROBE CAPTURE CONF [SECONDS-PER-RATE] [RATE...]
#
# CONF must name the JSON store's directory (exportPath); rates are frames
# per second (default 50000 100000 200000 300000 400000), or top: as fast as
# tcpreplay can send.
set -euo pipefail
probe=$(readlink -f "$1") capture=$2 conf=$3 secs=${4:-5}
shift $(($# < 4 ? $# : 4))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(50000 100000 200000 300000 400000)
for tool in tcpreplay tcpdump ip; do
  command -v $tool >/dev/null || { echo "live_bench: $tool is missing" >&2; exit 1; }
done

ns=wl-bench-$$
work=$(mktemp -d)
cleanup() {
  ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"
in_ns() { ip netns exec "$ns" "$@"; }
in_ns ip link add wlb0 type veth peer name wlb1
in_ns ip link set lo up
for dev in wlb0 wlb1; do
  in_ns ip link set $dev mtu 9000 up  # room for any frame of the capture
done
in_ns ip addr add 192.0.2.1/24 dev wlb1  # the probe lists cards by their IPv4 address
cat "$capture" >/dev/null  # into the page cache

# Frames sent by one replay at rate: "frames rate-reached".
replay() {
  local out
  local pace=(--topspeed --limit=$((400000 * secs)))
  [ "$1" == top ] || pace=(--pps="$1" --limit=$(($1 * secs)))
  out=$(in_ns tcpreplay -i wlb0 "${pace[@]}" "$capture" 2>&1) || { echo "$out" >&2; return 1; }
  awk '/Actual:/ {n = $2} /Rated:/ {for (i = 1; i < NF; i++) if ($(i + 1) ~ /pps/) r = $i} END {print n, r}' <<<"$out"
}

printf '%9s %9s %9s | %9s %9s %9s %9s | %9s %9s\n' rate sent reached "probe cap" analysed "ring lost" "lib drop" \
  "dump cap" "dump drop"
for rate in "${rates[@]}"; do
  # The probe: started, given time to open the card, stopped after the replay
  # (run without in_ns, so that $! is the probe itself and not a subshell).
  ip netns exec "$ns" "$probe" --interface wlb1 --conf "$conf" >"$work/probe.log" 2>&1 &
  pid=$!
  sleep 4
  read -r sent reached < <(replay "$rate")
  sleep 1
  kill -TERM $pid
  wait $pid || true
  line=$(grep "stopped by signal" "$work/probe.log" || true)
  num() { sed -n "s/.* \([0-9]*\) $1.*/\1/p" <<<"$line"; }
  cap=$(num "frames captured") ana=$(num "analysed,") lost=$(num "lost on") drop=$(num "dropped by")

  ip netns exec "$ns" tcpdump -i wlb1 -w /dev/null >"$work/dump.log" 2>&1 &
  dpid=$!
  sleep 2
  replay "$rate" >/dev/null
  sleep 1
  kill -TERM $dpid
  wait $dpid || true
  dcap=$(sed -n 's/^\([0-9]*\) packets captured.*/\1/p' "$work/dump.log")
  ddrop=$(sed -n 's/^\([0-9]*\) packets dropped by kernel.*/\1/p' "$work/dump.log")
  printf '%9s %9s %9s | %9s %9s %9s %9s | %9s %9s\n' "$rate" "$sent" "$reached" "${cap:-?}" "${ana:-?}" \
    "${lost:-?}" "${drop:-?}" "${dcap:-?}" "${ddrop:-?}"
  grep "frames lost" "$work/probe.log" | sed 's/^/    probe log: /' || true
done
