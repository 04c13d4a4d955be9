#!/usr/bin/env bash
# Pictures of the real window under a virtual X server: screenshot.sh BUILD_DIR DOCS_DIR
# docs/screenshot.png: the window as it starts; docs/screenshot-finished.png: a finished job;
# docs/screenshot-scale2.png and docs/screenshot-large-font.png: at twice the scale, and with a
# 14-point desktop font.
set -euo pipefail
build=$1
docs=$2
mkdir -p "$docs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -v error -nostdin -y -f lavfi -i "sine=frequency=440:duration=60:sample_rate=48000" -ac 2 \
    "$work/concert recording.wav"

xvfb-run -a -s "-screen 0 900x1000x24" bash -c '
    "$0/kelvane" & pid=$!
    sleep 3
    import -window root "$1/screenshot.png"
    kill $pid
    "$0/tests/snapshot_job" "$2/concert recording.wav" "$2/concert recording.ac3" \
        "$1/screenshot-finished.png"
    QT_SCALE_FACTOR=2 "$0/kelvane" & pid=$!
    sleep 3
    import -window root "$1/screenshot-scale2.png"
    kill $pid
    "$0/tests/snapshot_job" --font 14 "$1/screenshot-large-font.png"' "$build" "$docs" "$work"
for f in "$docs"/screenshot*.png; do
    convert "$f" -trim +repage "$f"
done
echo "kelvane: wrote" "$docs"/screenshot*.png
