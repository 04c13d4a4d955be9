#!/usr/bin/env bash
# The installed and the packaged program land where a desktop looks for them, and their
# launcher and software-centre entry validate: package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
id=io.github.kelvane.Kelvane
fail() { echo "FAIL: $*" >&2; exit 1; }

expect_files() {
    local root=$1
    for f in usr/bin/kelvane usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
             usr/share/icons/hicolor/scalable/apps/kelvane.svg; do
        [ -f "$root/$f" ] || fail "$f is missing under $root"
    done
    for size in 16 22 24 32 48 64 128 256; do
        [ -f "$root/usr/share/icons/hicolor/${size}x${size}/apps/kelvane.png" ] ||
            fail "the ${size}x${size} icon is missing under $root"
    done
    [ -x "$root/usr/bin/kelvane" ] || fail "kelvane is not executable"
    # The probe helper, where the program looks for it relative to itself.
    [ -x "$root/usr/libexec/kelvane/kelvane-probe" ] || fail "the probe helper is missing under $root"
    desktop-file-validate "$root/usr/share/applications/$id.desktop"
    appstreamcli validate --no-net --explain "$root/usr/share/metainfo/$id.metainfo.xml" >/dev/null ||
        fail "appstreamcli rejects the metainfo file"
    # The launcher starts what was installed, and it opens the window.
    grep -q '^Exec=kelvane %f$' "$root/usr/share/applications/$id.desktop" || fail "Exec line"
    QT_QPA_PLATFORM=offscreen KELVANE_EXIT_WHEN_SHOWN=1 timeout 30 "$root/usr/bin/kelvane" |
        grep -qx shown || fail "the installed kelvane did not show its window"
    # Given a file, it probes it through the helper installed beside it.
    QT_QPA_PLATFORM=offscreen "$root/usr/bin/kelvane" "$scratch/tone.wav" &
    local pid=$! helper="" tries=0
    while [ -z "$helper" ] && [ $tries -lt 200 ] && kill -0 $pid 2>/dev/null; do
        helper=$(pgrep -P $pid -x kelvane-probe || true)
        [ -n "$helper" ] || { tries=$((tries + 1)); sleep 0.1; }
    done
    local exe=""
    [ -n "$helper" ] && exe=$(readlink "/proc/$helper/exe" || true)
    kill $pid 2>/dev/null || true
    wait $pid 2>/dev/null || true
    [ "$exe" = "$root/usr/libexec/kelvane/kelvane-probe" ] ||
        fail "the installed kelvane did not start its installed helper (${exe:-none})"
}

ffmpeg -v error -nostdin -f lavfi -i sine=duration=1 "$scratch/tone.wav"

# make install with a staging folder.
DESTDIR="$scratch/staged" cmake --install "$build" --prefix /usr >/dev/null
expect_files "$scratch/staged"
echo "install: ok"

# make package, unpacked into a scratch root.
(cd "$build" && cpack -B "$scratch/packages" >/dev/null)
deb=$(ls "$scratch"/packages/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for dep in ffmpeg libmediainfo0v5 qt6-qpa-plugins qt6-wayland libqt6widgets6 libqt6gui6 libqt6core6 \
           libc6; do
    [[ ", $depends," == *", $dep"[\ ,]* ]] || fail "Depends lacks $dep"
done
[ "$(dpkg-deb -f "$deb" Package)" = kelvane ] || fail "package name"
# The product version, the second line of resources/version.txt.
[ "$(dpkg-deb -f "$deb" Version)" = "$(sed -n 2p "$(dirname "$0")/../resources/version.txt")" ] ||
    fail "package version"
dpkg -x "$deb" "$scratch/root"
expect_files "$scratch/root"
echo "package: ok ($(basename "$deb"))"
