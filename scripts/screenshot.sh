#!/usr/bin/env bash
# Pictures of the real window under a virtual X server: screenshot.sh BUILD_DIR DOCS_DIR
# docs/screenshot.png: the window as it starts; docs/screenshot-finished.png: a finished job;
# docs/screenshot-scale2.png and docs/screenshot-large-font.png: at twice the scale, and with a
# 14-point desktop font; docs/screenshot-dark.png and docs/screenshot-noto.png: a finished job in
# a dark colour scheme, and under Noto Sans.
set -euo pipefail
build=$1
docs=$2
mkdir -p "$docs"
work=$(mktemp -d)
xvfb=
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
ffmpeg -v error -nostdin -y -f lavfi -i "sine=frequency=440:duration=60:sample_rate=48000" -ac 2 \
    "$work/concert recording.wav"

# A display of our own: the server picks a free number and tells it.
Xvfb -displayfd 3 -screen 0 900x1000x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
export DISPLAY=":$(cat "$work/display")"

shot() {
    "$@" & local pid=$!
    sleep 3
    import -window root "$picture"
    kill "$pid"
}
picture="$docs/screenshot.png" shot "$build/kelvane"
"$build/tests/snapshot_job" "$work/concert recording.wav" "$work/concert recording.ac3" \
    "$docs/screenshot-finished.png"
picture="$docs/screenshot-scale2.png" QT_SCALE_FACTOR=2 shot "$build/kelvane"
"$build/tests/snapshot_job" --font 14 "$docs/screenshot-large-font.png"
"$build/tests/snapshot_job" --dark "$work/concert recording.wav" "$work/concert recording.ac3" \
    "$docs/screenshot-dark.png"
"$build/tests/snapshot_job" --family "Noto Sans" "$work/concert recording.wav" \
    "$work/concert recording.ac3" "$docs/screenshot-noto.png"
for f in "$docs"/screenshot*.png; do
    convert "$f" -trim +repage "$f"
done
echo "kelvane: wrote" "$docs"/screenshot*.png
