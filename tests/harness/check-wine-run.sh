#!/bin/sh
# Shows that a Windows test program that goes wrong fails its CTest run, whatever
# status Wine hands back: check-wine-run.sh <source folder> <state folder> <crash_probe.exe>
set -u
run_script=$1/cmake/wine-run.sh
state=$2
probe=$3
failures=0
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# expect <passes|fails> <what the output must hold> <wine-run.sh options and probe test>
expect() {
  outcome=$1 needle=$2
  shift 2
  status=0
  "$run_script" "$@" >"$out" 2>&1 || status=$?
  if { [ "$outcome" = passes ] && [ $status -ne 0 ]; } || { [ "$outcome" = fails ] && [ $status -eq 0 ]; } ||
    ! tr -d '\r' <"$out" | grep -q "$needle"; then
    echo "FAILED: $* should have $outcome with \"$needle\" in its output (status $status):"
    tail -n 20 "$out"
    failures=$((failures + 1))
  else
    echo "ok: $* $outcome (status $status)"
  fi
}

disabled=--gtest_also_run_disabled_tests
# The crash report alone: the status itself is not 0, also without the summary check.
expect fails "unhandled exception 0xc0000005" "$state" "$probe" $disabled --gtest_filter=Probe.DISABLED_CrashAlone
expect fails "unhandled exception 0xc0000005" "$state" "$probe" $disabled --gtest_filter=Probe.DISABLED_CrashAfterChild
# The checks on the output (standard error too), for a crash that Wine's debugger ends,
# one reported on standard error alone after the summary, and for an early exit.
expect fails "crashed" --gtest "$state" "$probe" $disabled --gtest_filter=Probe.DISABLED_CrashUnreportedAfterChild
expect fails "crashed" --gtest "$state" "$probe" $disabled --gtest_filter=Probe.DISABLED_CrashReportedOnStandardErrorAfterSummary
expect fails "summary" --gtest "$state" "$probe" $disabled --gtest_filter=Probe.DISABLED_EndsInTheMiddle
expect fails "summary" --gtest "$state" "$probe" --gtest_filter=NoSuchTest
expect passes "PASSED" --gtest "$state" "$probe" --gtest_filter=Probe.Passes
[ $failures -eq 0 ] && echo "all cases as expected"
exit $failures
