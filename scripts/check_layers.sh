#!/bin/bash
# Checks that every folder of src/ includes only its own headers and those of
# the folders below it, in the order a frame travels. Prints each include of
# a higher (or unknown) folder as FILE:LINE and fails if there is one.
set -euo pipefail
cd "$(dirname "$0")/../src"
layers="platform core decode analysis output capture settings retrieval ui app"
rank() {
  local i=0 l
  for l in $layers; do
    [ "$l" = "$1" ] && { echo $i; return; }
    i=$((i + 1))
  done
  echo 99
}
bad=0
while IFS=: read -r file line text; do
  own=${file%%/*}
  inc=$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$text")
  [[ $inc == */* ]] || continue  # generated headers beside the sources
  [ "$(rank "$own")" -lt 99 ] || { echo "src/$file:$line: folder $own is not a known layer"; bad=1; continue; }
  if [ "$(rank "${inc%%/*}")" -gt "$(rank "$own")" ]; then
    echo "src/$file:$line: $own must not include $inc (a higher layer)"
    bad=1
  fi
done < <(grep -rn --include='*.h' --include='*.cpp' -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' .  | sed 's|^\./||')
[ $bad -eq 0 ] && echo "layers: every include of src/ is of its own folder or one below"
exit $bad
