#!/bin/sh
# The hashing benchmarks: hash_bench on the host (every SHA-1 path and the MD5
# transform against OpenSSL), then Sha1Update over 16 KiB from the host build
# and from the Windows build under Wine, one after the other on this machine.
#   scripts/bench.sh [Google Benchmark flags for hash_bench]
set -eu
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench -j2 --target orvane_hash_bench orvane_sha1_speed
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target orvane_sha1_speed
unset OPENSSL_ia32cap
build/bench/bin/hash_bench "$@"
echo
echo "host (clang, $(lscpu | sed -n 's/^Model name: *//p')):"
build/bench/bin/sha1_speed
echo "Windows build (mingw-w64 g++) under Wine:"
state=build/windows/wine
cmake/wine-session.sh start "$state" >/dev/null
trap 'cmake/wine-session.sh stop "$state" >/dev/null' EXIT
cmake/wine-run.sh "$state" build/windows/bin/sha1_speed.exe
