#!/bin/sh
# CTest's emulator for Windows programs: wine-run.sh <state folder> <program.exe> [args...]
wine_state=$1
shift
. "$(dirname "$0")/wine-env.sh"
exec "$WINE" "$@"
