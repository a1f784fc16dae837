#!/bin/bash
# Speed of the retrieval verbs against the plain tools over the same store
# files, page-cached, best of three each:
#   query --keyword K  against  LC_ALL=C grep -F -c K  over the JSON files
#   play --filter A    against  tcpdump -r F -w OUT 'host A'  on each pcap file
# and the peak memory of the verbs. Usage:
#   bench/retrieval_bench.sh PROBE JSON_DIR KEYWORD PCAP_DIR ADDRESS
set -euo pipefail
probe=$1 json=$2 keyword=$3 pkts=$4 addr=$5
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
stored() { find "$1" -name "Wirelane-*.$2" ! -size "$3" | sort; }
mapfile -t jfiles < <(stored "$json" json 10485760c)
mapfile -t pfiles < <(stored "$pkts" pcap 52428800c)
mb() { du -cb --apparent-size "$@" | tail -1 | awk '{printf "%.0f", $1 / 1048576}'; }
cat "${jfiles[@]}" "${pfiles[@]}" >/dev/null  # into the page cache

best() {  # best wall time of three runs of "$@", in seconds
  local b=999999 t
  for _ in 1 2 3; do
    /usr/bin/time -f %e -o "$out/time" "$@" >/dev/null 2>&1
    t=$(tail -1 "$out/time")
    b=$(awk -v a="$b" -v c="$t" 'BEGIN { print (c < a) ? c : a }')
  done
  echo "$b"
}
peak() { /usr/bin/time -f %M -o "$out/time" "$@" >/dev/null 2>&1; tail -1 "$out/time"; }

query=("$probe" query --store "$json" --from 0 --to 4000000000 --keyword "$keyword")
t_query=$(best "${query[@]}")
t_grep=$(best env LC_ALL=C grep -F -c "$keyword" "${jfiles[@]}")
echo "JSON store: ${#jfiles[@]} files, $(mb "${jfiles[@]}") MB; $("${query[@]}" 2>/dev/null | wc -l) records hold '$keyword'"
echo "  query: $t_query s, grep -F -c: $t_grep s, peak $(peak "${query[@]}") KiB"

play=("$probe" play --store "$pkts" --from 0 --to 4000000000 --filter "$addr" --out "$out/play.pcap")
t_play=$(best "${play[@]}")
dump=(bash -c 'out=$1 addr=$2; shift 2; for f; do tcpdump -r "$f" -w "$out" "host $addr" 2>/dev/null; done' _
      "$out/dump.pcap" "$addr" "${pfiles[@]}")
t_dump=$(best "${dump[@]}")
echo "Packet store: ${#pfiles[@]} files, $(mb "${pfiles[@]}") MB; $("${play[@]}" 2>/dev/null | cut -d' ' -f1) frames of $addr"
echo "  play: $t_play s, tcpdump per file: $t_dump s, peak $(peak "${play[@]}") KiB"
