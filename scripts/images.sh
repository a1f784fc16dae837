#!/bin/bash
# Draws the program's images from their SVG sources in data/images at the
# sizes the windows lay out, and writes them as GDK pixel data (RGBA, 8-bit,
# uncompressed) into one C header. Run by the build; rerun by hand with
#   bash scripts/images.sh OUT.h
# Needs rsvg-convert (librsvg2-bin) and gdk-pixbuf-csource (libgdk-pixbuf2.0-bin).
set -euo pipefail
out=$1
src=$(cd "$(dirname "$0")/../data/images" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
{
  echo "// Made by scripts/images.sh from data/images/*.svg; do not edit."
  echo "#pragma once"
  echo "#include <glib.h>"
  while read -r name w h; do
    rsvg-convert -w "$w" -h "$h" -o "$tmp/$name.png" "$src/$name.svg"
    gdk-pixbuf-csource --raw --name="${name}_inline" "$tmp/$name.png"
  done <<LIST
nic 40 40
set 40 40
json 40 40
dump 40 40
monitor 40 40
help 40 42
query 41 41
play 40 40
logo 51 51
mini 31 31
LIST
} > "$tmp/out.h"
mkdir -p "$(dirname "$out")"
mv "$tmp/out.h" "$out"
