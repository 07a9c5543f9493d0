#!/bin/sh
# Checks a release zip (one made by scripts/release.sh, or by CPack from a built
# Windows preset): unpacks it into a fresh folder, builds the consumer project
# (consumer/) against it with each given toolchain through its CMake package, and once
# with the mingw-w64 g++ of its architecture through its pkg-config file, and runs
# each result under Wine; the first build also runs its own test with ctest through the
# zip's toolchain file, as a caller's tests run. The first toolchain is the one the zip
# was built with: the zip must hold its copy, used here, and no other toolchain file; the
# others (other compilers a caller may use) are the checkout's. Each CMake build also makes
# consumer/no_global_names.cpp, a caller with names of its own spelled as the library's that
# asks for the library's names in orvane:: only; it must print the zip's version. Fails on a
# missing header, library or package file, on a header a caller must not get, on a global
# name a caller did not ask for, and on a wrong result.
#   scripts/check-release.sh <release zip or preset> <toolchain file>...
# The consumers are built here; a win32 zip's are run in the Debian 13 root of
# scripts/test-wine10.sh, whose Wine has the 32-bit loader (this machine's need not).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

fail() {
  echo "release check FAILED: $*" >&2
  exit 1
}
text="The quick brown fox jumps over the lazy dog"
# run_consumers CHECK: runs the consumers that CHECK/consumers lists, one a line, each as
# "EXE", "EXE ctest" (its own test with ctest as well) or "EXE names" (no_global_names), in a
# Wine session of CHECK/wine.
run_consumers() {
  check=$1
  cmake/wine-session.sh start "$check/wine" >/dev/null
  trap 'cmake/wine-session.sh stop "$check/wine" >/dev/null' EXIT
  expected=$(printf '%s' "$text" | sha1sum | cut -d' ' -f1)
  version=$(basename "$(ls -d "$check"/unpacked/orvanecmd-*)" | sed 's/^orvanecmd-\(.*\)-win[0-9]*$/\1/')
  run() { cmake/wine-run.sh "$check/wine" "$consumer_exe" "$@" 2>"$check/run.err" | tr -d '\r'; }
  expect() {  # expect WHAT WANTED ARGUMENT...: the consumer run with ARGUMENT... must print WANTED
    what=$1 wanted=$2
    shift 2
    got=$(run "$@")
    [ "$got" = "$wanted" ] ||
      fail "$what: $(basename "$consumer_exe") $1 printed \"${got:-nothing}\", not \"$wanted\" (standard error: \"$(cat "$check/run.err")\")"
  }
  while read -r consumer_exe kind; do
    echo "running $consumer_exe"
    if [ "$kind" = names ]; then
      expect "the library's names in orvane:: only" \
        "$(printf 'version %s\nsha1 %s\nhandoff handed over' "$version" "$expected")" "$text"
      continue
    fi
    expect "SHA-1 of the text" "$expected" sha1 "$text"
    expect "shared memory round trip" "memmap ok" memmap
    expect "facilities" "facilities ok" facilities
    expect "hand-off receiver" "handoff ok" handoff
    [ "$kind" = ctest ] || continue
    # Its own test through the toolchain file's emulator, as a caller's ctest runs it, in
    # a build folder without a Wine state folder: the emulator makes what it needs.
    consumer=$(dirname "$consumer_exe")
    [ ! -e "$consumer/wine" ] || fail "$consumer/wine exists before any test ran"
    ctest --test-dir "$consumer" --output-on-failure >"$consumer/ctest.log" 2>&1 ||
      { cat "$consumer/ctest.log"; fail "ctest failed in $consumer, a build with the zip's toolchain file"; }
    [ -d "$consumer/wine/prefix" ] || fail "ctest did not run the consumer in the build's own Wine prefix"
    WINEPREFIX=$consumer/wine/prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
    echo "ctest with the zip's toolchain file: passed, in the build's own Wine prefix"
  done <"$check/consumers"
}
if [ "$1" = --run ]; then
  run_consumers "$2"
  exit
fi
if [ -f "$1" ]; then
  zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  build=$root/build/release
  check=$build/check-$(basename "$zip" .zip)
  rm -rf "$check"
else
  build=$root/build/$1
  check=$build/release-check
  rm -rf "$check" "$build"/orvanecmd-*.zip
  cpack --preset "$1" -B "$build" >/dev/null
  zip=$(ls "$build"/orvanecmd-*.zip)
