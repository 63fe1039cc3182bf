#!/bin/sh
# private-tmp.sh FOLDER COMMAND...: runs COMMAND with FOLDER as its /tmp, in a mount namespace of its
# own (in a user namespace too, where not root) that still sees every mount made outside it. Wine
# keeps its server's folder in TMPDIR or /tmp, and Debian 13's Wine 10 aborts in its wineserver
# ("free(): invalid pointer") whenever TMPDIR is set, whatever it names: so Wine runs without
# TMPDIR and sees the build tree's folder as /tmp, and nothing of it lands in the system's /tmp.
folder=$1
shift
unset TMPDIR
mkdir -p "$folder"
user=""
[ "$(id -u)" -eq 0 ] || user="--user --map-current-user"
# shellcheck disable=SC2086 # $user is empty or two words
exec unshare --mount --propagation slave $user sh -c 'mount --bind "$0" /tmp && exec "$@"' "$folder" "$@"
