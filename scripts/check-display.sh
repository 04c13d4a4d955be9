#!/usr/bin/env bash
# Succeeds when a display server answers on WAYLAND_DISPLAY or DISPLAY; otherwise says why in
# one line. It runs before anything is installed, so it needs nothing beyond perl-base.
set -uo pipefail

# connects unix PATH... | connects tcp HOST PORT: true when something accepts the connection;
# a PATH that begins with @ is in the abstract namespace.
connects() {
    timeout 5 perl -MSocket=:all -e '
        my $kind = shift;
        if ($kind eq "unix") {
            for my $path (@ARGV) {
                socket(my $s, AF_UNIX, SOCK_STREAM, 0) or next;
                exit 0 if connect($s, pack_sockaddr_un($path =~ s/^@/\0/r));
            }
            exit 1;
        }
        my ($host, $port) = @ARGV;
        my ($err, @addrs) = getaddrinfo($host, $port, {socktype => SOCK_STREAM});
        for my $a (@addrs) {
            socket(my $s, $a->{family}, $a->{socktype}, $a->{protocol}) or next;
            exit 0 if connect($s, $a->{addr});
        }
        exit 1;' "$@" 2>/dev/null
}

if [ -n "${WAYLAND_DISPLAY-}" ]; then
    socket=$WAYLAND_DISPLAY
    [[ $socket == /* ]] || socket=${XDG_RUNTIME_DIR-}/$socket
    connects unix "$socket" && exit 0
    [ -n "${DISPLAY-}" ] || {
        echo "kelvane: cannot reach the Wayland display $WAYLAND_DISPLAY (nothing listens on $socket)" >&2
        exit 1
    }
fi

if [ -z "${DISPLAY-}" ]; then
    echo "kelvane: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); run it from a desktop session or under xvfb-run" >&2
    exit 1
fi

# [host]:number[.screen]; no host (or "unix") is the local socket, also in the abstract namespace.
host=${DISPLAY%:*}
number=${DISPLAY##*:}
number=${number%%.*}
if ! [[ $number =~ ^[0-9]+$ ]]; then
    echo "kelvane: DISPLAY=$DISPLAY is not a display name (such as :0)" >&2
    exit 1
fi
if [ -z "$host" ] || [ "$host" = unix ]; then
    connects unix "/tmp/.X11-unix/X$number" "@/tmp/.X11-unix/X$number" && exit 0
elif [[ $host == /* ]]; then
    connects unix "$host:$number" && exit 0
else
    connects tcp "$host" $((6000 + number)) && exit 0
fi
echo "kelvane: cannot reach the display $DISPLAY (no X server answers there); run it from a desktop session or under xvfb-run" >&2
exit 1
