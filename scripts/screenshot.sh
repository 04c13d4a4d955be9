#!/usr/bin/env bash
# Takes a picture of the real window under a virtual X server: screenshot.sh BINARY OUT.png
set -euo pipefail
binary=$1
out=$2
mkdir -p "$(dirname "$out")"
xvfb-run -a -s "-screen 0 480x520x24" bash -c '
    "$0" & pid=$!
    sleep 3
    import -window root "$1"
    kill $pid' "$binary" "$out"
convert "$out" -trim +repage "$out" 2>/dev/null || true
echo "kelvane: wrote $out"
