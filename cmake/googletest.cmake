# The GoogleTest that the tests link, as orvane_gtest and orvane_gtest_main: the parent
# project's own when it has one; else, in a parent project that builds for the machine it
# runs on, an installed one; else the distribution's sources, built here for this
# toolchain (before our warning flags are set) with their install rules off. No cache
# value is set for the parent.
add_library(orvane_gtest INTERFACE)
add_library(orvane_gtest_main INTERFACE)
if(NOT TARGET GTest::gtest_main AND NOT PROJECT_IS_TOP_LEVEL AND NOT CMAKE_CROSSCOMPILING)
  find_package(GTest CONFIG QUIET)
endif()
if(TARGET GTest::gtest_main)
  target_link_libraries(orvane_gtest INTERFACE GTest::gtest)
  target_link_libraries(orvane_gtest_main INTERFACE GTest::gtest_main)
  return()
endif()
set(INSTALL_GTEST OFF)
set(gtest_force_shared_crt ON)
add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest puts its libraries into lib/ and bin/ of the top build folder, which is the
# parent's when we are a subproject: ours go into our own.
foreach(target gtest gtest_main gmock gmock_main)
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES
      ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib
      RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin PDB_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
  endif()
endforeach()
target_link_libraries(orvane_gtest INTERFACE gtest)
target_link_libraries(orvane_gtest_main INTERFACE gtest_main)
