#!/bin/sh
# Builds everything and runs the whole test suite: the three Windows builds under Wine
# (x64 g++ with the slow two-minute run, x86 g++ with the hand-offs across bitness,
# x64 clang), the release (reproducible, hardened, signed; its zips checked by building a
# caller against them), and the host build with sanitizers and fuzzers.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
status=0
cmake --preset windows
cmake --build --preset windows -j"$jobs"
# The x64 tests, with the slow two-minute run, go on while the other builds are made;
# the x86 build's cross-bitness test then finds the x64 programs built.
ctest --preset windows -j3 >build/windows/ctest.log 2>&1 &
windows_tests=$!
# Should a later step fail, that run is stopped with its Wine session and its log shown.
stop_windows_tests() {
  [ -n "$windows_tests" ] && kill -0 "$windows_tests" 2>/dev/null || return 0
  kill "$windows_tests" 2>/dev/null || true
  wait "$windows_tests" 2>/dev/null || true
  cmake/wine-session.sh stop build/windows/wine >/dev/null
  echo "A step failed: stopped the x64 test run; its log so far:" >&2
  cat build/windows/ctest.log >&2
}
trap stop_windows_tests EXIT
trap 'exit 1' INT TERM
for preset in windows-x86 windows-clang host; do
  cmake --preset $preset
  cmake --build --preset $preset -j"$jobs"
done
ctest --preset windows-x86 -j3 || status=1
ctest --preset windows-clang -j3 || status=1
wait $windows_tests || status=1
windows_tests=
cat build/windows/ctest.log
scripts/test-release.sh || status=1
ctest --preset host -j"$jobs" || status=1
scripts/tidy.sh || status=1
scripts/coverage.sh || status=1
exit $status
