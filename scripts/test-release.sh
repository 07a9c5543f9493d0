#!/bin/sh
# The release, proved on every change (run by scripts/test.sh):
# - scripts/release.sh twice, from this checkout and from a clone in another folder,
#   with other time zones, locales and umasks: the zips and SHA256SUMS must be equal;
# - once more signed with a throwaway CA and code-signing key made here: verified
#   against that CA, the signature removed gives the unsigned build, and the detached
#   signature attached to the other folder's unsigned build gives the signed exe;
#   the password shows in no output and on no command line of osslsigncode;
# - scripts/check-hardening.sh must refuse a launcher built without the flags;
# - scripts/check-release.sh builds and runs the consumer against both zips.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh release
dir=$root/build/release
rm -rf "$dir"
mkdir -p "$dir"
fail() {
  echo "release test FAILED: $*" >&2
  exit 1
}

started=$(date +%s)
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
(cd "$dir/s" && sha256sum -c SHA256SUMS) || fail "sha256sum -c of the signed release"

for zip in "$dir"/s/orvanecmd-*.zip; do
  name=$(basename "$zip" .zip)
  trip=$dir/trip-$name
  mkdir -p "$trip/s" "$trip/b"
  (cd "$trip/s" && cmake -E tar xf "$zip")
  (cd "$trip/b" && cmake -E tar xf "$dir/b/$name.zip")
  signed=$trip/s/$name/bin/orvanecmd.exe
  unsigned=$trip/b/$name/bin/orvanecmd.exe
  osslsigncode verify -CAfile "$key/ca.pem" -in "$signed" >"$trip/verify.log" 2>&1 ||
    { cat "$trip/verify.log"; fail "$name: the signature does not verify"; }
  osslsigncode remove-signature -in "$signed" -out "$trip/removed.exe" >/dev/null
  cmp "$trip/removed.exe" "$unsigned" || fail "$name: the signed exe minus its signature is not the unsigned build"
  osslsigncode attach-signature -sigin "$dir/s/$name.exe.sig" -CAfile "$key/ca.pem" -in "$unsigned" \
    -out "$trip/attached.exe" >"$trip/attach.log" 2>&1 || { cat "$trip/attach.log"; fail "$name: attach-signature"; }
  cmp "$trip/attached.exe" "$signed" || fail "$name: the detached signature on the unsigned build is not the signed exe"
  echo "$name: signature verified; removed and attached again, byte for byte"
done

# A launcher without the flags (and linked without ASLR, NX and relocations, with an
# import from winmm.dll and a writable code section) must fail every property.
bare=$dir/unhardened
cmake -S . -B "$bare" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANE_BUILD_TESTS=OFF -DORVANE_HARDEN=OFF \
  "-DCMAKE_EXE_LINKER_FLAGS=-Wl,--disable-dynamicbase,--disable-high-entropy-va,--disable-nxcompat,--disable-reloc-section -Wl,-u,mciSendCommandA -lwinmm" \
  >/dev/null
cmake --build "$bare" -j2 --target orvanecmd >/dev/null
x86_64-w64-mingw32-objcopy --set-section-flags .data=contents,alloc,load,data,code "$bare/bin/orvanecmd.exe" \
  "$bare/orvanecmd.exe"
if scripts/check-hardening.sh "$bare/orvanecmd.exe:$bare/bin/orvanecmd.exe" >"$bare/check.txt"; then
  cat "$bare/check.txt"
  fail "the hardening check passed a launcher built without the flags"
fi
cat "$bare/check.txt"
[ "$(grep -c ' MISSING ' "$bare/check.txt")" -eq 8 ] || fail "the hardening check missed a property of that launcher"
echo "the hardening check refused the launcher built without the flags, as it must"

scripts/check-release.sh "$dir"/a/orvanecmd-*-win64.zip cmake/mingw-w64-x86_64.cmake cmake/clang-mingw-w64-x86_64.cmake
scripts/check-release.sh "$dir"/a/orvanecmd-*-win32.zip cmake/mingw-w64-i686.cmake
