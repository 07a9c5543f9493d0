#!/bin/sh
# Builds everything and runs the whole test suite: the Windows build under Wine
# (with the slow two-minute run) and the host build with sanitizers and fuzzers.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
status=0
cmake --preset windows
cmake --build --preset windows -j"$jobs"
ctest --preset windows -j3 || status=1
cmake --preset host
cmake --build --preset host -j"$jobs"
ctest --preset host -j"$jobs" || status=1
exit $status
