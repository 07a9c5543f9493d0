#!/bin/sh
# Builds orvanecmd.exe and the stand-in viewer, then runs the launcher under Wine from
# the stand-ins folder (the viewer is found in the current folder):
#   scripts/demo.sh                    with the built-in argument text
#   scripts/demo.sh '<argument text>'  with yours (14 prefix bytes, then the viewer's parameters)
# It prints what the viewer received, follows the 120 s linger and prints the exit status.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh windows
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target orvanecmd orvane_viewer orvane_demo
state=build/windows/wine
cmake/wine-session.sh start "$state"
trap 'cmake/wine-session.sh stop "$state" >/dev/null' EXIT
if [ $# -gt 0 ]; then
  cmake/wine-run.sh "$state" build/windows/standins/orvane-demo.exe "$1"
else
  cmake/wine-run.sh "$state" build/windows/standins/orvane-demo.exe
fi
