#!/bin/sh
# Checks a downloaded release in one command, from a checkout of the project:
#   scripts/verify-release.sh DIR [--ca FILE]
# DIR holds the release as downloaded: the zips, the source archive (-src.tar.gz),
# SHA256SUMS and, when signed, the detached signatures (.exe.sig). One line a step:
# - the sums: every file SHA256SUMS lists is there and matches, and nothing of the
#   release is left unlisted; the source archive is there and listed (a download
#   without it, or with it unlisted, is refused, each with its own message);
# - signed: each launcher's Authenticode signature verifies (against FILE with --ca,
#   else against the system's CA certificates), and each detached signature is its own
#   launcher's (the launcher without its signature, with the .sig attached again, gives
#   the launcher byte for byte);
# - BUILDINFO names the commit: the checkout must have it, and the commit's time and
#   version must be BUILDINFO's;
# - the toolchain: says so before building when the Debian versions here differ from
#   BUILDINFO's (the bytes may then differ);
# - rebuilds that commit with its own scripts/release.sh in a temporary folder and
#   compares: unsigned, each zip byte for byte; signed, every file of each zip byte for
#   byte but the launcher, the launcher without its signature equals the rebuild's, and
#   the rebuild's with the detached signature attached equals the shipped one; the
#   zip's entries, their order, modes and times equal the rebuild's; the source archive
#   equals the rebuild's, which is git's archive of that commit.
# Exits 0 only when everything matched; otherwise names the first file that differs,
# or the piece that is missing, and exits 1 (2 for a wrong command line).
# For the tests only: ORVANE_VERIFY_REBUILD=FOLDER takes FOLDER, made by release.sh
# without a key, as the rebuild instead of building anew; it must be of the commit
# that BUILDINFO names.
set -eu
usage() {
  echo "usage: $0 DIR [--ca FILE]" >&2
  exit 2
}
dir=""
ca=""
while [ $# -gt 0 ]; do
  case $1 in
    --ca)
      [ $# -ge 2 ] || usage
      ca=$2
      shift 2
      ;;
    -*) usage ;;
    *)
      [ -z "$dir" ] || usage
      dir=$1
      shift
      ;;
  esac
done
[ -n "$dir" ] || usage
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" release >&2
export LC_ALL=C TZ=UTC

fail() {
  echo "FAILED: $*"
  exit 1
}
[ -d "$dir" ] || fail "no folder $dir"
dir=$(cd "$dir" && pwd)
if [ -n "$ca" ]; then
  [ -f "$ca" ] || fail "no CA file $ca"
  ca=$(cd "$(dirname "$ca")" && pwd)/$(basename "$ca")
  cafile=$ca
  against="against $(basename "$ca")"
else
  cafile=/etc/ssl/certs/ca-certificates.crt  # osslsigncode's own default
  against="against the system's CA certificates"
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
trap 'exit 1' HUP INT TERM

# 1. The sums.
[ -f "$dir/SHA256SUMS" ] || fail "no SHA256SUMS in $dir"
sed 's/^[0-9a-f]* [ *]//' "$dir/SHA256SUMS" >"$tmp/listed"
zips=""
sigs=""
sources=""
while IFS= read -r file; do
  case $file in
    */* | .* | *[[:space:]]*) fail "SHA256SUMS names $file, which is not a file of a release" ;;
    orvanecmd-*-src.tar.gz) sources="$sources $file" ;;
    orvanecmd-*.zip) zips="$zips $file" ;;
    orvanecmd-*.exe.sig) sigs="$sigs $file" ;;
    *) fail "SHA256SUMS names $file, which is not a file of a release" ;;
  esac
  [ -f "$dir/$file" ] || fail "$file is listed in SHA256SUMS but missing from $dir"
done <"$tmp/listed"
[ -n "$zips" ] || fail "SHA256SUMS lists no zip"
for file in "$dir"/orvanecmd-*-src.tar.gz; do
  [ -e "$file" ] || continue
  grep -qxF "${file##*/}" "$tmp/listed" ||
    fail "the source archive ${file##*/} is in $dir but not listed in SHA256SUMS: its sum is unknown"
done
for file in "$dir"/orvanecmd-*.zip "$dir"/orvanecmd-*.exe.sig; do
  [ -e "$file" ] || continue
  grep -qxF "${file##*/}" "$tmp/listed" || fail "${file##*/} is in $dir but not listed in SHA256SUMS"
