#!/bin/sh
# Builds everything and runs the whole test suite: the three Windows builds under Wine
# (x64 g++ with the slow two-minute run, x86 g++ with the hand-offs across bitness,
# x64 clang), the release zips checked by building a caller against them, and the host
# build with sanitizers and fuzzers.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
status=0
cmake --preset windows
cmake --build --preset windows -j"$jobs"
# The x64 tests, with the slow two-minute run, go on while the other builds are made;
# the x86 build's cross-bitness test then finds the x64 programs built.
ctest --preset windows -j3 >build/windows/ctest.log 2>&1 &
windows_tests=$!
for preset in windows-x86 windows-clang host; do
  cmake --preset $preset
  cmake --build --preset $preset -j"$jobs"
done
ctest --preset windows-x86 -j3 || status=1
ctest --preset windows-clang -j3 || status=1
wait $windows_tests || status=1
cat build/windows/ctest.log
scripts/check-release.sh windows cmake/mingw-w64-x86_64.cmake cmake/clang-mingw-w64-x86_64.cmake || status=1
scripts/check-release.sh windows-x86 cmake/mingw-w64-i686.cmake || status=1
ctest --preset host -j"$jobs" || status=1
scripts/coverage.sh || status=1
exit $status
