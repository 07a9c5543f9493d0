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

# expect <passes|fails|crashes> <what the output must hold> <wine-run.sh options and probe test>
# A run that crashes fails, and its test has started but neither passed nor failed: it
# did not end in an assertion of its own (a child that could not be started, say).
expect() {
  outcome=$1 needle=$2
  shift 2
  status=0
  "$run_script" "$@" >"$out" 2>&1 || status=$?
  tr -d '\r' <"$out" >"$out.text" && mv "$out.text" "$out"
  if { [ "$outcome" = passes ] && [ $status -ne 0 ]; } || { [ "$outcome" != passes ] && [ $status -eq 0 ]; } ||
    ! grep -q "$needle" "$out" ||
    { [ "$outcome" = crashes ] && grep -q '^\[ *\(OK\|FAILED\) *\] Probe\.' "$out"; }; then
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
# Through wine-run.sh --gtest, as CTest runs every test program, that status fails the run.
expect fails "unhandled exception 0xc0000005" --gtest "$state" "$probe" $disabled --gtest_filter=Probe.DISABLED_CrashAfterChild
# A crash without the report: Wine 8's debugger ends the process from outside with
# status 0 and prints the crash, which wine-run.sh turns into a failure; Wine 10 ends
# it with status 5 (the low byte of the access violation's code) and prints nothing.
# Either way the run must fail, in the middle of its test.
expect crashes "^\[ RUN  *\] Probe.DISABLED_CrashUnreportedAfterChild" --gtest "$state" "$probe" $disabled \
  --gtest_filter=Probe.DISABLED_CrashUnreportedAfterChild
# The same after the summary: the test passed, and the run fails all the same.
expect fails "^\[  PASSED  \] 1 test" --gtest "$state" "$probe" $disabled \
  --gtest_filter=Probe.DISABLED_CrashUnreportedAfterSummary
# The checks on the output (standard error too), for a crash reported on standard error
# alone after the summary, ended with status 0 on every Wine, and for an early exit.
expect fails "crashed" --gtest "$state" "$probe" $disabled --gtest_filter=Probe.DISABLED_CrashReportedOnStandardErrorAfterSummary
expect fails "summary" --gtest "$state" "$probe" $disabled --gtest_filter=Probe.DISABLED_EndsInTheMiddle
expect fails "summary" --gtest "$state" "$probe" --gtest_filter=NoSuchTest
expect passes "PASSED" --gtest "$state" "$probe" --gtest_filter=Probe.Passes
[ $failures -eq 0 ] && echo "all cases as expected"
exit $failures