done
[ -n "$sources" ] || fail "the download has no source archive (orvanecmd-<version>-src.tar.gz) in SHA256SUMS or in $dir"
if ! (cd "$dir" && sha256sum -c SHA256SUMS) >"$tmp/sums.log" 2>&1; then
  bad=$(sed -n 's/: FAILED.*//p' "$tmp/sums.log" | head -n 1)
  fail "${bad:-a file} does not match its sum in SHA256SUMS"
fi
echo "sums: ok, the $(wc -l <"$tmp/listed") files listed in SHA256SUMS match"

# The zips unpacked, each with its BUILDINFO; every zip names the same build.
u32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }
u16() { od -An -tu2 --endian=little -j "$2" -N2 "$1" | tr -d ' '; }
signature_size() {  # the size of the PE file's certificate table: 0 when unsigned
  pe=$(u32 "$1" 60)
  if [ "$(u16 "$1" $((pe + 24)))" = 523 ]; then directories=$((pe + 24 + 112)); else directories=$((pe + 24 + 96)); fi
  u32 "$1" $((directories + 4 * 8 + 4))
}
signed=""
for zip in $zips; do
  name=${zip%.zip}
  mkdir -p "$tmp/got/$name"
  unzip -q "$dir/$zip" -d "$tmp/got/$name" || fail "$zip cannot be unpacked"
  [ -f "$tmp/got/$name/$name/BUILDINFO" ] || fail "$zip holds no $name/BUILDINFO"
  exe=$tmp/got/$name/$name/bin/orvanecmd.exe
  [ -f "$exe" ] || fail "$zip holds no $name/bin/orvanecmd.exe"
  if [ "$(signature_size "$exe")" -gt 0 ]; then
    grep -qxF "$name.exe.sig" "$tmp/listed" ||
      fail "the launcher in $zip is signed, but its detached signature $name.exe.sig is not in the download"
    signed="$signed $name"
  else
    ! grep -qxF "$name.exe.sig" "$tmp/listed" ||
      fail "$name.exe.sig is in the download, but the launcher in $zip carries no signature"
  fi
  if [ -z "${buildinfo:-}" ]; then
    buildinfo=$tmp/got/$name/$name/BUILDINFO
    first=$zip
  else
    cmp -s "$buildinfo" "$tmp/got/$name/$name/BUILDINFO" || fail "the BUILDINFO of $zip differs from the one of $first"
  fi
done
for sig in $sigs; do
  grep -qxF "${sig%.exe.sig}.zip" "$tmp/listed" || fail "$sig is in the download, but ${sig%.exe.sig}.zip is not"
done

# 2. The signatures.
if [ -n "$signed" ]; then
  for name in $signed; do
    exe=$tmp/got/$name/$name/bin/orvanecmd.exe
    if ! osslsigncode verify -CAfile "$cafile" -in "$exe" >"$tmp/verify.log" 2>&1; then
      [ -n "$ca" ] || fail "the signature of the launcher in $name.zip does not verify $against (a private CA? give it with --ca FILE)"
      fail "the signature of the launcher in $name.zip does not verify $against"
    fi
    osslsigncode remove-signature -in "$exe" -out "$tmp/$name.unsigned.exe" >/dev/null 2>&1 ||
      fail "the signature of the launcher in $name.zip cannot be removed"
    if ! osslsigncode attach-signature -sigin "$dir/$name.exe.sig" -CAfile "$cafile" -in "$tmp/$name.unsigned.exe" \
      -out "$tmp/$name.attached.exe" >"$tmp/attach.log" 2>&1 </dev/null || ! cmp -s "$tmp/$name.attached.exe" "$exe"; then
      fail "$name.exe.sig is not the signature of the launcher in $name.zip"
    fi
  done
  echo "signatures: ok, every launcher verifies $against, and each .sig is its own launcher's"
else
  [ -z "$ca" ] || fail "--ca was given, but no launcher in the download is signed"
  echo "signatures: none, the release is unsigned"
fi

# 3. The commit.
field() { sed -n "s/^$1 //p" "$buildinfo" | head -n 1; }
commit=$(field commit)
epoch=$(field SOURCE_DATE_EPOCH)
version=$(field version)
printf '%s\n' "$commit" | grep -Eqx '[0-9a-f]{40}' || fail "BUILDINFO names no full commit (\"$commit\")"
if ! git -C "$root" cat-file -e "$commit^{commit}" 2>/dev/null; then
  remote=$(git -C "$root" remote | head -n 1)
  fail "commit $commit (BUILDINFO) is not in the checkout $root: fetch it, e.g. git -C $root fetch ${remote:-<repository>} $commit (or git fetch --all), and run again"
