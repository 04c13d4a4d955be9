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
    desktop-file-validate "$root/usr/share/applications/$id.desktop"
    appstreamcli validate --no-net --explain "$root/usr/share/metainfo/$id.metainfo.xml" >/dev/null ||
        fail "appstreamcli rejects the metainfo file"
    # The launcher starts what was installed, and it opens the window.
    grep -q '^Exec=kelvane %f$' "$root/usr/share/applications/$id.desktop" || fail "Exec line"
    QT_QPA_PLATFORM=offscreen KELVANE_EXIT_WHEN_SHOWN=1 timeout 30 "$root/usr/bin/kelvane" |
        grep -qx shown || fail "the installed kelvane did not show its window"
}

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
[ "$(dpkg-deb -f "$deb" Version)" = 1.0.0.0 ] || fail "package version"
dpkg -x "$deb" "$scratch/root"
expect_files "$scratch/root"
echo "package: ok ($(basename "$deb"))"
