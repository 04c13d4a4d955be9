#!/usr/bin/env bash
# The picture of a real desktop notification from a finished job, under a virtual X server
# with a private session bus and dunst: notification_snapshot.sh BUILD_DIR PICTURE.png
set -euo pipefail
build=$1
picture=$(realpath -m "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -v error -nostdin -y -f lavfi -i "sine=frequency=440:duration=20:sample_rate=48000" -ac 2 \
    "$work/concert recording.wav"
cat > "$work/dunstrc" <<'CONF'
[global]
    font = DejaVu Sans 10
    width = 360
    origin = top-right
    offset = 12x12
    max_icon_size = 48
    frame_width = 2
[urgency_normal]
    timeout = 0
CONF
xvfb-run -a -s "-screen 0 1024x720x24" dbus-run-session -- bash -c '
    dunst -config "$2/dunstrc" & dunst=$!
    "$0/tests/snapshot_notification" "$2/concert recording.wav" "$2/concert recording.ac3" "$1"
    status=$?
    kill $dunst
    exit $status' "$build" "$picture" "$work"
echo "kelvane: wrote $picture"
