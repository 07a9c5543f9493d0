#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh [--gtest] <state folder> <program.exe> [args...]
# A 32-bit program is started with the 32-bit loader, a 64-bit one with wine64.
# With --gtest (how CTest runs every GoogleTest program), the run also fails when Wine
# reports an unhandled exception, or when the summary does not say that every test
# that ran passed (or was skipped), whatever the exit status: a crashed process can
# reach the Unix side with status 0 under Wine.
gtest=no
if [ "${1:-}" = "--gtest" ]; then
  gtest=yes
  shift
fi
# shellcheck disable=SC2034  # read by wine-env.sh
wine_state=$1
shift
# Wine makes the prefix, but not the folders above it: a build folder that no test
# session has used yet (a caller's, with a toolchain file of the zip) gets its state
# folder here.
mkdir -p "$wine_state"
# shellcheck source-path=SCRIPTDIR source=wine-env.sh
. "$(dirname "$0")/wine-env.sh"
loader=$(wine_loader_for "$1")
[ $gtest = yes ] || exec "$loader" "$@"

log=$(mktemp)
trap 'rm -f "$log" "$log.status"' EXIT
{
  status=0
  "$loader" "$@" 2>&1 || status=$?
  echo $status >"$log.status"
} | tee "$log"
status=$(cat "$log.status")
tr -d '\r' <"$log" >"$log.text" && mv "$log.text" "$log"
if [ "$status" -ne 0 ]; then
  # With WINEDEBUG=-all a loader that fails before the program starts may print nothing.
  [ -s "$log" ] || echo "wine-run: ${1##*/} ended with status $status and printed nothing" >&2
  exit "$status"
fi

program=${1##*/}
if grep -Eq '^wine: Unhandled|^Unhandled exception|^unhandled exception 0x' "$log"; then
  echo "wine-run: $program crashed (an unhandled exception), although it ended with status 0" >&2
  exit 1
fi
ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$log")
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log")
skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$log")
if [ -z "$ran" ] || [ -z "$passed" ] || grep -q '^\[  FAILED  \]' "$log" ||
  [ "$ran" -eq 0 ] || [ $((passed + ${skipped:-0})) -ne "$ran" ]; then
  echo "wine-run: $program ended with status 0, but its summary does not say that all of its ${ran:-?} tests passed" >&2
  exit 1
fi
