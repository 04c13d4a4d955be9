#!/usr/bin/env bash
# Installs the Debian packages Kelvane needs, or says how to when we are not root.
set -euo pipefail

# What building and testing need; the options add what one more make target needs.
packages=(cmake g++ make qt6-base-dev qt6-qpa-plugins libqt6svg6 libmediainfo-dev ffmpeg
          fonts-dejavu-core desktop-file-utils appstream dpkg-dev locales
          xvfb openbox xdotool x11-utils dbus-daemon dbus-bin at-spi2-core python3-pyatspi
          libglib2.0-bin dunst)
for option in "$@"; do
    case "$option" in
        --with-x) packages+=(xvfb xauth imagemagick) ;;
        --with-bench) packages+=(mediainfo xvfb dbus-daemon libxcb1-dev libxcb-damage0-dev pkg-config) ;;
        --with-clang) packages+=(clang clang-tidy libclang-rt-14-dev) ;;
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

if [ ${#missing[@]} -eq 0 ]; then
    if need_locale; then
        if [ "$(id -u)" -eq 0 ]; then
            make_locale
        else
            echo "kelvane: the de_DE.UTF-8 locale is missing; the locale tests will be skipped" >&2
        fi
    fi
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "kelvane: missing packages: ${missing[*]}" >&2
    echo "kelvane: install them with: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "kelvane: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
need_locale && make_locale
exit 0
