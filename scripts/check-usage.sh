#!/bin/sh
# Checks that a release is used as the README says (run by scripts/test-release.sh):
#   scripts/check-usage.sh RELEASE_DIR
# RELEASE_DIR holds a release of scripts/release.sh: the zips, the source archive and
# SHA256SUMS.
# - The README's "Using the library" section, as written: a code block marked
#   <!-- file: PATH --> becomes PATH, one marked <!-- output: PATH --> is what PATH must
#   hold at the end, and the sh blocks are the commands, run in order in one shell, in a
#   fresh folder that is also HOME, with the release's files in ~/orvanecmd-<version>.
#   A block of any other kind fails the check. Every program the section built (the
#   CMake package of the zip, FetchContent from the source archive, pkg-config) runs
#   under Wine and must print the section's output.
# - Taken in with FetchContent, the library's project built its libraries and nothing
#   else, and wrote nothing into the parent's build folder but its own subfolders.
# - consumer/subproject/, a parent with its own GoogleTest, its own target named receiver,
#   its own test and install rule, in C++14, takes the unpacked source archive in with
#   add_subdirectory: only the libraries are built, the parent's tests and install hold
#   only its own, its program runs under Wine, and it configures with every part of the
#   library's project asked for; built for this machine without a GoogleTest of its own,
#   our tests take the installed one.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
export LC_ALL=C
[ $# -eq 1 ] || { echo "usage: $0 RELEASE_DIR" >&2; exit 2; }
release=$(cd "$1" && pwd)
version=$(sed -n 's/^project(orvanecmd VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
work=$root/build/release/usage
rm -rf "$work"
mkdir -p "$work/home" "$work/blocks"
fail() {
  echo "usage check FAILED: $*" >&2
  exit 1
}
# logged LOG WHAT COMMAND...: COMMAND's output goes to LOG, shown when it fails with WHAT.
logged() {
  log=$1 what=$2
  shift 2
  "$@" >>"$log" 2>&1 || { cat "$log"; fail "$what"; }
}
started=$(date +%s)
step() {  # step WHAT: one line with the time since the last step
  now=$(date +%s)
  echo "$1 ($((now - started)) s)"
  started=$now
}

# The section's code blocks, in order, each in its own file; blocks/index says what each is.
awk -v blocks="$work/blocks" '
  /^## / { inside = ($0 == "## Using the library"); next }
  !inside { next }
  /^<!-- (file|output): [^ ]+ -->$/ && !fenced { mark = $2 " " $3; sub(/:/, "", mark); next }
  /^```/ && !fenced {
    fenced = 1
    n++
    kind = mark != "" ? mark : "code " substr($0, 4)
    printf "%02d %s\n", n, kind >(blocks "/index")
    printf "" >(blocks "/" sprintf("%02d", n))
    next
  }
  /^```$/ && fenced { fenced = 0; mark = ""; next }
  fenced { print >>(blocks "/" sprintf("%02d", n)) }
' README.md
[ -s "$work/blocks/index" ] || fail "the README has no \"Using the library\" section with code blocks"
outputs=""
while read -r number kind path; do
  case "$kind $path" in
    "file "?*)
      mkdir -p "$(dirname "$work/$path")"
      cp "$work/blocks/$number" "$work/$path"
      ;;
    "output "?*) outputs="$outputs $number:$path" ;;
    "code sh") cat "$work/blocks/$number" >>"$work/commands.sh" ;;
    *) fail "block $number of \"Using the library\" is neither a file, an output nor sh commands ($kind $path)" ;;
  esac
done <"$work/blocks/index"
[ -n "$outputs" ] || fail "the section shows no output to compare"

mkdir "$work/home/orvanecmd-$version"
cp "$release"/orvanecmd-*.zip "$release"/orvanecmd-*-src.tar.gz "$release/SHA256SUMS" "$work/home/orvanecmd-$version/"
state=$root/build/release/wine
cmake/wine-session.sh start "$state" >/dev/null
trap 'cmake/wine-session.sh stop "$state" >/dev/null' EXIT
# The session's prefix and display for the section's own Wine commands too.
# shellcheck disable=SC2034 # read by wine-env.sh
wine_state=$state
# shellcheck source=cmake/wine-env.sh
. cmake/wine-env.sh
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES DISPLAY
step "the section's $(wc -l <"$work/blocks/index") blocks extracted; the Wine session started"
if ! (cd "$work" && HOME=$work/home timeout 600 sh -eu commands.sh) >"$work/commands.log" 2>&1; then
  tail -n 30 "$work/commands.log"
  fail "the commands of \"Using the library\" failed (all of the log: $work/commands.log)"
