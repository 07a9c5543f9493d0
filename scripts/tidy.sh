#!/bin/sh
# Static analysis of the product with clang-tidy: every source of launcher/, framework/
# and support/, and through them the headers of those folders and of seams/, with the
# checks of .clang-tidy. Prints the findings and fails on any.
#
# The compilation database is the windows-clang build's (configured here, not built): it
# compiles every product source, for Windows, with the clang that clang-tidy is made
# from. The host build compiles a subset of the same sources through the same
# preprocessor branches, so it would add no finding of its own.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh tidy
started=$(date +%s)
cmake --preset windows-clang >/dev/null

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
find launcher framework support seams -name '*.cpp' | sort >"$reports/sources"
# One clang-tidy per source, as many at once as there are cores, each into its own
# report so that the reports do not interleave.
# shellcheck disable=SC2016
xargs -P "$(nproc)" -I{} sh -c '
  report="$2/$(echo "$1" | tr / _).log"
  clang-tidy --quiet -p build/windows-clang "$1" >"$report" 2>&1 || echo "$1" >>"$2/failed"
' sh {} "$reports" <"$reports/sources"

while read -r source; do
  grep -Ev '^[0-9]+ (warning|error)s? (and [0-9]+ errors? )?generated\.$' "$reports/$(echo "$source" | tr / _).log" || true
done <"$reports/sources"
seconds=$(($(date +%s) - started))
if [ -s "$reports/failed" ]; then
  echo "clang-tidy: findings in $(tr '\n' ' ' <"$reports/failed")(${seconds} s)"
  exit 1
fi
echo "clang-tidy: no findings in $(wc -l <"$reports/sources") sources (${seconds} s)"
