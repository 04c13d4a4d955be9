#!/usr/bin/env bash
# Installs the Debian packages Kelvane needs, or says how to when we are not root.
set -euo pipefail

# What building, testing, running and packaging need; the options add what one more make
# target needs. file: CPack's .deb generator; qt6-wayland: the window on a Wayland desktop;
# weston: the test that shows it there; libseccomp-dev: the probe helper's system-call filter;
# xcb with DAMAGE: timing the window's repaints; X, window manager, session bus, accessibility
# bus and a notification server: the tests that read the real program from outside; the fonts:
# the common desktop faces the window's layout is checked under; bindfs and python3-fusepy: the
# FUSE mounts of the tests (one whose daemon is stopped, one that ignores case, one that is slow).
packages=(cmake g++ make qt6-base-dev qt6-qpa-plugins qt6-wayland libqt6svg6 libmediainfo-dev
          libseccomp-dev libxcb1-dev libxcb-damage0-dev pkg-config
          ffmpeg fonts-dejavu-core fonts-noto-core fonts-liberation2 fonts-cantarell
          bindfs python3-fusepy desktop-file-utils appstream dpkg-dev file locales weston
          xvfb openbox xdotool x11-utils dbus-daemon dbus-bin at-spi2-core python3-pyatspi
          libglib2.0-bin dunst)
for option in "$@"; do
    case "$option" in
        --with-x) packages+=(xvfb xauth imagemagick) ;;
        --with-bench) packages+=(mediainfo xvfb dbus-daemon libxcb1-dev libxcb-damage0-dev pkg-config) ;;
        --with-clang)
            packages+=(clang clang-tidy)
            # The sanitizer and fuzzer runtime of whichever clang the release calls clang, in a
            # package of its own since clang 14; known once clang is there, so the script runs
            # again after installing it.
            if version=$(clang -dumpversion 2>/dev/null); then
                runtime="libclang-rt-${version%%.*}-dev"
                if apt-cache show --no-all-versions "$runtime" >/dev/null 2>&1; then
                    packages+=("$runtime")
                fi
            else
                again=1
            fi ;;
        --with-fresh) packages+=(debootstrap xvfb xdotool) ;;
        *) echo "deps.sh: unknown option $option" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
# The tests run once more under a German locale (decimal comma).
need_locale() { ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; }
make_locale() {
    sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
}
# The same script as root does the same set-up; sudo need not exist.
as_root() {
    local command
    command=$(printf '%q ' "$(cd "$(dirname "$0")" && pwd)/deps.sh" "$@")
    echo "su -c '${command% }' (or: sudo ${command% })"
}

if [ ${#missing[@]} -eq 0 ]; then
    if need_locale; then
        if [ "$(id -u)" -eq 0 ]; then
            make_locale
        else
            echo "kelvane: the de_DE.UTF-8 locale is not generated, so the tests skip their runs in it; to generate it, run as root: $(as_root "$@")" >&2
        fi
    fi
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "kelvane: missing packages: ${missing[*]}" >&2
    echo "kelvane: install them as root with: $(as_root "$@")" >&2
    exit 1
fi
echo "kelvane: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -o DPkg::Lock::Timeout=600 -q)
# A fresh system has no package lists yet, and old ones may name files the mirror has dropped.
known() {
    local p
    for p in "$@"; do
        apt-cache show --no-all-versions "$p" >/dev/null 2>&1 || return 1
    done
}
if ! known "${missing[@]}"; then
    "${apt[@]}" update
fi
if ! "${apt[@]}" install -y --no-install-recommends "${missing[@]}" </dev/null; then
    "${apt[@]}" update
    "${apt[@]}" install -y --no-install-recommends "${missing[@]}" </dev/null
fi
need_locale && make_locale
if [ -n "${again:-}" ]; then
    exec "$0" "$@"
fi
exit 0
