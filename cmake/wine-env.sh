# Sourced by wine-run.sh and wine-session.sh: one private Wine prefix and one
# virtual display per build tree, kept in the state folder $wine_state.
wine_state=$(cd "$wine_state" 2>/dev/null && pwd || echo "$wine_state")
export WINEPREFIX="$wine_state/prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer prompts while the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
if [ -s "$wine_state/display" ]; then
  export DISPLAY=":$(cat "$wine_state/display")"
fi
