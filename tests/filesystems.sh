#!/usr/bin/env bash
# Runs the end-to-end table of build/default against other file systems and as an
# ordinary user: as root and as a user on the folder TMPDIR names (or /tmp), on a tmpfs,
# and on xfs and btrfs (project IDs, copy-on-write) in image files; as root on a ramfs
# (no attributes, no flags) and on a bind mount. Run it as root; what cannot be set up here (a mount in a
# container that allows none) is said and skipped. Leaves no user, mount or folder behind.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "filesystems: run me as root" >&2; exit 1; }

work=$(mktemp -d)
user=tessolin-check
made_user=false
cleanup() {
  for mount in "$work/tmpfs" "$work/ramfs" "$work/bind" "$work/xfs" "$work/btrfs"; do
    mountpoint -q "$mount" && umount "$mount"
  done
  rm -rf "$work"
  if $made_user; then userdel "$user"; fi
}
trap cleanup EXIT

# A copy that any user may run, with the examples the table reads.
cp build/default/tessolin build/default/tests/run_test "$work/"
cp -r examples "$work/examples"
chmod -R a+rX "$work"
export TESSOLIN_COMMAND="$work/tessolin" TESSOLIN_PLATFORM=linux TESSOLIN_EXAMPLES="$work/examples"

# An ordinary user with a supplementary group, for the permission and group rows.
if ! id "$user" > /dev/null 2>&1; then
  useradd --system --no-create-home --shell /usr/sbin/nologin --groups users "$user"
  made_user=true
fi

run_table() { # where, then the command prefix that chooses the user
  local where=$1
  shift
  echo "filesystems: $where, as $(if [ $# -gt 0 ]; then echo "$user"; else echo root; fi)"
  TMPDIR=$where "$@" "$work/run_test" --gtest_brief=1
}

base=${TMPDIR:-/tmp}
run_table "$base"
run_table "$base" runuser -u "$user" --
# The disk rows without /sys, as in a container: there the tool cannot tell which disk holds a partition.
if unshare -m true 2> /dev/null; then
  echo "filesystems: $base, as root, without /sys"
  unshare -m sh -c 'mount -t tmpfs tessolin-check /sys && exec "$0" --gtest_brief=1 --gtest_filter="*device*:*partition*"' \
    "$work/run_test"
else
  echo "filesystems: no mount namespace here (mounts not allowed): the disk rows without /sys skipped"
fi

mkdir "$work/tmpfs" "$work/ramfs" "$work/bind" "$work/bind-source" "$work/xfs" "$work/btrfs"
chmod 1777 "$work/bind-source"
if mount -t tmpfs -o mode=1777 tessolin-check "$work/tmpfs" 2> /dev/null; then
  run_table "$work/tmpfs"
  run_table "$work/tmpfs" runuser -u "$user" --
else
  echo "filesystems: no tmpfs here (mounts not allowed): skipped"
fi
if mount -t ramfs -o mode=1777 tessolin-check "$work/ramfs" 2> /dev/null; then
  run_table "$work/ramfs"
else
  echo "filesystems: no ramfs here (mounts not allowed): skipped"
fi
if mount --bind "$work/bind-source" "$work/bind" 2> /dev/null; then
  run_table "$work/bind"
else
  echo "filesystems: no bind mount here (mounts not allowed): skipped"
fi
for fs in xfs btrfs; do
  if truncate -s 320M "$work/$fs.img" && mkfs."$fs" -q "$work/$fs.img" > /dev/null 2>&1 &&
    mount -o loop "$work/$fs.img" "$work/$fs" 2> /dev/null; then
    chmod 1777 "$work/$fs"
    run_table "$work/$fs"
    run_table "$work/$fs" runuser -u "$user" --
  else
    echo "filesystems: no $fs here (mkfs.$fs missing, or loop mounts not allowed): skipped"
  fi
done
echo "filesystems: ok"
