#!/bin/sh
# Installs the Debian packages the build and the tests need, only those missing.
#   scripts/install-deps.sh            everything (the three Windows builds, Wine, host tools)
#   scripts/install-deps.sh windows    only what the x64 g++ Windows build and Wine need
#   scripts/install-deps.sh tidy       only what scripts/tidy.sh needs
#   scripts/install-deps.sh release    only what scripts/release.sh needs
#   scripts/install-deps.sh coverage   what scripts/coverage.sh needs
#   scripts/install-deps.sh wine10     what scripts/test-wine10.sh needs besides the x64 build
set -eu
windows="cmake make g++-mingw-w64-x86-64-posix wine64 xvfb xauth googletest"
# The x86 build runs under the 32-bit Wine loader; the second compiler is clang with lld.
more_windows="g++-mingw-w64-i686-posix wine32:i386 clang lld"
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
# A mirror caught mid-sync serves an index of the wrong size and apt-get fails (exit 100);
# that passes within minutes, so a failed apt-get is tried again after a pause (about
# eight minutes in all) before the script gives up with its last status.
apt_get() {
  for pause in 15 30 60 120 240 none; do
    apt_status=0
    apt-get -o Acquire::Retries=3 "$@" || apt_status=$?
    [ "$apt_status" -ne 0 ] || return 0
    if [ "$pause" = none ]; then
      echo "install-deps: apt-get $1 still failed (status $apt_status) after about eight minutes of" \
        "trying; apt's errors above say why" >&2
      return "$apt_status"
    fi
    echo "install-deps: apt-get $1 failed (status $apt_status); trying again in $pause s" >&2
    sleep "$pause"
  done
}
missing=""
for package in $wanted; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  case "$missing" in
    *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
  esac
  apt_get update
  # shellcheck disable=SC2086
  apt_get install -y --no-install-recommends $missing
fi
