#!/bin/sh
# The release, proved on every change (run by scripts/test.sh):
# - scripts/release.sh twice, from this checkout and from a clone in another folder,
#   with other time zones, locales and umasks: the zips and SHA256SUMS must be equal;
# - once more signed with a throwaway CA and code-signing key made here: the password
#   shows in no output and on no command line of osslsigncode (the signatures and their
#   round trips are checked by the verify test);
# - each zip holds its entries in sorted order and a BUILDINFO that names this commit,
#   its time, the version and the toolchain; the launcher's product version names the
#   commit; the changelog's newest version is the project's, and its check refuses
#   another;
# - scripts/check-hardening.sh must refuse a launcher built without the flags (which
#   still links the launcher's own guard), and a twin that holds other code;
#   scripts/release.sh must refuse to release a commit built without the stack
#   protector;
# - scripts/check-release.sh builds and runs the consumer against both zips;
# - scripts/check-usage.sh runs the README's "Using the library" as written, against this
#   release, and builds a parent project that takes the library in as a subproject, also
#   with every option of ours on; and it must refuse source archives with a known
#   defect: one whose programs, one whose GoogleTest's libraries and one whose CPack
#   configuration go into the parent's build folder, one that gives a parent no tests
#   of ours, and one whose tests do not link with an installed GoogleTest;
# - scripts/test-verify-release.sh: scripts/verify-release.sh on good and tampered
#   releases, made from these builds; the signed one verified against the CA, with its
#   signatures removed and attached again byte for byte.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
# The usage check builds for Windows and this machine and runs under Wine: everything.
scripts/install-deps.sh
dir=$root/build/release
rm -rf "$dir"
mkdir -p "$dir"
fail() {
  echo "release test FAILED: $*" >&2
  exit 1
}

started=$(date +%s)
test_started=$started
(umask 022 && TZ=UTC LC_ALL=C scripts/release.sh "$dir/a")
echo "one release build (both architectures): $(($(date +%s) - started)) s"

clone=$dir/a-clone-in-another-folder
git clone -q "$root" "$clone"
git -C "$clone" checkout -q --detach "$(git rev-parse HEAD)"
(umask 077 && TZ=Asia/Kathmandu LC_ALL=C.UTF-8 "$clone/scripts/release.sh" "$dir/b" >"$dir/b.log" 2>&1) ||
  { cat "$dir/b.log"; fail "second release build"; }
