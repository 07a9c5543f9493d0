#!/bin/sh
# Runs Windows programs on Wine 10.0 of Debian 13 (trixie), in a Debian 13 root that this
# script makes with debootstrap and keeps. The root has the i386 architecture and wine32
# beside wine64, all from the one suite it is made from (so their versions always agree):
# the 32-bit programs run there, and this machine never takes a foreign architecture.
# As root:
#   scripts/test-wine10.sh prepare                     make the root, or check the kept one
#   scripts/test-wine10.sh BUILD [CTEST OPTIONS...]    run BUILD's tests there
#   scripts/test-wine10.sh run SCRIPT [ARGS...]        run a script of the checkout there
# With ORVANE_WINE10_MAKE=no, a root that is not there is not made: the script fails.
# The root is kept in $ORVANE_WINE10_ROOT, by default /var/cache/orvanecmd/trixie-wine10:
# outside build/, so that a clean build keeps it and every checkout on the machine shares
# it (about 2 GB, a few minutes to make). It counts as made only once debootstrap and
# every package have succeeded; a half-made one is thrown away and made again.
# The tests run in the root with ctest, on the build tree at its own path; the Wine
# prefix and CTest's records go to BUILD-wine10/, so that a run under this machine's
# Wine can go on in BUILD at the same time. Every mount lives in a mount namespace of
# the run's own (with its own process and network namespaces, so that its X server and
# wineserver never meet this machine's): when the run ends or is killed, the kernel
# ends its processes and drops its mounts; of this machine's /proc and /dev nothing is
# mounted but a few device nodes (null, zero, random...). When the root cannot be had,
# the script says so and fails.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
root=${ORVANE_WINE10_ROOT:-/var/cache/orvanecmd/trixie-wine10}
suite=trixie
# ctest, and the binutils that the hardening check (mingw-w64's) and the import checks
# (the objdump that CMake found here) call.
packages=wine64,xvfb,xauth,cmake,binutils,binutils-mingw-w64-x86-64,binutils-mingw-w64-i686
# Added once debootstrap is done, with the i386 architecture: the 32-bit loader.
packages_i386=wine32:i386
stamp=.orvanecmd-root
wanted="debootstrap --variant=minbase --include=$packages $suite; i386: $packages_i386"
# How long making the root may take before it counts as failed (a stalled mirror).
prepare_seconds=1800

fail() {
  echo "test-wine10: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, mount, chroot)"
scripts/install-deps.sh wine10

# A mount namespace whose mounts stay in it needs private propagation, which unshare
# cannot set inside a chroot whose root is no mount point; there, with no mount shared
# at all, nothing can leak out either.
if unshare --mount --propagation private true 2>/dev/null; then
  propagation=private
elif ! grep -q ' shared:' /proc/self/mountinfo; then
  propagation=unchanged
else
  fail "cannot make a private mount namespace here (shared mounts, and / is no mount point)"
fi
problem=$(unshare --mount --propagation $propagation --pid --fork --net true 2>&1) ||
  fail "cannot make namespaces here: $problem"
# isolated [unshare options] command...: the command in mount and process namespaces of
# its own, which end with it. unshare ignores INT and TERM and passes no signal on, but
# when it is killed its namespaces' processes die with it (--kill-child): stopping this
# script kills it.
isolated() {
  unshare --mount --propagation "$propagation" --pid --fork --kill-child "$@" &
  unshare_pid=$!
  trap 'kill -KILL "$unshare_pid" 2>/dev/null; exit 143' INT TERM HUP
  isolated_status=0
  wait "$unshare_pid" || isolated_status=$?
  trap - INT TERM HUP
  return "$isolated_status"
}

# Removes a root folder, refusing if anything is mounted in it.
remove_root() {
  [ -e "$1" ] || return 0
  if awk -v dir="$1" '$5 == dir || index($5, dir "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    fail "something is mounted in $1; not removing it"
  fi
  rm -rf --one-file-system "$1"
}

mirror() {
  sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1 |
    grep . || sed -n 's/^deb[[:space:]]\{1,\}\(http[^[:space:]]*\).*/\1/p' /etc/apt/sources.list 2>/dev/null |
    head -n 1 | grep . || echo http://deb.debian.org/debian
}

# Run in the root's own namespaces, by make_root and in_root: a /dev of a few nodes bound
# from this machine's, a fresh /proc (Wine's loader and dpkg need it), and in_root, which runs
# a command in the root with a clean environment.
# shellcheck disable=SC2016
root_mounts='
mount -t tmpfs -o mode=755,size=1m dev "$root/dev"
for node in null zero full random urandom; do
  touch "$root/dev/$node"
  mount --bind "/dev/$node" "$root/dev/$node"
done
mount -t proc proc "$root/proc"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }
'

