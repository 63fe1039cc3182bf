# Sourced by tests/debian-11.sh and tests/debian-13.sh: a minimal Debian root, made once.

# The Debian mirror this host's apt uses (a local mirror or proxy behind a firewall), else Debian's own.
debian_mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2> /dev/null |
    sed -En 's,^(URIs:|deb( \[[^]]*\])?) *([^ ]*/debian/?)( .*)?$,\3,p' | head -n 1)
  echo "${uri:-http://deb.debian.org/debian}"
}

# make_root RELEASE ROOT [PACKAGE...]: debootstrap's minbase of RELEASE in ROOT, with the packages,
# unless ROOT is there already.
make_root() {
  local release=$1 root=$2
  shift 2
  [ ! -d "$root" ] || return 0
  rm -rf "$root.new"
  mkdir -p "$(dirname "$root")"
  debootstrap --variant=minbase "$release" "$root.new" "$(debian_mirror)" > "$root.log" 2>&1 ||
    { tail -n 20 "$root.log"; echo "debootstrap $release from $(debian_mirror) failed" >&2; return 1; }
  if [ $# -gt 0 ]; then
    chroot "$root.new" sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"' \
      sh "$@" >> "$root.log" 2>&1 || { tail -n 20 "$root.log"; echo "installing in the $release root failed" >&2; return 1; }
  fi
  mv "$root.new" "$root"
}
