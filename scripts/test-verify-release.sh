#!/bin/sh
# scripts/verify-release.sh, proved (run by scripts/test-release.sh, on its builds):
#   scripts/test-verify-release.sh RELEASE_TEST_DIR
# RELEASE_TEST_DIR is scripts/test-release.sh's folder: a/ (an unsigned release of
# HEAD), b/ (the same, built in another folder), s/ (signed), key/ca.pem, and the
# signing key key/signer.p12 with its password in key/password.
# - a good release passes: unsigned with a real rebuild of its commit, and signed
#   (--ca) against b/ as the rebuild;
# - each tampering fails, with a message that names what is wrong: a changed byte in a
#   zip; a file in the folder that SHA256SUMS does not list; a changed exe re-zipped
#   with fresh sums (unsigned, and signed); a signed zip whose entries carry another
#   time or mode; BUILDINFO naming another commit (with its own time too, which takes a
#   real rebuild of that commit); BUILDINFO naming other toolchain versions, in both
#   zips and in the win32 one alone; a missing or swapped .sig, and the .sig of a second
#   signing of the same launcher; a commit the checkout does not have; a signed release
#   without its CA, an unsigned one with a CA; a given rebuild of another commit. A changed
#   byte in the source archive, with fresh sums, fails too; so do a download without the
#   source archive and one whose source archive SHA256SUMS does not list, each with its
#   own message.
# The tampered cases reuse b/ as the rebuild (ORVANE_VERIFY_REBUILD) where one is
# reached: b/ is a rebuild of HEAD made by release.sh exactly as verify-release.sh makes
# one, and test-release.sh has proved it equal to a/.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
[ $# -eq 1 ] || { echo "usage: $0 RELEASE_TEST_DIR" >&2; exit 2; }
release=$(cd "$1" && pwd)
for part in a b s key/ca.pem key/signer.p12 key/password; do
  [ -e "$release/$part" ] || { echo "no $release/$part: run scripts/test-release.sh" >&2; exit 2; }
done
export LC_ALL=C TZ=UTC
work=$release/verify
rm -rf "$work"
mkdir -p "$work"
fail() {
  echo "verify test FAILED: $*" >&2
  exit 1
}
version=$(unzip -p "$release"/a/orvanecmd-*-win64.zip '*/BUILDINFO' | sed -n 's/^version //p')
commit=$(git rev-parse HEAD)
ca=$release/key/ca.pem

verify() {  # verify CASE FOLDER [ARGUMENT...]: runs verify-release.sh, its output in $work/CASE.log
  case=$1
  shift
  status=0
  scripts/verify-release.sh "$@" >"$work/$case.log" 2>&1 || status=$?
}
passes() {  # passes CASE FOLDER [ARGUMENT...]
  verify "$@"
  if [ $status -ne 0 ] || [ "$(tail -n 1 "$work/$1.log" | cut -c1-3)" != "OK:" ]; then
    cat "$work/$1.log"
    fail "$1: a good release did not pass"
  fi
  echo "== $1: passed"
  cat "$work/$1.log"
}
fails() {  # fails CASE WANTED FOLDER [ARGUMENT...]: must exit 1 with WANTED in its last line
  name=$1
  wanted=$2
  shift 2
  verify "$name" "$@"
  last=$(tail -n 1 "$work/$name.log")
  if [ $status -ne 1 ] || ! printf '%s\n' "$last" | grep -qF -- "$wanted"; then
    cat "$work/$name.log"
    fail "$name: wanted exit status 1 and \"$wanted\", got $status"
  fi
  echo "== $name: $last"
}
copy() {  # copy FROM CASE: a copy of a release to tamper with
  rm -rf "${work:?}/$2"
  cp -r "$1" "$work/$2"
}
resum() {  # resum FOLDER: SHA256SUMS made afresh
  (
    cd "$1"
    set -- orvanecmd-*.zip
    for file in orvanecmd-*-src.tar.gz orvanecmd-*.exe.sig; do
      [ ! -e "$file" ] || set -- "$@" "$file"
    done
    sha256sum "$@" >SHA256SUMS
  )
}
rezip() {  # rezip FOLDER ARCH COMMAND...: runs COMMAND in the unpacked zip's top folder, zips it again as release.sh does
  folder=$1
  name=orvanecmd-$version-$2
  shift 2
  rm -rf "$work/unpacked"
  mkdir "$work/unpacked"
  (cd "$work/unpacked" && unzip -q "$folder/$name.zip")
  (cd "$work/unpacked/$name" && "$@")
  rm "$folder/$name.zip"
  (cd "$work/unpacked" && find "$name" -type f | sort | zip -X -D -q -@ "$folder/$name.zip")
}
flip_byte() {  # flip_byte FILE OFFSET: the byte at OFFSET with its lowest bit changed
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  # shellcheck disable=SC2059 # the format is the byte as an octal escape
  printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
set_line() {  # set_line NAME VALUE: BUILDINFO's NAME line says VALUE (in the current folder)
  sed "s|^$1 .*|$1 $2|" BUILDINFO >BUILDINFO.new
  mv BUILDINFO.new BUILDINFO
}

# The good releases.
passes unsigned-real-rebuild "$release/a"
ORVANE_VERIFY_REBUILD=$release/b passes signed "$release/s" --ca "$ca"
grep -q "^signatures: ok" "$work/signed.log" || fail "signed: the signatures were not checked"

# A changed byte in a zip.
copy "$release/a" changed-byte
zip=$work/changed-byte/orvanecmd-$version-win64.zip
flip_byte "$zip" $(($(wc -c <"$zip") / 2))
fails changed-byte "orvanecmd-$version-win64.zip does not match its sum in SHA256SUMS" "$work/changed-byte"

# A file the sums do not list: a .sig put beside an unsigned release.
copy "$release/a" unlisted-file
cp "$release/s/orvanecmd-$version-win64.exe.sig" "$work/unlisted-file/"
fails unlisted-file "orvanecmd-$version-win64.exe.sig is in $work/unlisted-file but not listed in SHA256SUMS" \
  "$work/unlisted-file"

# A download without the source archive (sums made afresh without it), and one whose
# source archive SHA256SUMS does not list: each refused with its own message, before
# anything is built.
copy "$release/a" source-absent
rm "$work/source-absent/orvanecmd-$version-src.tar.gz"
resum "$work/source-absent"
fails source-absent \
  "the download has no source archive (orvanecmd-<version>-src.tar.gz) in SHA256SUMS or in $work/source-absent" \
  "$work/source-absent"
copy "$release/a" source-unlisted
grep -v -- '-src\.tar\.gz$' "$release/a/SHA256SUMS" >"$work/source-unlisted/SHA256SUMS"
fails source-unlisted "the source archive orvanecmd-$version-src.tar.gz is in $work/source-unlisted but not listed in SHA256SUMS: its sum is unknown" \
  "$work/source-unlisted"

# A changed byte in the source archive, with fresh sums.
copy "$release/a" changed-source
source=$work/changed-source/orvanecmd-$version-src.tar.gz
flip_byte "$source" $(($(wc -c <"$source") / 2))
resum "$work/changed-source"
ORVANE_VERIFY_REBUILD=$release/b fails changed-source \
  "orvanecmd-$version-src.tar.gz differs from the rebuild's, the sources of commit $commit" "$work/changed-source"

# A changed exe, zipped again with fresh sums: unsigned, then signed.
export ORVANE_VERIFY_REBUILD="$release/b"
copy "$release/a" changed-exe
rezip "$work/changed-exe" win64 sh -c 'printf "X" | dd of=bin/orvanecmd.exe bs=1 seek=1000 conv=notrunc 2>/dev/null'
resum "$work/changed-exe"
fails changed-exe "orvanecmd-$version-win64/bin/orvanecmd.exe differs from the rebuild's" "$work/changed-exe"
copy "$release/s" changed-signed-exe
rezip "$work/changed-signed-exe" win32 sh -c 'printf "X" | dd of=bin/orvanecmd.exe bs=1 seek=1000 conv=notrunc 2>/dev/null'
resum "$work/changed-signed-exe"
fails changed-signed-exe "the signature of the launcher in orvanecmd-$version-win32.zip does not verify" \
  "$work/changed-signed-exe" --ca "$ca"

# A signed zip whose files are all the rebuild's, zipped again with one entry's time,
# then one entry's mode, changed.
for change in "time touch -d @86400 BUILDINFO" "mode chmod 600 share/doc/orvanecmd/README.md"; do
  # shellcheck disable=SC2086 # the case's name, then its command, split at the blanks
  set -- $change
  entry_case=signed-entry-$1
  shift
  copy "$release/s" "$entry_case"
  rezip "$work/$entry_case" win64 "$@"
  resum "$work/$entry_case"
  fails "$entry_case" "orvanecmd-$version-win64.zip: the modes or times of its entries differ from the rebuild's" \
    "$work/$entry_case" --ca "$ca"
done

# BUILDINFO naming another commit, first with this commit's time, then with its own (which
# takes a real rebuild of it). Commits made within one second share a time (a rebase gives
# many of them one), so the other commit is the newest ancestor whose time differs from
# HEAD's; and it is of HEAD's version, since verify-release.sh says first that a commit of
# another version is not the release's.
head_time=$(git log -1 --format=%ct HEAD)
version_of() { git show "$1:CMakeLists.txt" | sed -n 's/^project(orvanecmd VERSION \([0-9.]*\).*/\1/p'; }
other=$(git log --format='%H %ct' HEAD~1 2>/dev/null | while read -r commit time; do
  if [ "$time" != "$head_time" ] && [ "$(version_of "$commit")" = "$version" ]; then
    echo "$commit"
    break
  fi
done)
[ -n "$other" ] ||
  fail "no ancestor of HEAD of version $version with a commit time other than HEAD's is in this checkout (a shallow clone?)"
other_time=$(git log -1 --format=%ct "$other")
copy "$release/a" other-commit
for arch in win64 win32; do
  rezip "$work/other-commit" $arch set_line commit "$other"
done
resum "$work/other-commit"
fails other-commit "is not the time of commit $other" "$work/other-commit"
set_commit_and_time() {
  set_line commit "$other"
  set_line SOURCE_DATE_EPOCH "$other_time"
}
copy "$release/a" other-commit-and-time
for arch in win64 win32; do
  rezip "$work/other-commit-and-time" $arch set_commit_and_time
done
resum "$work/other-commit-and-time"
# The first file that differs depends on what the other commit changed; the message names it.
(unset ORVANE_VERIFY_REBUILD && fails other-commit-and-time "orvanecmd-$version-win32.zip: " "$work/other-commit-and-time")
grep -q "^rebuild: $other built" "$work/other-commit-and-time.log" || fail "other-commit-and-time: $other was not rebuilt"

# BUILDINFO naming other toolchain versions: said before the rebuild, then BUILDINFO differs.
copy "$release/a" other-toolchain
for arch in win64 win32; do
  rezip "$work/other-toolchain" $arch set_line zip 9.9-1
done
resum "$work/other-toolchain"
fails other-toolchain "orvanecmd-$version-win32/BUILDINFO differs from the rebuild's" "$work/other-toolchain"
grep -q "^toolchain: DIFFERS .*zip .* here, 9.9-1 in BUILDINFO" "$work/other-toolchain.log" ||
  fail "other-toolchain: the differing toolchain was not named"
# The win32 zip's BUILDINFO alone tampered: the two zips disagree, before anything is built.
copy "$release/a" buildinfo-win32-alone
rezip "$work/buildinfo-win32-alone" win32 set_line zip 9.9-1
resum "$work/buildinfo-win32-alone"
fails buildinfo-win32-alone \
  "the BUILDINFO of orvanecmd-$version-win64.zip differs from the one of orvanecmd-$version-win32.zip" \
  "$work/buildinfo-win32-alone"

# A missing .sig: listed but absent, then left out of the sums too; swapped .sig files.
copy "$release/s" sig-absent
rm "$work/sig-absent/orvanecmd-$version-win64.exe.sig"
fails sig-absent "orvanecmd-$version-win64.exe.sig is listed in SHA256SUMS but missing" "$work/sig-absent" --ca "$ca"
copy "$release/s" sig-unlisted
rm "$work/sig-unlisted/orvanecmd-$version-win64.exe.sig"
resum "$work/sig-unlisted"
fails sig-unlisted "its detached signature orvanecmd-$version-win64.exe.sig is not in the download" \
  "$work/sig-unlisted" --ca "$ca"
copy "$release/s" sig-swapped
mv "$work/sig-swapped/orvanecmd-$version-win64.exe.sig" "$work/sig-swapped/swap"
mv "$work/sig-swapped/orvanecmd-$version-win32.exe.sig" "$work/sig-swapped/orvanecmd-$version-win64.exe.sig"
mv "$work/sig-swapped/swap" "$work/sig-swapped/orvanecmd-$version-win32.exe.sig"
resum "$work/sig-swapped"
fails sig-swapped "orvanecmd-$version-win32.exe.sig is not the signature of the launcher in orvanecmd-$version-win32.zip" \
  "$work/sig-swapped" --ca "$ca"
# The .sig of a second signing of the same launcher (another description, so other
# bytes): it verifies and attaches, but does not give the shipped launcher back.
copy "$release/s" sig-signed-again
again=$work/sig-signed-again/again
mkdir "$again"
unzip -p "$release/s/orvanecmd-$version-win64.zip" "orvanecmd-$version-win64/bin/orvanecmd.exe" >"$again/signed.exe"
osslsigncode remove-signature -in "$again/signed.exe" -out "$again/unsigned.exe" >/dev/null
osslsigncode sign -pkcs12 "$release/key/signer.p12" -readpass "$release/key/password" -h sha256 \
  -n "orvanecmd, signed again" -in "$again/unsigned.exe" -out "$again/resigned.exe" >"$again/sign.log" 2>&1 ||
  { cat "$again/sign.log"; fail "sig-signed-again: the second signing failed"; }
osslsigncode extract-signature -in "$again/resigned.exe" -out "$again/win64.exe.sig" >/dev/null
! cmp -s "$again/win64.exe.sig" "$release/s/orvanecmd-$version-win64.exe.sig" ||
  fail "sig-signed-again: the second signing gave the same bytes"
mv "$again/win64.exe.sig" "$work/sig-signed-again/orvanecmd-$version-win64.exe.sig"
rm -r "$again"
resum "$work/sig-signed-again"
fails sig-signed-again "orvanecmd-$version-win64.exe.sig is not the signature of the launcher in orvanecmd-$version-win64.zip" \
  "$work/sig-signed-again" --ca "$ca"

# A commit the checkout does not have.
absent=$(printf '%s' "$commit" | tr 0-9a-f 1-9a-f0)
! git cat-file -e "$absent^{commit}" 2>/dev/null || fail "the made-up commit $absent exists"
copy "$release/a" commit-absent
for arch in win64 win32; do
  rezip "$work/commit-absent" $arch set_line commit "$absent"
done
resum "$work/commit-absent"
fails commit-absent "commit $absent (BUILDINFO) is not in the checkout $root: fetch it" "$work/commit-absent"

# A signed release checked without its private CA; a given rebuild of another commit.
fails signed-without-ca "does not verify against the system's CA certificates (a private CA? give it with --ca FILE)" \
  "$release/s"
fails unsigned-with-ca "--ca was given, but no launcher in the download is signed" "$release/a" --ca "$ca"
ORVANE_VERIFY_REBUILD=$work/other-commit-and-time fails rebuild-of-another-commit \
  "$work/other-commit-and-time is not a rebuild of $commit" "$release/a"
echo "verify-release.sh: good releases passed, every tampered one failed"