# In namespaces of its own: debootstrap, then the i386 architecture and its packages from
# the same suite, installed in the root.
# shellcheck disable=SC2016
make_root='
set -eu
root=$1 from=$2 packages=$3 packages_i386=$4
debootstrap --variant=minbase --include="$packages" '"$suite"' "$root" "$from"
'"$root_mounts"'
in_root dpkg --add-architecture i386
in_root apt-get -o Acquire::Retries=3 update
in_root env DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3 install -y --no-install-recommends $packages_i386
in_root apt-get clean
'

# Makes the root unless the kept one is complete, and holds $root.lock (fd 9) shared,
# so that runs use the root side by side and none replaces it under another; it is
# made under the lock held exclusively.
prepare() {
  mkdir -p "$(dirname "$root")"
  exec 9>"$root.lock"
  flock -s 9
  if [ "$(cat "$root/$stamp" 2>/dev/null)" = "$wanted" ]; then
    echo "The Debian 13 root with Wine 10, as made before: $root"
    return
  fi
  # scripts/test.sh tries once; the steps after it find the root made, or fail at once.
  [ "${ORVANE_WINE10_MAKE:-}" != no ] ||
    fail "there is no complete Debian 13 root with Wine 10 in $root (making it failed earlier; its log: $root.log)"
  flock 9
  if [ "$(cat "$root/$stamp" 2>/dev/null)" != "$wanted" ]; then
    remove_root "$root.new"
    remove_root "$root"
    from=$(mirror)
    echo "Making a Debian 13 root with Wine 10 in $root from $from (once; about 2 GB)"
    started=$(date +%s)
    # A mirror caught mid-sync fails a download for a few minutes: a failed attempt is
    # thrown away and made again after a pause, three attempts in all.
    for pause in 60 120 none; do
      # shellcheck disable=SC2086
      isolated timeout -k 30 $prepare_seconds sh -c "$make_root" sh "$root.new" "$from" "$packages" "$packages_i386" \
        >"$root.log" 2>&1 9>&- && break
      tail -n 15 "$root.log" >&2
      [ "$pause" != none ] ||
        fail "the Debian 13 root could not be made (log: $root.log): the tests did not run on Wine 10"
      echo "test-wine10: debootstrap failed; trying again in $pause s" >&2
      sleep "$pause"
      remove_root "$root.new"
    done
    echo "$wanted" >"$root.new/$stamp"
    mv "$root.new" "$root"
    echo "Made in $(($(date +%s) - started)) s"
  fi
  flock -s 9
}

# In the run's own namespaces: the root's mounts above, a /dev/shm of its own, a private
# /tmp and the checkout at its own path. For a build's tests, BUILD-wine10's folders go over
# BUILD's wine/ and Testing/, and ctest runs in the root; otherwise the script given.
# shellcheck disable=SC2016
in_root='
set -eu
root=$1 src=$2 build=$3 lane=$4
shift 4
'"$root_mounts"'
ln -s /proc/self/fd "$root/dev/fd"
mkdir "$root/dev/shm" "$root/dev/pts"
mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
mount -t tmpfs -o mode=1777 tmp "$root/tmp"
mkdir -p "$root$src"
mount --bind "$src" "$root$src"
if [ -z "$build" ]; then
  in_root env -C "$src" sh "$@"
  exit
fi
case $build in "$src"/*) ;; *) mkdir -p "$root$build" && mount --bind "$build" "$root$build" ;; esac
for folder in wine Testing; do
  mkdir -p "$lane/$folder" "$build/$folder"
  mount --bind "$lane/$folder" "$root$build/$folder"
done
echo "Wine here: $(/usr/lib/wine/wine64 --version 2>/dev/null || echo none); in the root: $(in_root /usr/lib/wine/wine64 --version)"
in_root ctest --test-dir "$build" "$@"
'

usage="usage: $0 prepare | BUILD [ctest options...] | run SCRIPT [args...]"
case "${1:-}" in
  prepare)
    prepare
    ;;
  run)
    [ $# -ge 2 ] || fail "$usage"
    shift
    prepare
    isolated --net sh -c "$in_root" sh "$root" "$src" "" "" "$@"
    ;;
  "" | -*)
    fail "$usage"
    ;;
  *)
    build=$(cd "$1" && pwd)
    shift
    [ -f "$build/CTestTestfile.cmake" ] || fail "$build holds no configured build"
    prepare
    mkdir -p "$build-wine10"
    isolated --net sh -c "$in_root" sh "$root" "$src" "$build" "$build-wine10" "$@"
    ;;
esac
