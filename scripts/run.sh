#!/bin/bash
# Installs what is missing, builds, and starts the probe: the desktop program
# where a display is available, otherwise the headless probe on the sample
# capture, printing its records.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/wirelane
fi
exec build/wirelane-probe --read data/sample.pcap --json-out -
