#!/bin/sh
# CTest's emulator for Windows programs: wine-run.sh <state folder> <program.exe> [args...]
# A 32-bit program is started with the 32-bit loader, a 64-bit one with wine64.
wine_state=$1
shift
. "$(dirname "$0")/wine-env.sh"
exec "$(wine_loader_for "$1")" "$@"
