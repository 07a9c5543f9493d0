#!/bin/sh
# Coverage of the product (launcher/, framework/, support/, seams/), measured twice:
# the x64 Windows build with gcov (g++ --coverage at -O0, tests under Wine, the slow
# two-minute launcher run included) and the host build with clang's source-based
# coverage. Writes build/coverage/index.html (per file, lines and branches, one page
# for each build) and build/coverage/summary.txt, and fails when a figure falls below
# its floor here.
set -eu
cd "$(dirname "$0")/.."

# Floors in percent of the product's lines and branches: raise them as tests grow. The
# Windows floors came down from 100 with the answer's way back: the platform's calls
# failing there (no mapping, view, event or process to be had), the races its atomic
# exchanges settle (an answer and a bound running out at once), and a pass-on to a receiver
# of 1.2.0 (not in this build), which no test here reaches.
WINDOWS_LINE_MIN=99.8
WINDOWS_BRANCH_MIN=95.0
HOST_LINE_MIN=99.47
HOST_BRANCH_MIN=97.62

scripts/install-deps.sh coverage
out=build/coverage
windows=build/windows-coverage
host=build/host-coverage
status=0
rm -rf "$out"
mkdir -p "$out/windows" "$out/host"

# ---- Windows x64, gcov ----
cmake --preset windows-coverage
cmake --build "$windows" -j2
# Counts of an earlier run would add up with this one.
find "$windows" -path "$windows/wine" -prune -o -name '*.gcda' -exec rm -f {} +
# The launcher's start-up and exit are counted only in the slow run: the fast tests
# end it with TerminateProcess, which writes no data. It mostly sleeps, so it runs
# beside the other tests (-j3) and the host build.
ctest --test-dir "$windows" -j3 --output-on-failure >"$windows/ctest.log" 2>&1 &
windows_tests=$!
# Should a host step fail, the Windows run still ends (and stops its test session).
trap 'wait $windows_tests || true' EXIT

# ---- host, clang source-based ----
cmake --preset host-coverage
cmake --build "$host" -j2
rm -rf "$host/profiles"
LLVM_PROFILE_FILE="$PWD/$host/profiles/%m-%p.profraw" ctest --test-dir "$host" -j2 --output-on-failure || status=1

wait $windows_tests || {
  cat "$windows/ctest.log"
  status=1
}
trap - EXIT
tail -n 3 "$windows/ctest.log"

# ---- Windows report ----
# Branches g++ invents do not count: throw edges, branches on lines without code of
# their own, and at -O0 the edges of every SSE/AVX/SHA intrinsic and of the vector
# helpers inlined from support/sha1_x86.cpp (lines that call them hold no branch of
# their own). Branch exclusion comments in the sources name the rest and say why.
# The Wine prefix links z: to /, so gcovr must not walk into it.
intrinsic_lines='.*\b(_mm(256)?_[a-z0-9_]+|Rotl(128|256)|(Load|Early|Late)Words[A-Za-z0-9]*|StoreWk(128|256)|Rounds4<[0-3]>|(Load|Store)State)\('
gcovr --root . --gcov-executable x86_64-w64-mingw32-gcov \
  --filter '(launcher|framework|support|seams)/' --exclude-directories "$windows/wine" \
  --exclude-throw-branches --exclude-unreachable-branches --exclude-branches-by-pattern "$intrinsic_lines" \
  --json "$out/windows.json" "$windows"
gcovr --root . -a "$out/windows.json" --html-details "$out/windows/index.html" \
  --html-title "orvanecmd coverage: Windows x64 (g++, gcov)"
gcovr --root . -a "$out/windows.json" --txt "$out/windows-lines.txt"
gcovr --root . -a "$out/windows.json" --txt "$out/windows-branches.txt" --branches
gcovr --root . -a "$out/windows.json" --fail-under-line "$WINDOWS_LINE_MIN" \
  --fail-under-branch "$WINDOWS_BRANCH_MIN" --print-summary >"$out/windows-total.txt" || {
  echo "Windows coverage below the floor (lines $WINDOWS_LINE_MIN%, branches $WINDOWS_BRANCH_MIN%)" >&2
  status=1
}

# ---- host report ----
llvm-profdata-14 merge -sparse -o "$host/all.profdata" "$host"/profiles/*.profraw
objects=""
for program in "$host"/bin/*; do objects="$objects -object $program"; done
# Only the product's own sources: everything below the checkout but tests/ and the build.
product="--ignore-filename-regex=^/usr/|/(tests|build|bench|tools|consumer)/"
# shellcheck disable=SC2086
llvm-cov-14 report -instr-profile "$host/all.profdata" $objects "$product" >"$out/host.txt"
# shellcheck disable=SC2086
llvm-cov-14 show -format=html -show-branches=count -instr-profile "$host/all.profdata" $objects "$product" \
  -output-dir "$out/host" -project-title "orvanecmd coverage: host (clang, source-based)"
host_total=$(awk '$1 == "TOTAL" { print $10, $13 }' "$out/host.txt")

{
  echo "Windows x64 (g++, gcov; throw edges and marked lines left out)"
  cat "$out/windows-total.txt" "$out/windows-lines.txt" "$out/windows-branches.txt"
  echo
  echo "Host (clang, source-based; exclusion comments do not apply)"
  cat "$out/host.txt"
} >"$out/summary.txt"
cat >"$out/index.html" <<EOF
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>orvanecmd coverage</title></head><body>
<h1>orvanecmd coverage</h1>
<ul>
<li><a href="windows/index.html">Windows x64, g++ and gcov</a> (per file, lines and branches)</li>
<li><a href="host/index.html">Host, clang source-based</a> (per file, lines, regions and branches)</li>
<li><a href="summary.txt">Text summary</a></li>
</ul>
<pre>$(sed 's/&/\&amp;/g; s/</\&lt;/g' "$out/summary.txt")</pre>
</body></html>
EOF
cat "$out/windows-total.txt"
echo "host: lines and branches ${host_total}"
set -- $host_total
if ! awk -v l="${1%\%}" -v b="${2%\%}" -v lm="$HOST_LINE_MIN" -v bm="$HOST_BRANCH_MIN" \
  'BEGIN { exit !(l + 0 >= lm && b + 0 >= bm) }'; then
  echo "host coverage below the floor (lines $HOST_LINE_MIN%, branches $HOST_BRANCH_MIN%)" >&2
  status=1
fi
echo "Report: $out/index.html"
exit $status