fi
step "the commands of \"Using the library\" ran as written"
for output in $outputs; do
  path=${output#*:}
  tr -d '\r' <"$work/$path" | diff "$work/blocks/${output%%:*}" - ||
    fail "$path is not the output the section shows"
done
expected=$work/blocks/${outputs# }
expected=${expected%%:*}

# The other builds of the section's program run as the first one did.
run_app() {  # run_app EXE
  out=$work/run-$(echo "$1" | tr / _).txt
  "$WINE" "$work/$1" >"$out" &
  first=$!
  tries=0
  until grep -qs ready "$out"; do
    tries=$((tries + 1))
    [ $tries -le 300 ] || { kill $first; fail "$1 did not say ready"; }
    sleep 0.2
  done
  if ! "$WINE" "$work/$1" hello || ! "$WINE" "$work/$1" quit; then
    fail "$1 as a later instance"
  fi
  wait $first || fail "$1, the first instance, ended with $?"
  tr -d '\r' <"$out" | cmp -s - "$expected" || { cat "$out"; fail "$1 did not print the section's output"; }
}
for exe in app/build/app.exe app/build-fetch/app.exe app/app-pc.exe; do
  [ -f "$work/$exe" ] || fail "the section made no $exe"
  run_app "$exe"
done
step "its three builds of the program ran under Wine and printed the section's output"

# The package came from the zip; the source archive only where it was asked for.
[ ! -e "$work/app/build/_deps/orvanecmd-src" ] || fail "the find_package build fetched the sources"
grep -qF "$work/home/orvanecmd-$version/orvanecmd-$version-win64/lib/liborvane_support.a" \
  "$work/app/build/CMakeFiles/app.dir/linkLibs.rsp" || fail "the find_package build did not link the zip's library"
[ -f "$work/app/build-fetch/_deps/orvanecmd-src/CMakeLists.txt" ] || fail "the FetchContent build fetched nothing"

# listing FOLDER: the names in a folder, on one line.
listing() { find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | tr '\n' ' '; }
# built FOLDER: the programs and static libraries a build made, outside CMake's own files.
built() { (cd "$1" && find . -path '*/CMakeFiles' -prune -o \( -name '*.exe' -o -name '*.a' \) -print | sort | tr '\n' ' '); }
libraries="liborvane_ansi_string.a liborvane_stack_guard.a liborvane_support.a"
[ "$(built "$work/app/build-fetch")" = "./_deps/orvanecmd-build/framework/liborvane_ansi_string.a ./_deps/orvanecmd-build/launcher/liborvane_stack_guard.a ./_deps/orvanecmd-build/support/liborvane_support.a ./app.exe " ] ||
  fail "the FetchContent build made more than its program and the libraries: $(built "$work/app/build-fetch")"
[ "$(listing "$work/app/build-fetch")" = "CMakeCache.txt CMakeFiles Makefile _deps app.exe cmake_install.cmake " ] ||
  fail "the FetchContent build wrote into the parent's build folder: $(listing "$work/app/build-fetch")"
step "FetchContent built only $libraries, beside the parent's program"

# The parent of its own, on the unpacked source archive.
mkdir "$work/src"
tar -xzf "$release/orvanecmd-$version-src.tar.gz" -C "$work/src"
toolchain=$root/cmake/mingw-w64-x86_64.cmake
parent=$work/subproject
logged "$work/subproject.log" "the parent with add_subdirectory did not configure" \
  cmake -S consumer/subproject -B "$parent" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DORVANECMD_SOURCE_DIR="$work/src/orvanecmd-$version"
logged "$work/subproject.log" "the parent with add_subdirectory did not build" cmake --build "$parent" -j2
[ "$(built "$parent")" = "./orvanecmd/framework/liborvane_ansi_string.a ./orvanecmd/launcher/liborvane_stack_guard.a ./orvanecmd/support/liborvane_support.a ./receiver.exe " ] ||
  fail "the parent with add_subdirectory built more than its program and the libraries: $(built "$parent")"
targets=$(cmake --build "$parent" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p' |
  grep -Ev '^(all|clean|depend|edit_cache|rebuild_cache|install.*|list_install_components|test)$|\.' | sort | tr '\n' ' ')
[ "$targets" = "gmock gmock_main gtest gtest_main orvane_ansi_string orvane_stack_guard orvane_support receiver " ] ||
  fail "the parent's build has targets other than its own and the libraries: $targets"
# bin/ and lib/ are the output folders of the parent's GoogleTest.
[ "$(listing "$parent")" = "CMakeCache.txt CMakeFiles CTestTestfile.cmake Makefile bin cmake_install.cmake googletest lib orvanecmd receiver.exe " ] ||
  fail "the library wrote into the parent's build folder: $(listing "$parent")"
tests=$(ctest --test-dir "$parent" -N | sed -n 's/^ *Test *#[0-9]*: //p' | tr '\n' ' ')
[ "$tests" = "parent_test " ] || fail "the parent's tests are not its own only: $tests"
cmake --install "$parent" --prefix "$work/subproject-install" >/dev/null
installed=$(cd "$work/subproject-install" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./bin/receiver.exe " ] || fail "the parent's install holds more than its own: $installed"
wanted=$(printf abc | sha1sum | cut -d' ' -f1)
[ "$("$WINE" "$parent/receiver.exe" abc | tr -d '\r')" = "$wanted" ] || fail "the parent's program did not print $wanted"
step "add_subdirectory in a parent of its own: only $libraries built; its program ran under Wine; its tests, install and build folder its own"
logged "$work/subproject-everything.log" "the parent did not configure with every part of the library asked for" \
  cmake -S consumer/subproject -B "$parent-everything" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DORVANECMD_SOURCE_DIR="$work/src/orvanecmd-$version" -DORVANE_BUILD_TESTS=ON -DORVANE_BUILD_TOOLS=ON \
  -DORVANE_BUILD_LAUNCHER=ON -DORVANE_BENCHMARKS=ON -DORVANE_INSTALL=ON
step "the same parent configures with every part of the library's project asked for"
# Built for this machine, a parent without a GoogleTest of its own gives our tests the
# installed one (Debian's libgtest-dev): we make no GoogleTest target.
logged "$work/subproject-host.log" "the parent for this machine did not configure with our tests" \
  cmake -S consumer/subproject -B "$parent-host" -DORVANECMD_SOURCE_DIR="$work/src/orvanecmd-$version" \
  -DPARENT_GOOGLETEST=OFF -DORVANE_BUILD_TESTS=ON
! cmake --build "$parent-host" --target help | grep -Eq '^\.\.\. (gtest|gmock)' ||
  fail "with an installed GoogleTest, our tests built one of their own"
step "for this machine, our tests take the installed GoogleTest"
echo "usage check passed: the README's \"Using the library\" and the library as a subproject"
