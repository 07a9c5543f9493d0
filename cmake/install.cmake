# The release (ORVANE_INSTALL): the launcher, the support library with the headers a
# caller needs, a CMake package, so that a caller can find_package(orvanecmd), and a
# pkg-config file; with a Windows toolchain, the toolchain files and a CPack zip.
include(CMakePackageConfigHelpers)
install(TARGETS ${ORVANE_LIBRARIES} EXPORT orvanecmdTargets ARCHIVE DESTINATION lib)
foreach(header IN LISTS ORVANE_PUBLIC_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION include/orvanecmd/${folder})
endforeach()
install(FILES ${ORVANE_VERSION_HEADER} DESTINATION include/orvanecmd/support)
install(EXPORT orvanecmdTargets NAMESPACE orvanecmd:: DESTINATION lib/cmake/orvanecmd)
configure_package_config_file(cmake/orvanecmdConfig.cmake.in ${PROJECT_BINARY_DIR}/orvanecmdConfig.cmake
                              INSTALL_DESTINATION lib/cmake/orvanecmd)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvanecmdConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orvanecmdConfig.cmake ${PROJECT_BINARY_DIR}/orvanecmdConfigVersion.cmake
        DESTINATION lib/cmake/orvanecmd)
# The documents where a package puts them.
install(FILES README.md CHANGELOG.md DESTINATION share/doc/orvanecmd)
install(DIRECTORY docs/ DESTINATION share/doc/orvanecmd/docs)
if(NOT WIN32)
  return()
endif()

# The same for pkg-config callers (Meson, Make), relocatable like the CMake package.
configure_file(cmake/orvanecmd.pc.in ${PROJECT_BINARY_DIR}/orvanecmd.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orvanecmd.pc DESTINATION lib/pkgconfig)
if(ORVANE_PC_LIBSSP_LIBS)
  # The same with libssp's own guard in place of the library's.
  set(ORVANE_PC_SSP_LIBS "${ORVANE_PC_LIBSSP_LIBS}")
  configure_file(cmake/orvanecmd.pc.in ${PROJECT_BINARY_DIR}/orvanecmd-libssp.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/orvanecmd-libssp.pc DESTINATION lib/pkgconfig)
endif()
# The toolchain file this build used, when it is one of ours, with the file it includes and
# the Wine runner it names as the emulator: a caller builds with the compiler the library was
# built with.
if(CMAKE_TOOLCHAIN_FILE)
  get_filename_component(toolchain "${CMAKE_TOOLCHAIN_FILE}" NAME)
  file(REAL_PATH "${CMAKE_TOOLCHAIN_FILE}" used BASE_DIRECTORY "${CMAKE_BINARY_DIR}")
  file(REAL_PATH "${PROJECT_SOURCE_DIR}/cmake/${toolchain}" ours)
  if(used STREQUAL ours AND EXISTS "${ours}")
    install(FILES cmake/${toolchain} cmake/mingw-w64-common.cmake cmake/wine-env.sh
            DESTINATION share/orvanecmd/toolchains)
    install(PROGRAMS cmake/wine-run.sh DESTINATION share/orvanecmd/toolchains)
  endif()
endif()
if(TARGET orvanecmd)
  install(TARGETS orvanecmd RUNTIME DESTINATION bin)
endif()
# One zip per architecture: orvanecmd-<version>-win64.zip or -win32.zip. The
# launcher is stripped of its symbols on the way in.
set(CPACK_GENERATOR ZIP)
# CPack writes its configuration into the top build folder unless told: as a subproject,
# into our own (cpack --config <our build folder>/CPackConfig.cmake), never over the parent's.
set(CPACK_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackConfig.cmake)
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake)
set(CPACK_STRIP_FILES ON)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_SYSTEM_NAME win32)
endif()
include(CPack)
