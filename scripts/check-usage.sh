#!/bin/sh
# Checks that a release is used as the README says (run by scripts/test-release.sh):
#   scripts/check-usage.sh RELEASE_DIR [PART...]
# RELEASE_DIR holds a release of scripts/release.sh: the zips, the source archive and
# SHA256SUMS (the parts but readme need only the source archive). PART is one of the
# following; all five, in this order, when none is given:
# - readme: the README's "Using the library" section, as written: a code block marked
#   <!-- file: PATH --> becomes PATH, one marked <!-- output: PATH --> is what PATH must
#   hold at the end, byte for byte (marked <!-- output: PATH crlf -->, with Windows line
#   ends: CR LF for each line the block shows), and the sh blocks are the commands, run
#   in order in one shell, in a fresh folder that is also HOME, with the release's files
#   in ~/orvanecmd-<version>. A block of any other kind fails the check. Every program
#   the section built (the CMake package of the zip, FetchContent from the source
#   archive, pkg-config) runs under Wine and must print the section's output. Taken in
#   with FetchContent, the library's project built its libraries and nothing else, and
#   wrote nothing into the parent's build folder but its own subfolders.
# - subproject: consumer/subproject/, a parent with its own GoogleTest, its own target
#   named receiver, its own test and install rule, in C++14, takes the unpacked source
#   archive in with add_subdirectory: only the libraries are built, the parent's tests
#   and install hold only its own, and its program runs under Wine.
# - names: consumer/no_global_names.cpp, a caller with names of its own spelled as the
#   library's that asks for the library's names in orvane:: only (ORVANE_NO_GLOBAL_NAMES),
#   built by a parent that takes the source archive in with FetchContent; it runs under Wine
#   and prints the project's version from support/version.h.
# - everything: the same parent with every ORVANE_* option of the source archive on,
#   with its own GoogleTest and without one (ours then built from the sources): every
#   program and library of ours goes into our own build folder (CMake's file API, read
#   after configuring, names where each target writes), and a few of them, one of each
#   kind, are built there; nothing of ours lands in the parent's build folder.
# - host: built for this machine without a GoogleTest of its own, our tests take the
#   installed one; those of every facility that builds here are there, build and pass
#   (the slow runs left out).
# To prove that the check fails, give it a release whose source archive is broken (the
# release test does, with the everything and host parts).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
export LC_ALL=C
usage() {
  echo "usage: $0 RELEASE_DIR [readme|subproject|names|everything|host]..." >&2
  exit 2
}
[ $# -ge 1 ] || usage
release=$(cd "$1" && pwd)
shift
parts=${*:-readme subproject names everything host}
for part in $parts; do
  case $part in
    readme | subproject | names | everything | host) ;;
    *) usage ;;
  esac
