#!/bin/sh
# Builds everything and runs the whole test suite: the three Windows builds under Wine
# (x64 g++ with the slow two-minute run and x64 clang on this machine's Wine 8; x86 g++,
# with the hand-offs across bitness, on Wine 10 in the Debian 13 root of
# scripts/test-wine10.sh, which has the 32-bit loader), the x64 build's tests once more
# on Wine 10, the install script against a failing mirror, the release
# (reproducible, hardened, signed; its zips checked by building a caller against them,
# the README's "Using the library" run as written, the library taken in as a
# subproject), and the host build with sanitizers and fuzzers, its slow tests (the texts
# and names of more than 2 and 4 GiB) included.
# shellcheck disable=SC2317  # the stop functions run from the EXIT trap
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
status=0
# The steps that failed, named again at the very end, where a log's tail shows them.
failed=
mkdir -p build && touch build/.test-started
step() {
  name=$1; shift
  "$@" || { status=1; failed="$failed
  $name"; }
}
# The Debian 13 root for Wine 10 is made (the first time) or checked while the builds go on.
# Once that has been tried, no later step tries again: without the root, each step that
# needs it fails at once and says why.
mkdir -p build/windows-wine10
setsid scripts/test-wine10.sh prepare >build/windows-wine10/prepare.log 2>&1 &
wine10_prepare=$!
wine10_tests=
wine10_ready() {
  [ -n "$wine10_prepare" ] || return "$wine10_prepared"
  wine10_prepared=0
  wait "$wine10_prepare" || wine10_prepared=$?
  wine10_prepare=
  export ORVANE_WINE10_MAKE=no
  cat build/windows-wine10/prepare.log
  return "$wine10_prepared"
}
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
# The host's slow tests, started once the host build is made, are stopped too, with
# the test program that runs (ctest runs in a process group of its own).
host_slow_tests=
# clang-tidy, in the background from the release test on, likewise.
tidy=
# The Wine 10 run ends with its process group: its namespaces take its Wine session
# and mounts with them.
stop_background_tests() {
  [ -z "$host_slow_tests" ] || kill -- "-$host_slow_tests" 2>/dev/null || true
  [ -z "$tidy" ] || kill -- "-$tidy" 2>/dev/null || true
  for job in $wine10_prepare $wine10_tests; do
    kill -- "-$job" 2>/dev/null || true
  done
  stop_windows_tests
}
trap stop_background_tests EXIT
trap 'exit 1' INT TERM
for preset in windows-x86 windows-clang host; do
  cmake --preset $preset
  cmake --build --preset $preset -j"$jobs"
done
# The host's slow tests, with the sanitizers, go on beside the Windows tests and the
# release test; they end before the host's other tests run in the same build folder.
setsid ctest --test-dir build/host -L slow --output-on-failure >build/host/ctest-slow.log 2>&1 &
host_slow_tests=$!
wine10_result() {
  [ -n "$wine10_tests" ] || { echo "x64 Windows tests on Wine 10: not run, the Debian 13 root could not be made" >&2; return 1; }
  wine10_status=0
  wait "$wine10_tests" || wine10_status=$?
  wine10_tests=
  cat build/windows-wine10/ctest.log
  return "$wine10_status"
}
step "install script against a failing mirror" scripts/test-install-deps.sh
step "clang Windows tests" ctest --preset windows-clang -j3
# The x86 tests run on Wine 10 in the root, beside the x64 tests on this machine's Wine.
x86_tests() {
  wine10_ready || { echo "x86 Windows tests: not run, the Debian 13 root with Wine 10 could not be made" >&2; return 1; }
  scripts/test-wine10.sh build/windows-x86 -j3 -LE slow --output-on-failure
}
step "x86 Windows tests (Wine 10)" x86_tests
step "x64 Windows tests" wait $windows_tests
windows_tests=
cat build/windows/ctest.log
# The x64 tests on Wine 10 go on beside the release test, once the other Windows tests
# have ended: on a busy machine their hand-off tests come close to their time limit.
if wine10_ready; then
  setsid scripts/test-wine10.sh build/windows -j3 --output-on-failure >build/windows-wine10/ctest.log 2>&1 &
  wine10_tests=$!
fi
# clang-tidy has no time limit: at the lowest priority, beside the release test, it
# takes only the processor time that the other steps leave, instead of two cores for
# half a minute of its own. It configures build/windows-clang, whose tests have ended.
setsid nice -n 19 scripts/tidy.sh >build/tidy.log 2>&1 &
tidy=$!
tidy_result() {
  tidy_status=0
  wait "$tidy" || tidy_status=$?
  tidy=
  cat build/tidy.log
  return "$tidy_status"
}
step "release test" scripts/test-release.sh
step "host slow tests" wait $host_slow_tests
host_slow_tests=
cat build/host/ctest-slow.log
step "host tests" ctest --preset host -j"$jobs"
step "x64 Windows tests on Wine 10" wine10_result
step "clang-tidy" tidy_result
step "coverage" scripts/coverage.sh
if [ $status -ne 0 ]; then
  echo "FAILED steps:$failed" >&2
  for log in build/*/Testing/Temporary/LastTestsFailed.log; do
    if [ -n "$(find "$log" -newer build/.test-started)" ]; then
      echo "  failed in ${log%%/Testing/*}: $(cut -d: -f2 "$log" | tr '\n' ' ')" >&2
    fi
  done
else
  echo "All steps passed."
fi
exit $status
