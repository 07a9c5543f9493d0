#!/bin/sh
# Prints the Debian versions of what the release's bytes depend on, one "name version"
# a line (a package that is not installed shows as "none"):
#   scripts/toolchain-versions.sh
# scripts/release.sh writes them into each zip's BUILDINFO; scripts/verify-release.sh
# compares them with a download's.
set -eu
for package in g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 \
  binutils-mingw-w64-i686 mingw-w64-x86-64-dev mingw-w64-i686-dev cmake zip osslsigncode git gzip; do
  version=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || true)
  printf '%s %s\n' "$package" "${version:-none}"
done