fi
shift
echo "release: $zip"
mkdir -p "$check/unpacked"
(cd "$check/unpacked" && cmake -E tar xf "$zip")
prefix=$(ls -d "$check"/unpacked/orvanecmd-*)

[ -f "$prefix/bin/orvanecmd.exe" ] || fail "no bin/orvanecmd.exe"
[ -f "$prefix/share/doc/orvanecmd/README.md" ] || fail "no share/doc/orvanecmd/README.md"
[ -f "$prefix/share/doc/orvanecmd/docs/handoff.md" ] || fail "no share/doc/orvanecmd/docs/handoff.md"
[ ! -e "$prefix/README.md" ] || fail "README.md at the top of the zip, not under share/doc/orvanecmd/"
[ ! -e "$prefix/include/orvanecmd/framework/application.h" ] || fail "application.h is among the headers"
[ ! -e "$prefix/include/orvanecmd/seams" ] || fail "the seams are among the headers"
[ -f "$prefix/lib/pkgconfig/orvanecmd.pc" ] || fail "no lib/pkgconfig/orvanecmd.pc"
toolchains=$(find "$prefix/share/orvanecmd/toolchains" -mindepth 1 -printf '%f\n' 2>/dev/null | sort | tr '\n' ' ')
[ "$toolchains" = "$(printf '%s\n' "$(basename "$1")" mingw-w64-common.cmake wine-env.sh wine-run.sh | sort | tr '\n' ' ')" ] ||
  fail "share/orvanecmd/toolchains/ holds ${toolchains:-nothing}, not only $(basename "$1") and what it uses"

case $zip in
  *-win64.zip) cxx=x86_64-w64-mingw32-g++-posix objdump=x86_64-w64-mingw32-objdump ;;
  *) cxx=i686-w64-mingw32-g++-posix objdump=i686-w64-mingw32-objdump ;;
esac
# The stack guard a caller gets: the library's own by default, libssp's when asked for.
check_guard() {  # check_guard EXE own|libssp
  imports=$("$objdump" -p "$1")
  case $2 in
    own) printf '%s' "$imports" | grep -q CryptAcquireContext && fail "$1 links libssp's stack guard" ;;
    libssp) printf '%s' "$imports" | grep -q CryptAcquireContext || fail "$1 does not link libssp's stack guard" ;;
  esac
  return 0
}
guards="own libssp"  # libssp's guard with the first toolchain only
for toolchain in "$@"; do
  for guard in $guards; do
    consumer=$check/consumer-$(basename "$toolchain" .cmake)-$guard
    echo "consumer with $toolchain, $guard stack guard"
    option=OFF
    [ "$guard" = own ] || option=ON
    shipped=$prefix/share/orvanecmd/toolchains/$(basename "$toolchain")
    [ -f "$shipped" ] || shipped=$(cd "$(dirname "$toolchain")" && pwd)/$(basename "$toolchain")
    cmake -S consumer -B "$consumer" -DCMAKE_TOOLCHAIN_FILE="$shipped" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$prefix" -DORVANECMD_LIBSSP_GUARD=$option >/dev/null
    cmake --build "$consumer" -j2
    # The first build runs its own test with ctest too.
    if [ -z "${tested:-}" ]; then
      echo "$consumer/consumer.exe ctest"
      tested=yes
    else
      echo "$consumer/consumer.exe"
    fi >>"$check/consumers"
    echo "$consumer/no_global_names.exe names" >>"$check/consumers"
    if [ -f "$prefix/lib/liborvane_stack_guard.a" ]; then check_guard "$consumer/consumer.exe" "$guard"; fi
  done
  guards=own
done
echo "consumer with $cxx and pkg-config"
pc() { PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH="" pkg-config "$@" orvanecmd; }
# shellcheck disable=SC2046
"$cxx" -std=c++11 -O2 -Wall -Wextra -Werror $(pc --cflags) consumer/main.cpp -static $(pc --libs) \
  -o "$check/consumer-pkg-config.exe"
echo "$check/consumer-pkg-config.exe" >>"$check/consumers"
if [ -f "$prefix/lib/liborvane_stack_guard.a" ]; then check_guard "$check/consumer-pkg-config.exe" own; fi
case $zip in
  *-win64.zip) run_consumers "$check" ;;
  *) scripts/test-wine10.sh run scripts/check-release.sh --run "$check" ;;
esac
echo "release check passed: $(basename "$zip")"
