#!/usr/bin/env bash
# Installs the Debian packages Kelvane needs, or says how to when we are not root.
set -euo pipefail

# What building and testing need; the options add what one more make target needs.
packages=(cmake g++ make qt6-base-dev qt6-qpa-plugins libqt6svg6 libmediainfo-dev ffmpeg
          fonts-dejavu-core desktop-file-utils appstream dpkg-dev)
for option in "$@"; do
    case "$option" in
        --with-x) packages+=(xvfb xauth imagemagick) ;;
        --with-bench) packages+=(mediainfo) ;;
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
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "kelvane: missing packages: ${missing[*]}" >&2
    echo "kelvane: install them with: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "kelvane: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
