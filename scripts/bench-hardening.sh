#!/bin/sh
# What the hardening costs, side by side in one run: the x64 Windows build without and
# with it (ORVANE_HARDEN), each launcher's start-up against the least launcher of its
# own build and the hardened launcher against the plain least launcher, Sha1Update under
# Wine from both builds, and hash_bench on the host (SHA-1 and MD5 against OpenSSL)
# built without and with the same flags.
#   scripts/bench-hardening.sh [runs of each start-up, at least 30]
set -eu
cd "$(dirname "$0")/.."
runs=${1:-30}
scripts/install-deps.sh
flags="-fstack-protector-strong -fcf-protection=full -D_FORTIFY_SOURCE=2"
windows_targets="orvanecmd orvane_support orvane_ansi_string orvane_startup_bench orvane_least_launcher
  orvane_start_timer_viewer orvane_sha1_speed"

build_windows() {  # build_windows FOLDER ON|OFF
  cmake --preset windows -B "$1" -DORVANE_HARDEN="$2" -DORVANE_BUILD_TESTS=OFF >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$1" -j2 --target $windows_targets >/dev/null
  cmake --install "$1" --prefix "$1/release" --strip >/dev/null
}
build_windows build/bench-windows-plain OFF
build_windows build/bench-windows-hardened ON
cmake --preset bench -B build/bench-plain >/dev/null
cmake --build build/bench-plain -j2 --target orvane_hash_bench >/dev/null
cmake --preset bench -B build/bench-hardened -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" >/dev/null
cmake --build build/bench-hardened -j2 --target orvane_hash_bench >/dev/null

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p')"
state=build/bench-windows-hardened/wine
cmake/wine-session.sh start "$state" >/dev/null
trap 'cmake/wine-session.sh stop "$state" >/dev/null' EXIT
run() { cmake/wine-run.sh "$state" "$@" | tr -d '\r'; }
plain=build/bench-windows-plain
hardened=build/bench-windows-hardened
echo "== start-up, plain launcher against the plain least launcher"
run "$plain/bench/startup_bench.exe" "$plain/release/bin/orvanecmd.exe" "$runs"
echo "== start-up, hardened launcher against the hardened least launcher"
run "$hardened/bench/startup_bench.exe" "$hardened/release/bin/orvanecmd.exe" "$runs"
echo "== start-up, hardened launcher against the plain least launcher"
run "$plain/bench/startup_bench.exe" "$hardened/release/bin/orvanecmd.exe" "$runs"
echo "== Sha1Update under Wine, plain and hardened, alternately"
for round in 1 2 3; do
  printf 'plain    %s: ' "$round"; run "$plain/bin/sha1_speed.exe"
  printf 'hardened %s: ' "$round"; run "$hardened/bin/sha1_speed.exe"
done
for kind in plain hardened; do
  echo "== hash_bench on the host, $kind"
  build/bench-$kind/bin/hash_bench --benchmark_repetitions=6 --benchmark_enable_random_interleaving=true \
    2>/dev/null | sed -n '/^ours \/ OpenSSL/,$p'
done
