# Cross-compiling for 32-bit Windows with mingw-w64 g++ (posix thread flavour).
set(ORVANE_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER ${ORVANE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVANE_TRIPLE}-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