fi
[ "$(git -C "$root" log -1 --format=%ct "$commit")" = "$epoch" ] ||
  fail "BUILDINFO: SOURCE_DATE_EPOCH $epoch is not the time of commit $commit ($(git -C "$root" log -1 --format=%ct "$commit")): BUILDINFO does not describe that commit"
project=$(git -C "$root" show "$commit:CMakeLists.txt" | sed -n 's/^project(orvanecmd VERSION \([0-9][0-9.]*\)[ )].*/\1/p')
[ "$project" = "$version" ] || fail "BUILDINFO: version $version is not the version of commit $commit ($project)"
for file in $zips $sources; do
  case $file in
    orvanecmd-"$version"-*) ;;
    *) fail "$file does not carry the version $version of BUILDINFO" ;;
  esac
done
echo "buildinfo: commit $commit, version $version, SOURCE_DATE_EPOCH $epoch: in this checkout, and that commit's"

# 4. The toolchain, before building.
differs=""
sed -n '4,$p' "$buildinfo" >"$tmp/toolchain"
while read -r package wanted; do
  here=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || true)
  [ "${here:-none}" = "$wanted" ] || differs="$differs; $package ${here:-none} here, $wanted in BUILDINFO"
done <"$tmp/toolchain"
if [ -n "$differs" ]; then
  echo "toolchain: DIFFERS from BUILDINFO's, so the bytes may differ:${differs#;}"
else
  echo "toolchain: the Debian versions of BUILDINFO"
fi

