#!/bin/sh
# wine-sandbox.sh FOLDER COMMAND...: runs COMMAND as the Windows rows run every Wine process:
# - with FOLDER as its /tmp, in a mount namespace of its own (in a user namespace too, where not
#   root) that still sees every mount made outside it. Wine keeps its server's folder in TMPDIR or
#   /tmp, and Debian 13's Wine 10 aborts in its wineserver ("free(): invalid pointer") whenever
#   TMPDIR is set, whatever it names: so Wine runs without TMPDIR and sees the build tree's folder
#   as /tmp, and nothing of it lands in the system's /tmp;
# - as root, without root's power to read and write any file (CAP_DAC_OVERRIDE and
#   CAP_DAC_READ_SEARCH leave the bounding set), so that an unreadable description or a read-only
#   folder stops Wine as it stops an ordinary user.
folder=$1
shift
unset TMPDIR
mkdir -p "$folder"
user=""
as_user=""
if [ "$(id -u)" -eq 0 ]; then
  as_user="setpriv --bounding-set=-dac_override,-dac_read_search"
else
  user="--user --map-current-user"
fi
# A build tree in the system's /tmp stays where it was: the system's /tmp is bound in the folder,
# as .tmp, and the build tree's top folder there links to its place in it.
reach=""
case $folder in
/tmp/*)
  top=${folder#/tmp/}
  top=${top%%/*}
  mkdir -p "$folder/.tmp"
  ln -sfn ".tmp/$top" "$folder/$top"
  reach='mount --rbind /tmp "$0/.tmp" && '
  ;;
esac
# shellcheck disable=SC2086 # $user and $as_user are empty or several words
exec unshare --mount --propagation slave $user sh -c "$reach"'mount --rbind "$0" /tmp && exec "$@"' "$folder" $as_user "$@"