done
asked() { case " $parts " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
version=$(sed -n 's/^project(orvanecmd VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
# One folder per release checked, so that the check of a broken one keeps the other's logs.
work=$root/build/release/usage-$(basename "$release")
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

src=$work/src/orvanecmd-$version
toolchain=$root/cmake/mingw-w64-x86_64.cmake
parent=$work/subproject
# listing FOLDER: the names in a folder, on one line.
listing() { find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | tr '\n' ' '; }
# built FOLDER: the programs and static libraries a build made, outside CMake's own files.
built() { (cd "$1" && find . -path '*/CMakeFiles' -prune -o \( -name '*.exe' -o -name '*.a' \) -print | sort | tr '\n' ' '); }
libraries="liborvane_ansi_string.a liborvane_stack_guard.a liborvane_support.a"

wine_session() {  # the session's prefix and display, for the section's own Wine commands too
  state=$root/build/release/wine
  cmake/wine-session.sh start "$state" >/dev/null
  trap 'cmake/wine-session.sh stop "$state" >/dev/null' EXIT
  # shellcheck disable=SC2034 # read by wine-env.sh
  wine_state=$state
  # shellcheck source=cmake/wine-env.sh
  . cmake/wine-env.sh
  export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES DISPLAY
}

readme() {
  # The section's code blocks, in order, each in its own file; blocks/index says what each is.
  awk -v blocks="$work/blocks" '
    /^## / { inside = ($0 == "## Using the library"); next }
    !inside { next }
    /^<!-- (file|output): [^ ]+( crlf)? -->$/ && !fenced {
      mark = $2 " " $3
      if ($4 == "crlf") mark = mark " crlf"
      sub(/:/, "", mark)
      next
    }
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
  while read -r number kind path ends; do
    case "$kind $path" in
      "file "?*)
        mkdir -p "$(dirname "$work/$path")"
        cp "$work/blocks/$number" "$work/$path"
        ;;
      "output "?*)
        # What the file must hold, byte for byte: the block's lines, each ended by CR LF
        # where the README says so.
        if [ "$ends" = crlf ]; then
          sed 's/$/\r/' "$work/blocks/$number" >"$work/blocks/$number.expected"
        else
          cp "$work/blocks/$number" "$work/blocks/$number.expected"
        fi
        outputs="$outputs $number:$path"
        ;;
      "code sh")
        cat "$work/blocks/$number" >>"$work/commands.sh"
        # The block that runs the program under Wine, for the other builds of it.
        if grep -q 'first\.txt' "$work/blocks/$number"; then wine_block=$work/blocks/$number; fi
        ;;
      *) fail "block $number of \"Using the library\" is neither a file, an output nor sh commands ($kind $path)" ;;
    esac
  done <"$work/blocks/index"
  [ -n "$outputs" ] || fail "the section shows no output to compare"

  mkdir "$work/home/orvanecmd-$version"
  cp "$release"/orvanecmd-*.zip "$release"/orvanecmd-*-src.tar.gz "$release/SHA256SUMS" "$work/home/orvanecmd-$version/"
  step "the section's $(wc -l <"$work/blocks/index") blocks extracted"
  # As on a machine without a desktop: the section makes its own display.
  if ! (cd "$work" && unset DISPLAY && HOME=$work/home timeout 600 sh -eu commands.sh) >"$work/commands.log" 2>&1; then
    tail -n 30 "$work/commands.log"
    fail "the commands of \"Using the library\" failed (all of the log: $work/commands.log)"
  fi
  step "the commands of \"Using the library\" ran as written"
  for output in $outputs; do
    path=${output#*:}
    if ! cmp -s "$work/blocks/${output%%:*}.expected" "$work/$path"; then
      od -c "$work/$path" | head -n 20
      if tr -d '\r' <"$work/$path" | cmp -s - "$work/blocks/${output%%:*}"; then
        fail "$path holds the output the section shows, but with other line ends than it says"
      fi
      fail "$path is not the output the section shows"
    fi
  done
  expected=$work/blocks/${outputs# }
  expected=${expected%%:*}.expected

  # The other builds of the section's program run as the first one did: the section's
  # Wine block again, with the program and its output file replaced.
  [ -n "${wine_block:-}" ] || fail "the section has no block that runs the program into first.txt"
  run_app() {  # run_app EXE
    out=run-$(echo "$1" | tr / _).txt
    sed -e "s|app/build/app\.exe|$1|g" -e "s|first\.txt|$out|g" "$wine_block" >"$work/run-app.sh"
    if ! (cd "$work" && unset DISPLAY && HOME=$work/home timeout 600 sh -eu run-app.sh) >"$work/run-app.log" 2>&1; then
      tail -n 30 "$work/run-app.log"
      fail "$1, run as the section runs its program, failed"
    fi
    cmp -s "$work/$out" "$expected" || { od -c "$work/$out" | head -n 20; fail "$1 did not print the section's output"; }
  }
  for exe in app/build/app.exe app/build-fetch/app.exe app/app-pc.exe; do
    [ -f "$work/$exe" ] || fail "the section made no $exe"
    run_app "$exe"
  done
  step "its three builds of the program ran under Wine and printed the section's output"

  # What another program sends cannot end the running instance: a missing name of 4,060
  # characters, whose answer passes the 4,096 units an answer holds, is answered with its
  # first 4,096 (and the later instance ends with status 1); a folder and a device are no
  # documents; the running instance then still opens a document, and quits when told.
  cat >"$work/long-name.sh" <<'SCRIPT'
export LC_ALL=C.UTF-8
rm -f long-first.txt long-later.txt commands && mkfifo commands
/usr/lib/wine/wine64 "$1" <commands >long-first.txt &
first=$! && exec 3>commands
seen() {
  tries=0
  until grep -q "$1" long-first.txt; do
    kill -0 $first 2>/dev/null || { echo "the first instance ended" >&2; exit 1; }
    tries=$((tries + 1)) && [ $tries -le 300 ] || { echo "no \"$1\" in 60 s" >&2; exit 1; }
    sleep 0.2
  done
}
seen ready
long=$(head -c 4060 /dev/zero | tr '\0' x)
status=0
/usr/lib/wine/wine64 "$1" --wait "/tmp/app-notes/$long.txt" 2>long-later.txt || status=$?
[ $status -eq 1 ] || { echo "the later instance ended with status $status, not 1" >&2; exit 1; }
status=0
/usr/lib/wine/wine64 "$1" --wait /tmp/app-notes CON 2>no-documents.txt || status=$?
[ $status -eq 1 ] || { echo "a folder and CON: the later instance ended with status $status, not 1" >&2; exit 1; }
/usr/lib/wine/wine64 "$1" "Z:\\tmp\\app-notes\\meeting notes.txt"
seen "^open Z:.*meeting notes"
echo quit >&3
wait $first
SCRIPT
  if ! (cd "$work" && unset DISPLAY && HOME=$work/home timeout 300 xvfb-run -a sh -eu long-name.sh "$work/app/build/app.exe") \
    >"$work/long-name.log" 2>&1; then
    cat "$work/long-name.log"
    fail "the program ended or failed on a missing name of 4,060 characters"
  fi
  answer=$(tr -d '\r\n' <"$work/long-later.txt")
  long=$(head -c 4060 /dev/zero | tr '\0' x)
  [ "$answer" = "cannot open Z:\\tmp\\app-notes\\$long.txt: n" ] ||
    fail "the answer to a missing name of 4,060 characters is not its first 4,096 units: $(head -c 80 "$work/long-later.txt")..."
  [ "$(tr -d '\r' <"$work/no-documents.txt")" = 'cannot open Z:\tmp\app-notes: a folder, not a document; cannot open \\.\CON: not a document' ] ||
    fail "a folder and CON were not both refused as documents: $(cat "$work/no-documents.txt")"
  step "a missing name of 4,060 characters: answered with the first 4,096 units; a folder and CON refused; the running instance went on"

  # The package came from the zip; the source archive only where it was asked for.
  [ ! -e "$work/app/build/_deps/orvanecmd-src" ] || fail "the find_package build fetched the sources"
  grep -qF "$work/home/orvanecmd-$version/orvanecmd-$version-win64/lib/liborvane_support.a" \
    "$work/app/build/CMakeFiles/app.dir/linkLibs.rsp" || fail "the find_package build did not link the zip's library"
  [ -f "$work/app/build-fetch/_deps/orvanecmd-src/CMakeLists.txt" ] || fail "the FetchContent build fetched nothing"

  [ "$(built "$work/app/build-fetch")" = "./_deps/orvanecmd-build/framework/liborvane_ansi_string.a ./_deps/orvanecmd-build/launcher/liborvane_stack_guard.a ./_deps/orvanecmd-build/support/liborvane_support.a ./app.exe " ] ||
    fail "the FetchContent build made more than its program and the libraries: $(built "$work/app/build-fetch")"
  [ "$(listing "$work/app/build-fetch")" = "CMakeCache.txt CMakeFiles Makefile _deps app.exe cmake_install.cmake " ] ||
    fail "the FetchContent build wrote into the parent's build folder: $(listing "$work/app/build-fetch")"
  step "FetchContent built only $libraries, beside the parent's program"
}

# The parent of its own, on the unpacked source archive.
subproject() {
  logged "$work/subproject.log" "the parent with add_subdirectory did not configure" \
    cmake -S consumer/subproject -B "$parent" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DORVANECMD_SOURCE_DIR="$src"
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
}

# A parent of its own that fetches the source archive and builds the caller whose names are
# spelled as the library's.
names() {
  build=$work/names
  mkdir -p "$build/parent"
  cat >"$build/parent/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(names LANGUAGES CXX)
include(FetchContent)
FetchContent_Declare(orvanecmd URL "$release/orvanecmd-$version-src.tar.gz"
  URL_HASH SHA256=$(sha256sum "$release/orvanecmd-$version-src.tar.gz" | cut -c1-64))
FetchContent_MakeAvailable(orvanecmd)
add_executable(no_global_names "$root/consumer/no_global_names.cpp")
target_link_libraries(no_global_names PRIVATE orvanecmd::orvane_support)
target_compile_options(no_global_names PRIVATE -Wall -Wextra -Werror)
target_link_options(no_global_names PRIVATE -static)
CMAKE
  logged "$build.log" "the parent of no_global_names did not configure" \
    cmake -S "$build/parent" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  logged "$build.log" "no_global_names did not build with the library's names in orvane:: only" \
    cmake --build "$build" -j2
  wanted=$(printf 'version %s\nsha1 %s\nhandoff handed over' "$version" "$(printf abc | sha1sum | cut -d' ' -f1)")
  got=$("$WINE" "$build/no_global_names.exe" abc | tr -d '\r')
  [ "$got" = "$wanted" ] || fail "no_global_names printed \"$got\", not \"$wanted\""
  step "a caller with its own Exception, AnsiString, CArray, InstanceMutex, SharedDataName and Sha1HexOfText, taken in with FetchContent: built with the library's names in orvane:: only; ran under Wine, version $version"
}

# The parent with every part of ours asked for: where each target of ours writes, from
# CMake's file API ("<target's folder> <target> <file>" a line, relative to the build
# folder), before anything is built.
cat >"$work/artifacts.cmake" <<'CMAKE'
file(GLOB model "${BUILD}/.cmake/api/v1/reply/codemodel-v2-*.json")
file(READ "${model}" model)
file(WRITE "${OUT}" "")
string(JSON count LENGTH "${model}" configurations 0 targets)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON reply GET "${model}" configurations 0 targets ${i} jsonFile)
  file(READ "${BUILD}/.cmake/api/v1/reply/${reply}" target)
  string(JSON name GET "${target}" name)
  string(JSON folder GET "${target}" paths build)
  string(JSON artifacts ERROR_VARIABLE none LENGTH "${target}" artifacts)
  if(NOT artifacts)
    continue()  # an interface library: nothing written
  endif()
  math(EXPR lastArtifact "${artifacts} - 1")
  foreach(j RANGE ${lastArtifact})
    string(JSON path GET "${target}" artifacts ${j} path)
    file(APPEND "${OUT}" "${folder} ${name} ${path}\n")
  endforeach()
