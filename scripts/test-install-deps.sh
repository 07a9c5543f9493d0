#!/bin/sh
# Checks scripts/install-deps.sh against stand-ins for apt-get, dpkg and dpkg-query that
# play a machine whose mirror fails in the ways seen: an index of another architecture
# that never matches its signed Release, a mirror mid-sync that mends after one pause,
# and a package that cannot be had at all. Nothing is installed for real.
set -eu
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "install-deps check FAILED: $*" >&2
  exit 1
}
mkdir "$work/bin"
# The stand-ins keep the installed packages in $STATE/installed and every call in $STATE/calls.
# $STATE/mode says how the mirror behaves:
#   foreign-index  update fails on an i386 index; every package installs
#   mid-sync       update and install fail until the second update
#   lost           update fails; wine64 has no candidate, the rest install
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/sh
echo "apt-get $*" >>"$STATE/calls"
mode=$(cat "$STATE/mode")
for word; do last=$word; done
case " $* " in
  *" update "*)
    echo x >>"$STATE/updates"
    [ "$mode" = mid-sync ] && [ "$(wc -l <"$STATE/updates")" -ge 2 ] && exit 0
    echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  *" -s "*)
    [ "$mode" = lost ] && [ "$last" = wine64 ] && { echo "E: Package 'wine64' has no installation candidate"; exit 100; }
    exit 0 ;;
  *" install "*)
    [ "$mode" = mid-sync ] && [ "$(wc -l <"$STATE/updates")" -lt 2 ] && { echo "E: Unable to fetch some archives"; exit 100; }
    if [ "$mode" = lost ]; then
      case " $* " in *" wine64 "*) echo "E: Package 'wine64' has no installation candidate"; exit 100 ;; esac
    fi
    shift 4  # -o Acquire::Retries=3 install -y
    for word; do [ "$word" = --no-install-recommends ] || echo "$word" >>"$STATE/installed"; done
    exit 0 ;;
esac
exit 0
EOF
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for word; do last=$word; done
grep -qx "$last" "$STATE/installed" 2>/dev/null && printf 'install ok installed' && exit 0
exit 1
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/bin/sh
echo "dpkg $*" >>"$STATE/calls"
EOF
chmod +x "$work/bin/"*

run() {  # run MODE: install-deps.sh windows with the stand-ins; its status in $status
  STATE=$work/$1
  mkdir "$STATE"
  echo "$1" >"$STATE/mode"
  status=0
  STATE=$STATE PATH="$work/bin:$PATH" ORVANE_APT_PAUSES="0 0" scripts/install-deps.sh windows \
    >"$STATE/out" 2>&1 || status=$?
}
expect_all_installed() {
  for package in cmake make g++-mingw-w64-x86-64-posix wine64 xvfb xauth googletest; do
    grep -qx "$package" "$STATE/installed" || fail "$1: $package was not installed"
  done
}

run foreign-index
[ "$status" -eq 0 ] || { cat "$STATE/out"; fail "a failing index of another architecture stopped the install"; }
expect_all_installed foreign-index
grep -q 'add-architecture' "$STATE/calls" && fail "install-deps added a foreign architecture"
grep -q ':i386' "$STATE/calls" && fail "install-deps asked for an i386 package"
echo "an index that no package needs failing: installed, no foreign architecture added"

run mid-sync
[ "$status" -eq 0 ] || { cat "$STATE/out"; fail "a mirror mid-sync that mends after a pause failed the install"; }
expect_all_installed mid-sync
echo "a mirror mid-sync: installed at the second try"

run lost
[ "$status" -ne 0 ] || { cat "$STATE/out"; fail "install-deps succeeded though wine64 could not be installed"; }
grep -qx 'install-deps: cannot install wine64' "$STATE/out" ||
  { cat "$STATE/out"; fail "install-deps did not name the package it could not install (wine64 alone)"; }
grep -q '^  http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz$' "$STATE/out" ||
  { cat "$STATE/out"; fail "install-deps did not name the index it could not fetch"; }
[ "$(grep -c ' update' "$STATE/calls")" -eq 3 ] || fail "install-deps did not try three times (two pauses)"
echo "a package that cannot be had: failed with status $status, naming it and the index"
echo "install-deps check passed"
