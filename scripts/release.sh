#!/bin/sh
# Builds the release of the checkout's HEAD for 64-bit and 32-bit Windows and writes
# into OUTDIR orvanecmd-<version>-win64.zip, orvanecmd-<version>-win32.zip, the
# commit's sources orvanecmd-<version>-src.tar.gz and SHA256SUMS, and with a signing
# key also each launcher's detached signature, orvanecmd-<version>-<arch>.exe.sig:
#   scripts/release.sh OUTDIR
# Each zip holds BUILDINFO: the commit, SOURCE_DATE_EPOCH, the version and the Debian
# versions of the toolchain (scripts/toolchain-versions.sh), one "name value" a line;
# the launcher's product version names the commit. scripts/verify-release.sh checks a
# release against a rebuild of that commit.
# The same commit gives the same bytes wherever, whenever and by whomever it is built:
# the sources come from the commit alone, every time is the commit's, and no build
# folder is recorded. Each launcher must pass scripts/check-hardening.sh.
# Signing (Authenticode, SHA-256), when ORVANE_SIGN_PKCS12 names a PKCS#12 file:
#   ORVANE_SIGN_PASSWORD       its password (empty for none); never put on a command line
#   ORVANE_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamping server
set -eu
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" release
mkdir -p "$1"
out=$(cd "$1" && pwd)
export LC_ALL=C TZ=UTC
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct HEAD)
export SOURCE_DATE_EPOCH
commit=$(git -C "$root" rev-parse HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "note: the checkout has uncommitted changes; the release is built from $commit without them"
fi

signing=no
if [ -n "${ORVANE_SIGN_PKCS12:-}" ]; then
  [ -f "$ORVANE_SIGN_PKCS12" ] || { echo "ORVANE_SIGN_PKCS12: no file $ORVANE_SIGN_PKCS12" >&2; exit 1; }
  [ -n "${ORVANE_SIGN_PASSWORD+set}" ] || { echo "ORVANE_SIGN_PASSWORD is not set (set it empty for a key without one)" >&2; exit 1; }
  signing=yes
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM  # so that the folder, with any password file, goes then too
mkdir "$work/src"
git -C "$root" archive --format=tar "$commit" | tar -x -C "$work/src"
"$work/src/scripts/check-changelog.sh" "$work/src/CHANGELOG.md" "$work/src/CMakeLists.txt"
rm -f "$out"/orvanecmd-*.zip "$out"/orvanecmd-*-src.tar.gz "$out"/orvanecmd-*.exe.sig "$out/SHA256SUMS"

# The key's password goes to osslsigncode through a file only its owner can read.
sign() {  # sign UNSIGNED SIGNED
  (umask 077 && printf '%s' "$ORVANE_SIGN_PASSWORD" >"$work/password")
  set -- sign -pkcs12 "$ORVANE_SIGN_PKCS12" -readpass "$work/password" -h sha256 -n orvanecmd \
    -in "$1" -out "$2"
  if [ -n "${ORVANE_SIGN_TIMESTAMP_URL:-}" ]; then
    set -- "$@" -ts "$ORVANE_SIGN_TIMESTAMP_URL"
  fi
  result=0
  osslsigncode "$@" >"$work/sign.log" 2>&1 || result=$?
  rm -f "$work/password"
  if [ $result -ne 0 ]; then
    cat "$work/sign.log" >&2
    echo "signing failed" >&2
    exit 1
  fi
}

for target in win64:mingw-w64-x86_64 win32:mingw-w64-i686; do
  arch=${target%%:*}
  build=$work/build-$arch
  echo "== $arch"
  cmake -S "$work/src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/${target#*:}.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=OFF -DORVANE_HARDEN=ON -DORVANE_MAP_PATHS=ON \
    -DORVANE_COMMIT="$commit" >/dev/null
  cmake --build "$build" -j2 --target orvanecmd orvane_support >/dev/null
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  name=orvanecmd-$version-$arch
  stage=$work/stage-$arch
  cmake --install "$build" --prefix "$stage/$name" --strip >/dev/null
  {
    printf 'commit %s\nSOURCE_DATE_EPOCH %s\nversion %s\n' "$commit" "$SOURCE_DATE_EPOCH" "$version"
    "$root/scripts/toolchain-versions.sh"
  } >"$stage/$name/BUILDINFO"
  exe=$stage/$name/bin/orvanecmd.exe
  # A signature starts on an 8-byte boundary: the signer pads a shorter file, and
  # removing the signature keeps the padding. Padded here, the unsigned launcher is the
  # signed one minus its signature, byte for byte. (The x86 launcher ends with the
  # 14-byte table that names its .eh_frame section.)
  size=$(wc -c <"$exe")
  pad=$(((8 - size % 8) % 8))
  if [ $pad -ne 0 ]; then
    head -c $pad /dev/zero >>"$exe"
    # The PE checksum adds the file's length to the sum of its words: zeros add only
    # to the length.
    at=$(($(od -An -tu4 --endian=little -j60 -N4 "$exe") + 24 + 64))
    sum=$(($(od -An -tu4 --endian=little -j$at -N4 "$exe") + pad))
    # shellcheck disable=SC2059 # the format is the four bytes as octal escapes
    printf "$(printf '\\%03o' $((sum & 255)) $((sum >> 8 & 255)) $((sum >> 16 & 255)) $((sum >> 24 & 255)))" |
      dd of="$exe" bs=1 seek=$at conv=notrunc 2>/dev/null
  fi
  hardened=0
  (cd "$stage" && "$root/scripts/check-hardening.sh" "$name/bin/orvanecmd.exe:$build/bin/orvanecmd.exe") || hardened=$?
  [ $hardened -eq 0 ] || { echo "$name/bin/orvanecmd.exe is not hardened" >&2; exit 1; }

  if [ $signing = yes ]; then
    sign "$exe" "$work/signed.exe"
    osslsigncode extract-signature -in "$work/signed.exe" -out "$out/$name.exe.sig" >/dev/null
    # The signed launcher minus its signature must be the reproducible one.
    osslsigncode remove-signature -in "$work/signed.exe" -out "$work/unsigned.exe" >/dev/null
    cmp -s "$work/unsigned.exe" "$exe" || { echo "the signed launcher is not the unsigned one plus a signature" >&2; exit 1; }
    mv "$work/signed.exe" "$exe"
    rm -f "$work/unsigned.exe"
  fi

  # Fixed order, times and modes in the zip; no owners or extra time fields (-X).
  (
    cd "$stage"
    find "$name" -type d -exec chmod 755 {} +
    find "$name" -type f -exec chmod 644 {} +
    chmod 755 "$name/bin/orvanecmd.exe" "$name/share/orvanecmd/toolchains/wine-run.sh"
    find "$name" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    find "$name" -type f | sort | zip -X -D -q -@ "$out/$name.zip"
  )
done

# The commit's sources, for callers that build the library in their own project
# (FetchContent with URL and URL_HASH, add_subdirectory): git's tar, in which every time
# is the commit's, compressed without a file name or time.
git -C "$root" -c core.autocrlf=false -c tar.umask=0022 archive --format=tar --prefix="orvanecmd-$version/" \
  "$commit" | gzip -n -9 >"$out/orvanecmd-$version-src.tar.gz"

(
  cd "$out"
  set -- orvanecmd-*.zip orvanecmd-*-src.tar.gz
  [ $signing = no ] || set -- "$@" orvanecmd-*.exe.sig
  sha256sum "$@" >SHA256SUMS
)
echo "== $out (commit $commit, SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH)"
if [ $signing = yes ]; then
  echo "signed with $(basename "$ORVANE_SIGN_PKCS12")${ORVANE_SIGN_TIMESTAMP_URL:+, time-stamped}"
else
  echo "UNSIGNED: no ORVANE_SIGN_PKCS12 given"
fi
cat "$out/SHA256SUMS"
