#!/bin/sh
# Makes the release zip of a built Windows preset, unpacks it into a fresh folder,
# builds the consumer project (consumer/) against it with each given toolchain and
# runs it under Wine. Fails on a missing header, library or package file, on a header
# a caller must not get, and on a wrong result.
#   scripts/check-release.sh <preset> <toolchain file>...
set -eu
cd "$(dirname "$0")/.."
preset=$1
shift
root=$(pwd)
build=$root/build/$preset
check=$build/release-check
rm -rf "$check" "$build"/orvanecmd-*.zip
cpack --preset "$preset" -B "$build" >/dev/null
zip=$(ls "$build"/orvanecmd-*.zip)
echo "release: $zip"
mkdir -p "$check/unpacked"
(cd "$check/unpacked" && cmake -E tar xf "$zip")
prefix=$(ls -d "$check"/unpacked/orvanecmd-*)

fail() {
  echo "release check FAILED: $*" >&2
  exit 1
}
[ -f "$prefix/bin/orvanecmd.exe" ] || fail "no bin/orvanecmd.exe"
[ -f "$prefix/README.md" ] || fail "no README.md"
[ ! -e "$prefix/include/orvanecmd/framework/application.h" ] || fail "application.h is among the headers"
[ ! -e "$prefix/include/orvanecmd/seams" ] || fail "the seams are among the headers"

cmake/wine-session.sh start "$build/wine" >/dev/null
trap 'cmake/wine-session.sh stop "$build/wine" >/dev/null' EXIT
text="The quick brown fox jumps over the lazy dog"
expected=$(printf '%s' "$text" | sha1sum | cut -d' ' -f1)
for toolchain in "$@"; do
  consumer=$check/consumer-$(basename "$toolchain" .cmake)
  echo "consumer with $toolchain"
  cmake -S consumer -B "$consumer" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$consumer" -j2
  run() { cmake/wine-run.sh "$build/wine" "$consumer/consumer.exe" "$@" | tr -d '\r'; }
  [ "$(run sha1 "$text")" = "$expected" ] || fail "SHA-1 of the text is not $expected"
  [ "$(run memmap)" = "memmap ok" ] || fail "shared memory round trip"
  [ "$(run facilities)" = "facilities ok" ] || fail "facilities"
done
echo "release check passed: $(basename "$zip")"
