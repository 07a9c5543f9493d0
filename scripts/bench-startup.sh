#!/bin/sh
# Start-up cost of the released (stripped) orvanecmd.exe against the least launcher,
# under Wine: scripts/bench-startup.sh [preset, default windows] [runs of each, at least 30]
set -eu
cd "$(dirname "$0")/.."
preset=${1:-windows}
runs=${2:-30}
build=build/$preset
# The install below takes the libraries too, so they are built as well.
cmake --build --preset "$preset" -j2 --target orvanecmd orvane_support orvane_ansi_string orvane_startup_bench \
  orvane_least_launcher orvane_start_timer_viewer >/dev/null
cmake --install "$build" --prefix "$build/release" --strip >/dev/null
cmake/wine-session.sh start "$build/wine" >/dev/null
trap 'cmake/wine-session.sh stop "$build/wine" >/dev/null' EXIT
cmake/wine-run.sh "$build/wine" "$build/bench/startup_bench.exe" "$build/release/bin/orvanecmd.exe" "$runs"
