#!/bin/sh
# Installs the Debian packages the build and the tests need, only those missing.
#   scripts/install-deps.sh            everything (the three Windows builds, Wine, host tools)
#   scripts/install-deps.sh windows    only what the x64 g++ Windows build and Wine need
#   scripts/install-deps.sh tidy       only what scripts/tidy.sh needs
#   scripts/install-deps.sh release    only what scripts/release.sh needs
#   scripts/install-deps.sh coverage   what scripts/coverage.sh needs
#   scripts/install-deps.sh wine10     what scripts/test-wine10.sh needs besides the x64 build
# It adds no foreign architecture and installs no package of one: the 32-bit programs
# run in the Debian 13 root of scripts/test-wine10.sh, which has its own. A machine that
# has one already is left as it is.
set -eu
windows="cmake make g++-mingw-w64-x86-64-posix wine64 xvfb xauth googletest"
# The x86 build's compiler; the second compiler is clang with lld.
more_windows="g++-mingw-w64-i686-posix clang lld"
# libgtest-dev: the usage check builds our tests for this machine on an installed GoogleTest.
host="g++ clang libclang-rt-14-dev libbenchmark-dev libssl-dev libgtest-dev"
tidy="cmake make g++-mingw-w64-x86-64-posix googletest clang lld clang-tidy"
release="cmake make git g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix zip unzip osslsigncode"
coverage="gcovr llvm-14"
# The Debian 13 root with Wine 10 (unshare, flock and chroot come with every Debian).
wine10="debootstrap"
case "${1:-all}" in
  windows) wanted="$windows" ;;
  tidy) wanted="$tidy" ;;
  release) wanted="$release" ;;
  coverage) wanted="$windows clang libclang-rt-14-dev libssl-dev $coverage" ;;
  wine10) wanted="$wine10" ;;
  *) wanted="$windows $more_windows $host $release openssl pkgconf clang-tidy $coverage $wine10" ;;
esac
# The pauses between tries, in seconds (a mirror caught mid-sync mends within minutes).
pauses=${ORVANE_APT_PAUSES:-15 30 60 120 240}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
# Sets $missing to the wanted packages that are not installed.
find_missing() {
  missing=""
  for package in $wanted; do
    installed "$package" || missing="$missing $package"
  done
}
# The indexes that the last apt-get update could not fetch, one a line.
failed_indexes() {
  sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p; s/^[EW]: GPG error: \([^ ]*\) \([^ ]*\) .*/\1 \2/p
    s/^[EW]: The repository .\([^ ]*\) \([^ ]*\) Release. .*/\1 \2/p' "$log" | sort -u
}
# An index that fails (another architecture's, a source of the user's with an expired key,
# a mirror mid-sync) stops nothing by itself: apt-get update keeps what it could fetch,
# and the install is tried on it. Only a package that cannot be installed fails, after
# the pauses, naming the package and the indexes that could not be fetched.
find_missing
[ -n "$missing" ] || exit 0
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
for pause in $pauses none; do
  if ! apt-get -o Acquire::Retries=3 update >"$log" 2>&1; then
    cat "$log" >&2
    echo "install-deps: apt-get update could not fetch every index; installing from what it has" >&2
  fi
  # shellcheck disable=SC2086
  apt-get -o Acquire::Retries=3 install -y --no-install-recommends $missing && exit 0
  find_missing
  [ -n "$missing" ] || exit 0
  [ "$pause" != none ] || break
  echo "install-deps: could not install$missing; trying again in $pause s" >&2
  sleep "$pause"
done
named=""
for package in $missing; do
  apt-get install -s --no-install-recommends "$package" >/dev/null 2>&1 || named="$named $package"
done
echo "install-deps: cannot install${named:-$missing}" >&2
indexes=$(failed_indexes)
if [ -n "$indexes" ]; then
  echo "install-deps: these indexes could not be fetched:" >&2
  echo "$indexes" | sed 's/^/  /' >&2
else
  echo "install-deps: every index was fetched; apt's errors above say why" >&2
fi
exit 1