endforeach()
CMAKE
everything_configured() {  # everything_configured FOLDER [OPTION...]
  build=$1
  shift
  mkdir -p "$build/.cmake/api/v1/query"
  : >"$build/.cmake/api/v1/query/codemodel-v2"
  # shellcheck disable=SC2086 # one -D a word
  logged "$build.log" "the parent did not configure with every part of the library asked for ($*)" \
    cmake -S consumer/subproject -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DORVANECMD_SOURCE_DIR="$src" \
    $every_option "$@"
  logged "$build.log" "CMake's file API gave no targets for $build" \
    cmake -DBUILD="$build" -DOUT="$build.artifacts" -P "$work/artifacts.cmake"
  grep -q '^orvanecmd/launcher orvanecmd ' "$build.artifacts" || fail "no launcher among the targets of $build"
  # Ours are the targets made under our build folder, orvanecmd/.
  outside=$(awk '$1 ~ /^orvanecmd(\/|$)/ && $3 !~ /^orvanecmd\// { print $3 }' "$build.artifacts" | sort | tr '\n' ' ' |
    sed 's/ $//')
  [ -z "$outside" ] ||
    fail "with every part asked for, programs or libraries of ours go into the parent's build folder: $outside"
}
everything() {
  # Every option of the source archive's project, on.
  every_option=$(cat "$src/CMakeLists.txt" "$src"/cmake/*.cmake |
    sed -n 's/^ *option(\(ORVANE_[A-Z0-9_]*\) .*/-D\1=ON/p' | sort -u | tr '\n' ' ' | sed 's/ $//')
  printf '%s\n' "$every_option" | grep -q ORVANE_BUILD_TESTS || fail "no ORVANE_BUILD_TESTS option in $src"
  everything_configured "$parent-everything"
  everything_configured "$parent-everything-own-googletest" -DPARENT_GOOGLETEST=OFF
  build=$parent-everything-own-googletest
  own=".cmake CMakeCache.txt CMakeFiles CTestTestfile.cmake Makefile cmake_install.cmake orvanecmd "
  [ "$(listing "$build")" = "$own" ] ||
    fail "with every part asked for, the library wrote into the parent's build folder: $(listing "$build")"
  step "the parent with every option on ($every_option), with its own GoogleTest and without: every target of ours writes into our build folder"
  # One of each kind: the launcher (bin/), a stand-in (standins/), a test program on our
  # own GoogleTest (bin/, GoogleTest's libraries in lib/).
  logged "$build.log" "the parent with every part asked for did not build our programs" \
    cmake --build "$build" -j2 --target orvanecmd orvane_viewer orvane_md5_test
  for target in orvanecmd orvane_viewer orvane_md5_test; do
    exe=$(awk -v t="$target" '$2 == t && $3 ~ /\.exe$/ { print $3 }' "$build.artifacts")
    if [ -z "$exe" ] || [ ! -f "$build/$exe" ]; then
      fail "$target did not make ${exe:-its program}, where CMake's file API said"
    fi
  done
  for file in $(built "$build"); do
    case $file in
      ./orvanecmd/*) ;;
      *) fail "with every part asked for, $file was built into the parent's build folder" ;;
    esac
  done
  [ "$(listing "$build")" = "$own" ] ||
    fail "with every part asked for, the library wrote into the parent's build folder: $(listing "$build")"
  step "with every part asked for, the launcher, a stand-in and a test built into our build folder; the parent's holds only its own"
}

# Built for this machine, a parent without a GoogleTest of its own gives our tests the
# installed one (Debian's libgtest-dev): we make no GoogleTest target, and our tests
# of the facilities that build here are there, build on it and pass.
host_tests="ansi_string_test command_line_test handoff_receiver_test hash_openssl_test md5_test owned_array_test
  safe_name_test sha1_test"
host() {
  build=$parent-host
  logged "$build.log" "the parent for this machine did not configure with our tests" \
    cmake -S consumer/subproject -B "$build" -DORVANECMD_SOURCE_DIR="$src" \
    -DPARENT_GOOGLETEST=OFF -DORVANE_BUILD_TESTS=ON
  ! cmake --build "$build" --target help | grep -Eq '^\.\.\. (gtest|gmock)' ||
    fail "with an installed GoogleTest, our tests built one of their own"
  # Without the slow runs: minutes and gigabytes, and run by the host build's own tests.
  listed=$(ctest --test-dir "$build/orvanecmd" -N -LE slow | sed -n 's/^ *Test *#[0-9]*: //p' | tr '\n' ' ')
  for test in $host_tests; do
    case " $listed" in
      *" $test "*) ;;
      *) fail "for this machine, asked for our tests, the parent has no $test (it has ${listed:-none})" ;;
    esac
  done
  logged "$build.log" "for this machine, our tests did not build on the installed GoogleTest" \
    cmake --build "$build" -j2
  logged "$build.log" "for this machine, our tests on the installed GoogleTest failed" \
    ctest --test-dir "$build/orvanecmd" -LE slow -j2 --output-on-failure
  step "for this machine, our tests take the installed GoogleTest, build on it and pass: ${listed% }"
}

if asked readme || asked subproject || asked names; then
  wine_session
  step "the Wine session started"
fi
if asked subproject || asked everything || asked host; then
  mkdir "$work/src"
  tar -xzf "$release/orvanecmd-$version-src.tar.gz" -C "$work/src"
fi
for part in $parts; do
  "$part"
done
echo "usage check passed: $parts"
