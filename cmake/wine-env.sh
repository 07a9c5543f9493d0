# shellcheck shell=sh
# Sourced by wine-run.sh and wine-session.sh: one private Wine prefix and one
# virtual display per build tree, kept in the state folder $wine_state.
wine_state=$(cd "$wine_state" 2>/dev/null && pwd || echo "$wine_state")
export WINEPREFIX="$wine_state/prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer prompts while the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The prefix is always made by the 64-bit loader: with the 32-bit loader installed as
# well, that gives a WoW64 prefix where 32-bit and 64-bit programs both run.
WINE=/usr/lib/wine/wine64
# shellcheck disable=SC2034  # used by wine-session.sh
WINESERVER=/usr/lib/wine/wineserver
if [ -s "$wine_state/display" ]; then
  DISPLAY=":$(cat "$wine_state/display")"
  export DISPLAY
fi

# The loader that fits a program: /usr/lib/wine/wine for a 32-bit one (PE machine
# 0x14c), /usr/lib/wine/wine64 for anything else.
wine_loader_for() {
  if [ -f "$1" ]; then
    pe_offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    machine=$(od -An -tx2 -j$((${pe_offset:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
    if [ "$machine" = "014c" ]; then
      echo /usr/lib/wine/wine
      return
    fi
  fi
  echo "$WINE"
}