[ "$(ls "$dir/a")" = "$(ls "$dir/b")" ] || fail "the two builds wrote other files"
for file in "$dir"/a/*; do
  cmp "$file" "$dir/b/${file##*/}" || fail "${file##*/} differs between two builds of one commit"
done
echo "reproducible: the second build, in $clone, gave the same bytes"

# The version is kept in one place: project() in CMakeLists.txt.
version=$(sed -n 's/^project(orvanecmd VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
scripts/check-changelog.sh || fail "the changelog's newest version is not the project's"
{ printf '# Changelog\n\n## 0.0.1 (2000-01-01)\n\n- a version that is not the project'"'"'s\n\n'; cat CHANGELOG.md; } \
  >"$dir/CHANGELOG-other.md"
if scripts/check-changelog.sh "$dir/CHANGELOG-other.md" CMakeLists.txt 2>"$dir/changelog.log"; then
  fail "the changelog check passed a changelog whose newest version is not the project's"
fi
cat "$dir/changelog.log"

# Each zip: its entries in sorted order (made so, not only alike in two builds on one
# file system), BUILDINFO, and the commit in the launcher's product version.
commit=$(git rev-parse HEAD)
for zip in "$dir"/a/orvanecmd-*.zip; do
  name=$(basename "$zip" .zip)
  unzip -Z1 "$zip" >"$dir/$name.entries"
  LC_ALL=C sort "$dir/$name.entries" | cmp -s - "$dir/$name.entries" || fail "$name.zip: its entries are not in sorted order"
  {
    printf 'commit %s\nSOURCE_DATE_EPOCH %s\nversion %s\n' "$commit" "$(git log -1 --format=%ct HEAD)" "$version"
    scripts/toolchain-versions.sh
  } >"$dir/$name.buildinfo"
  unzip -p "$zip" "$name/BUILDINFO" | cmp -s - "$dir/$name.buildinfo" ||
    { unzip -p "$zip" "$name/BUILDINFO"; fail "$name.zip: BUILDINFO is not $(cat "$dir/$name.buildinfo")"; }
  unzip -p "$zip" "$name/bin/orvanecmd.exe" >"$dir/$name.exe"
  product="$version ($(git rev-parse --short=12 HEAD))"
  x86_64-w64-mingw32-strings -el "$dir/$name.exe" | grep -qxF "$product" ||
    fail "$name.zip: the launcher's product version is not $product"
  echo "$name.zip: entries sorted, BUILDINFO names $commit, product version $product"
done

# A throwaway CA and a code-signing certificate under it, in a PKCS#12 file.
key=$dir/key
mkdir "$key"
password=throwaway-$(od -An -tx8 -N8 /dev/urandom | tr -d ' ')
export password
(
  cd "$key"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=orvanecmd test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=orvanecmd test signer" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext \
    -out signer.pem 2>/dev/null
  openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.p12 -passout env:password
)

# The signed build, with every command line given to osslsigncode written down.
real_osslsigncode=$(command -v osslsigncode)
mkdir "$dir/shims"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec "%s" "$@"\n' "$dir/osslsigncode.args" "$real_osslsigncode" \
  >"$dir/shims/osslsigncode"
chmod +x "$dir/shims/osslsigncode"
PATH=$dir/shims:$PATH ORVANE_SIGN_PKCS12=$key/signer.p12 ORVANE_SIGN_PASSWORD=$password \
  scripts/release.sh "$dir/s" >"$dir/s.log" 2>&1 || { cat "$dir/s.log"; fail "signed release build"; }
cat "$dir/s.log"
# grep takes the password from a file, so that its own command line does not hold it.
(umask 077 && printf '%s\n' "$password" >"$key/password")
grep -q -- "^sign .*-readpass" "$dir/osslsigncode.args" || fail "osslsigncode was not seen signing"
! grep -qF -f "$key/password" "$dir/osslsigncode.args" || fail "the password was on osslsigncode's command line"
! grep -qF -f "$key/password" "$dir/s.log" || fail "the password is in the output"
# Its sums, its signatures against the CA, and their round trips (the signature removed
# gives b/'s unsigned launcher; the detached one attached to b/'s gives the signed one)
# are checked by scripts/verify-release.sh in the verify test, with b/ as its rebuild.

# A launcher without the flags (and linked without ASLR, NX and relocations, with an
# import from winmm.dll and a writable code section) must fail every property. It
# links the launcher's own guard all the same: the guard's symbols, and its own call
# to __stack_chk_fail, are no canary.
bare=$dir/unhardened
mkdir -p "$bare"
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -c launcher/stack_guard.cpp -o "$bare/stack_guard.o"
cmake -S . -B "$bare" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANE_BUILD_TESTS=OFF -DORVANE_HARDEN=OFF \
  "-DCMAKE_EXE_LINKER_FLAGS=-Wl,--disable-dynamicbase,--disable-high-entropy-va,--disable-nxcompat,--disable-reloc-section -Wl,-u,mciSendCommandA -lwinmm" \
  -DCMAKE_CXX_STANDARD_LIBRARIES="$bare/stack_guard.o" >/dev/null
cmake --build "$bare" -j2 --target orvanecmd >/dev/null
x86_64-w64-mingw32-objcopy --set-section-flags .data=contents,alloc,load,data,code "$bare/bin/orvanecmd.exe" \
  "$bare/orvanecmd.exe"
if scripts/check-hardening.sh "$bare/orvanecmd.exe:$bare/bin/orvanecmd.exe" >"$bare/check.txt"; then
  cat "$bare/check.txt"
  fail "the hardening check passed a launcher built without the flags"
fi
cat "$bare/check.txt"
x86_64-w64-mingw32-nm "$bare/bin/orvanecmd.exe" | grep -q ' T __stack_chk_fail$' || fail "the guard is not in that launcher"
grep -q '^  stack canary  *MISSING ' "$bare/check.txt" || fail "the hardening check took the guard alone for a canary"
[ "$(grep -c ' MISSING ' "$bare/check.txt")" -eq 8 ] || fail "the hardening check missed a property of that launcher"
echo "the hardening check refused the launcher built without the flags, as it must"

# A twin that holds other code than the stripped program: the released launcher with
# the unhardened one's symbols.
released=$dir/$(basename "$dir"/a/orvanecmd-*-win64.zip .zip).exe
if scripts/check-hardening.sh "$released:$bare/bin/orvanecmd.exe" >"$bare/twin.txt"; then
  cat "$bare/twin.txt"
  fail "the hardening check passed a program with another program's symbols"
fi
grep -q "^  $bare/bin/orvanecmd.exe holds other code than $released\$" "$bare/twin.txt" ||
  { cat "$bare/twin.txt"; fail "the hardening check did not compare the program with its twin"; }
echo "the hardening check refused a twin that holds other code, as it must"

# release.sh must refuse a commit that builds without the stack protector (the
# launcher still links its own guard), with this checkout's scripts as they are.
refused=$dir/unprotected-checkout
git clone -q "$root" "$refused"
git -C "$refused" checkout -q --detach "$(git rev-parse HEAD)"
sed -i 's/-fstack-protector-strong //' "$refused/cmake/release-flags.cmake"
! grep -q stack-protector "$refused/cmake/release-flags.cmake" || fail "the stack protector is still in $refused"
git -C "$refused" -c user.name=test -c user.email=test@invalid commit -qam "without the stack protector"
cp scripts/*.sh "$refused/scripts/"
if "$refused/scripts/release.sh" "$dir/unprotected" >"$dir/unprotected.log" 2>&1; then
  cat "$dir/unprotected.log"
  fail "release.sh released a launcher built without the stack protector"
fi
grep -q "orvanecmd-$version-win64/bin/orvanecmd.exe is not hardened" "$dir/unprotected.log" ||
  { cat "$dir/unprotected.log"; fail "release.sh failed, but not for the hardening"; }
grep '^  stack canary' "$dir/unprotected.log"
for zip in "$dir"/unprotected/*.zip; do
  [ ! -e "$zip" ] || fail "release.sh wrote $zip for a launcher that is not hardened"
done
echo "release.sh refused the commit built without the stack protector, as it must"

scripts/check-release.sh "$dir"/a/orvanecmd-*-win64.zip cmake/mingw-w64-x86_64.cmake cmake/clang-mingw-w64-x86_64.cmake
scripts/check-release.sh "$dir"/a/orvanecmd-*-win32.zip cmake/mingw-w64-i686.cmake
started=$(date +%s)
scripts/check-usage.sh "$dir/a"
echo "usage check: $(($(date +%s) - started)) s"

# The usage check must fail on a source archive with a known defect, in its part that
# finds it (which stops at the first build that fails, so it costs seconds).
broken_source() {  # broken_source PART NAME FILE SED-SCRIPT WANTED: the source archive with FILE edited by SED-SCRIPT
  part=$1
  shift
  broken=$dir/broken-$1
  unpacked=$dir/broken-$1-unpacked
  edited=$unpacked/orvanecmd-$version/$2
  mkdir -p "$broken" "$unpacked"
  tar -xzf "$dir/a/orvanecmd-$version-src.tar.gz" -C "$unpacked"
  cp "$edited" "$unpacked/original"
  sed -i "$3" "$edited"
  ! cmp -s "$edited" "$unpacked/original" || fail "broken-$1: $2 is unchanged, the defect is not there"
  tar -czf "$broken/orvanecmd-$version-src.tar.gz" -C "$unpacked" "orvanecmd-$version"
  if scripts/check-usage.sh "$broken" "$part" >"$broken.log" 2>&1; then
    cat "$broken.log"
    fail "the usage check's $part part passed a source archive with a defect ($1)"
  fi
  grep -qF "usage check FAILED: $4" "$broken.log" || { cat "$broken.log"; fail "the usage check failed on broken-$1, but not for its defect"; }
  echo "the usage check's $part part refused a source archive with a defect ($1), as it must: $(grep -F 'usage check FAILED' "$broken.log")"
}
started=$(date +%s)
# Our programs put into the top build folder, which is the parent's when we are a subproject.
# shellcheck disable=SC2016 # CMake's variables, not the shell's
broken_source everything programs-in-parent CMakeLists.txt \
  's|^set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)$|set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)|' \
  "with every part asked for, programs or libraries of ours go into the parent's build folder: bin/"
# GoogleTest built from the sources for our tests, with its libraries left in the top build folder.
broken_source everything googletest-in-parent cmake/googletest.cmake '/^foreach(target gtest gtest_main gmock gmock_main)$/,/^endforeach()$/d' \
  "with every part asked for, programs or libraries of ours go into the parent's build folder: lib/libgmock.a lib/libgmock_main.a lib/libgtest.a lib/libgtest_main.a"
# CPack's configuration written into the top build folder, over a parent's own.
broken_source everything cpack-config-in-parent cmake/install.cmake '/^set(CPACK_\(SOURCE_\)\{0,1\}OUTPUT_CONFIG_FILE /d' \
  "with every part asked for, the library wrote into the parent's build folder: .cmake CMakeCache.txt CMakeFiles CPackConfig.cmake CPackSourceConfig.cmake"
# Our tests left out whenever we are a subproject, although a parent asks for them.
broken_source host no-tests-in-parent CMakeLists.txt 's/^if(ORVANE_BUILD_TESTS)$/if(ORVANE_BUILD_TESTS AND PROJECT_IS_TOP_LEVEL)/' \
  "for this machine, asked for our tests, the parent has no ansi_string_test"
# On an installed GoogleTest, our tests linked without its main().
broken_source host installed-googletest-without-main cmake/googletest.cmake \
  's/^\(  target_link_libraries(orvane_gtest_main INTERFACE GTest::\)gtest_main)$/\1gtest)/' \
  "for this machine, our tests did not build on the installed GoogleTest"
echo "usage check on broken source archives: $(($(date +%s) - started)) s"

started=$(date +%s)
scripts/test-verify-release.sh "$dir"
echo "verify test: $(($(date +%s) - started)) s; the whole release test: $(($(date +%s) - test_started)) s"
