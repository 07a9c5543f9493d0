# Cross-compiling for 64-bit Windows with clang and lld, on the mingw-w64 runtime
# and the C++ library of the mingw-w64 g++ (posix thread flavour).
set(ORVANE_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${ORVANE_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${ORVANE_TRIPLE})
set(gcc_dir /usr/lib/gcc/${ORVANE_TRIPLE}/12-posix)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gcc_dir}/include/c++ -isystem ${gcc_dir}/include/c++/${ORVANE_TRIPLE}")
# libstdc++ of the posix flavour needs winpthread; lld finds archive members in
# any order, so it can stand before the objects.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_dir} -lpthread")
# DLLs link the same way.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
