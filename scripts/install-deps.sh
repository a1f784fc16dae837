#!/bin/bash
# Installs the Debian packages that building, running and testing need.
# Needs root (or sudo); does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libpcap-dev libssl-dev libcurl4-openssl-dev libmicrohttpd-dev libgtk-3-dev libgtest-dev libgmock-dev
  tshark tcpdump libcap2-bin curl nginx-light openssl python3 jq valgrind clang libclang-rt-14-dev iproute2
  xvfb xauth xdotool librsvg2-bin libgdk-pixbuf2.0-bin
  at-spi2-core python3-pyatspi python3-xlib dbus trayer
  mariadb-server mariadb-client
  postgresql-15 postgresql-client-15 redis-server redis-tools python3-psycopg python3-redis
  clickhouse-server clickhouse-client
  lintian desktop-file-utils appstream systemd man-db adduser
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