# 5. The rebuild.
if [ -n "${ORVANE_VERIFY_REBUILD:-}" ]; then
  rebuild=$(cd "$ORVANE_VERIFY_REBUILD" && pwd)
  for zip in "$rebuild"/orvanecmd-*.zip; do
    [ -f "$zip" ] || fail "ORVANE_VERIFY_REBUILD: no zip in $rebuild"
    name=$(basename "$zip" .zip)
    [ "$(unzip -p "$zip" "$name/BUILDINFO" | sed -n 's/^commit //p')" = "$commit" ] ||
      fail "ORVANE_VERIFY_REBUILD: $rebuild is not a rebuild of $commit"
  done
  for sig in "$rebuild"/*.sig; do
    [ ! -e "$sig" ] || fail "ORVANE_VERIFY_REBUILD: $rebuild is signed"
  done
  echo "rebuild: given in ORVANE_VERIFY_REBUILD, $rebuild, of commit $commit"
else
  started=$(date +%s)
  common=$(cd "$root" && cd "$(git rev-parse --git-common-dir)" && pwd)
  git init -q "$tmp/src"
  echo "$common/objects" >"$tmp/src/.git/objects/info/alternates"
  [ ! -f "$common/shallow" ] || cp "$common/shallow" "$tmp/src/.git/shallow"
  git -C "$tmp/src" -c advice.detachedHead=false checkout -q --detach "$commit" ||
    fail "commit $commit cannot be checked out"
  [ -x "$tmp/src/scripts/release.sh" ] || fail "commit $commit has no scripts/release.sh"
  rebuild=$tmp/rebuild
  if ! (umask 022 && "$tmp/src/scripts/release.sh" "$rebuild") >"$tmp/rebuild.log" 2>&1; then
    tail -n 20 "$tmp/rebuild.log"
    fail "the rebuild of $commit failed"
  fi
  echo "rebuild: $commit built with its scripts/release.sh in a temporary folder ($(($(date +%s) - started)) s)"
fi

# 6. The comparison.
for zip in "$rebuild"/orvanecmd-*.zip; do
  grep -qxF "${zip##*/}" "$tmp/listed" || fail "the download lacks ${zip##*/}, which the rebuild makes"
done
where() {  # where A B: where two files that differ part
  said=$(cmp "$1" "$2" 2>&1 || true)
  case $said in
    *EOF*) echo "one is a part of the other" ;;
    *) printf '%s\n' "$said" | sed -n 's/.*differ: [a-z]* \([0-9]*\),.*/first at byte \1/p' ;;
  esac
}
entries() { TZ=UTC zipinfo "$1" | awk 'NF >= 9 && $1 ~ /^[-dl]/ { print $1, $2, $3, $5, $6, $7, $8, $9 }'; }
for zip in $zips; do
  name=${zip%.zip}
  mine=$rebuild/$zip
  [ -f "$mine" ] || fail "the rebuild makes no $zip"
  case " $signed " in
    *" $name "*) is_signed=yes ;;
    *) is_signed=no ;;
  esac
  if [ $is_signed = no ] && cmp -s "$dir/$zip" "$mine"; then
    echo "compare $zip: the same bytes as the rebuild"
    continue
  fi
  mkdir -p "$tmp/mine/$name"
  unzip -q "$mine" -d "$tmp/mine/$name"
  unzip -Z1 "$dir/$zip" >"$tmp/got.list"
  unzip -Z1 "$mine" >"$tmp/mine.list"
  if ! cmp -s "$tmp/got.list" "$tmp/mine.list"; then
    # "differ: byte B, line L" names the line; "EOF on FILE after byte B, line L" the
    # last line of the shorter list.
    said=$(cmp "$tmp/got.list" "$tmp/mine.list" 2>&1 || true)
    line=$(printf '%s\n' "$said" | sed -n 's/.* line \([0-9]*\).*/\1/p')
    case $said in
      *EOF*) line=$((${line:-0} + 1)) ;;
    esac
    got=$(sed -n "${line}p" "$tmp/got.list")
    want=$(sed -n "${line}p" "$tmp/mine.list")
    fail "$zip: entry $line is ${got:-missing} in the download, ${want:-missing} in the rebuild"
  fi
  while IFS= read -r entry; do
    if [ "$entry" = "$name/bin/orvanecmd.exe" ] && [ $is_signed = yes ]; then
      cmp -s "$tmp/$name.unsigned.exe" "$tmp/mine/$name/$entry" ||
        fail "$zip: $entry without its signature differs from the rebuild's ($(where "$tmp/$name.unsigned.exe" "$tmp/mine/$name/$entry"))"
      osslsigncode attach-signature -sigin "$dir/$name.exe.sig" -CAfile "$cafile" -in "$tmp/mine/$name/$entry" \
        -out "$tmp/$name.rebuild-signed.exe" >"$tmp/attach.log" 2>&1 </dev/null ||
        fail "$zip: $name.exe.sig cannot be attached to the rebuild's launcher"
      cmp -s "$tmp/$name.rebuild-signed.exe" "$tmp/got/$name/$entry" ||
        fail "$zip: the rebuild's $entry with $name.exe.sig attached differs from the shipped one"
    elif ! cmp -s "$tmp/got/$name/$entry" "$tmp/mine/$name/$entry"; then
      fail "$zip: $entry differs from the rebuild's ($(where "$tmp/got/$name/$entry" "$tmp/mine/$name/$entry"))"
    fi
  done <"$tmp/got.list"
  entries "$dir/$zip" >"$tmp/got.entries"
  entries "$mine" >"$tmp/mine.entries"
  if [ $is_signed = yes ]; then
    cmp -s "$tmp/got.entries" "$tmp/mine.entries" ||
      fail "$zip: the modes or times of its entries differ from the rebuild's: $(diff "$tmp/got.entries" "$tmp/mine.entries" | sed -n 's/^< //p' | head -n 1)"
    echo "compare $zip: every file the rebuild's; its launcher is the rebuild's with $name.exe.sig attached"
  else
    fail "$zip: every file is the rebuild's, but the zip's own bytes differ (the entries' modes, times or fields): $(diff "$tmp/got.entries" "$tmp/mine.entries" | sed -n 's/^< //p' | head -n 1)"
  fi
done
# The sources: the download has one (checked with the sums), and it must be the rebuild's.
for source in "$rebuild"/orvanecmd-*-src.tar.gz; do
  [ ! -e "$source" ] || grep -qxF "${source##*/}" "$tmp/listed" ||
    fail "the download lacks ${source##*/}, which the rebuild makes"
done
for source in $sources; do
  [ -f "$rebuild/$source" ] || fail "the rebuild makes no $source"
  cmp -s "$dir/$source" "$rebuild/$source" ||
    fail "$source differs from the rebuild's, the sources of commit $commit ($(where "$dir/$source" "$rebuild/$source"))"
  echo "compare $source: the same bytes as the rebuild's, the sources of commit $commit"
done
echo "OK: $dir is the release of commit $commit, rebuilt here and matched byte for byte"
