# Cross-compiling for 64-bit Windows with mingw-w64 g++ (posix thread flavour).
set(ORVANE_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER ${ORVANE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVANE_TRIPLE}-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
