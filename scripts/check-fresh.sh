#!/usr/bin/env bash
# The README's two commands on a new machine: a minimal Debian 12 with nothing but git, make
# and ca-certificates, LANG and LC_ALL unset; there `make test` must pass and `make run` must
# open the window on an X server of this machine.
# check-fresh.sh [REPOSITORY [COMMIT]]: by default this clone and its HEAD. Root only.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    echo "check-fresh: needs root for debootstrap, chroot and mounts; run: su -c 'make check-fresh'" >&2
    exit 1
fi
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh" --with-fresh
repo=$(cd "${1:-$here}" && git rev-parse --path-format=absolute --git-common-dir)
commit=$(git -C "${1:-$here}" rev-parse --verify "${2:-HEAD}^{commit}")
title='Kelvane Beta Build 3'

# The Debian mirror this machine's apt already uses.
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(IDENTIFIER)' |
    awk '$2 == "bookworm" && $3 == "Packages" { print $1; exit }')
mirror=${mirror:-http://deb.debian.org/debian/}

work=$(mktemp -d /var/tmp/kelvane-fresh.XXXXXX)
root=$work/root
mounts=()
xvfb=
runner=

cleanup() {
    local status=$?
    set +e
    [ -n "$runner" ] && kill "$runner" 2>/dev/null
    # Whatever still runs inside the root (a stray daemon, the program) holds its mounts.
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -KILL "${p#/proc/}" 2>/dev/null
    done
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}"
    done
    # Never delete through a mount that is still there.
    if findmnt -rn -o TARGET | grep -q "^$work/"; then
        echo "check-fresh: mounts are left under $work; not deleting it" >&2
    else
        rm -rf --one-file-system "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mnt() {
    mkdir -p "${*: -1}"
    mount "$@"
    mounts+=("${*: -1}")
}
phase() { echo "check-fresh: $* (at ${SECONDS}s)"; }

phase "debootstrap --variant=minbase bookworm from $mirror"
if ! debootstrap --variant=minbase --include=git,make,ca-certificates bookworm "$root" "$mirror" \
    >"$work/debootstrap.log" 2>&1; then
    tail -n 30 "$work/debootstrap.log" >&2
    echo "check-fresh: debootstrap failed" >&2
    exit 1
fi
# A chroot must not start the daemons that packages bring along.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"

mnt -t proc proc "$root/proc"
mnt -t sysfs sysfs "$root/sys"
mnt --bind /dev "$root/dev"
mnt --bind /dev/pts "$root/dev/pts"
mnt -t tmpfs shm "$root/dev/shm"

phase "cloning $commit"
git clone -q --no-checkout "$repo" "$root/root/kelvane"
git -C "$root/root/kelvane" checkout -q --detach "$commit"

# A command in the clone inside the root, in a bare environment: no LANG, no LC_ALL.
inside() {
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        chroot "$root" /bin/sh -c 'cd /root/kelvane && exec "$@"' sh "$@"
}

phase "make test, LANG and LC_ALL unset"
status=0
inside make test || status=$?
if [ "$status" -ne 0 ]; then
    echo "check-fresh: make test failed ($status)" >&2
fi

phase "make run on a private X server"
exec {xfd}< <(exec Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>&1 >"$work/xvfb.log" 2>&1)
xvfb=$!
if ! read -r -t 30 -u "$xfd" display; then
    cat "$work/xvfb.log" >&2
    echo "check-fresh: Xvfb did not start" >&2
    exit 1
fi
mnt --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
inside env DISPLAY=":$display" make run >"$work/run.log" 2>&1 &
runner=$!
export DISPLAY=":$display"
if window=$(timeout 600 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1) &&
    [ -n "$window" ]; then
    phase "the window is shown: $(xdotool getwindowgeometry "$window" | tr -s '\n ' ' ')"
    # As a person would close it: File > Exit's shortcut.
    xdotool windowfocus --sync "$window" key --clearmodifiers ctrl+q
    if timeout 60 tail --pid="$runner" -f /dev/null; then
        wait "$runner" || { echo "check-fresh: make run ended with $?" >&2; status=1; }
    else
        echo "check-fresh: the program did not end after File > Exit" >&2
        status=1
    fi
else
    echo "check-fresh: the window did not appear" >&2
    status=1
fi
runner=
cat "$work/run.log"

if [ "$status" -eq 0 ]; then
    phase "passed"
else
    phase "FAILED"
fi
exit "$status"
