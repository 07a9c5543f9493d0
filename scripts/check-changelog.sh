#!/bin/sh
# Fails unless the newest version in the changelog (its first "## VERSION" heading) is
# the project's version (project(orvanecmd VERSION ...) in CMakeLists.txt, the one
# place the version is kept):
#   scripts/check-changelog.sh [CHANGELOG [CMAKELISTS]]
# Run by scripts/release.sh and by CI (scripts/test-release.sh).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
changelog=${1:-$root/CHANGELOG.md}
cmakelists=${2:-$root/CMakeLists.txt}
[ -f "$changelog" ] || { echo "changelog check FAILED: no $changelog" >&2; exit 1; }
project=$(sed -n 's/^project(orvanecmd VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$cmakelists" | head -n 1)
[ -n "$project" ] || { echo "changelog check FAILED: no project(orvanecmd VERSION ...) in $cmakelists" >&2; exit 1; }
newest=$(sed -n 's/^## \([^ ]*\).*/\1/p' "$changelog" | head -n 1)
if [ "$newest" != "$project" ]; then
  echo "changelog check FAILED: the newest version in $(basename "$changelog") is ${newest:-none}, the project's is $project" >&2
  exit 1
fi
echo "changelog: newest version $newest, the project's"
