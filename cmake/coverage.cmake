# Included by the top CMakeLists.txt when ORVANE_COVERAGE is on, before any product
# target is made. g++ (the Windows build) writes gcov data at -O0; clang (the host
# build) uses its source-based coverage.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  if(WIN32)
    # mingw-w64 dumps gcov data before the static destructors have run. Every
    # program links gcov_dump.c, which dumps after them instead. It is made before
    # the flags below, so it is not instrumented itself.
    add_library(orvane_gcov_dump STATIC ${CMAKE_CURRENT_LIST_DIR}/gcov_dump.c)
    add_link_options(-Wl,--wrap=__gcov_exit)
    # Linked into each program and DLL once all are defined (not into the static
    # libraries, which are installed without it).
    function(orvane_link_gcov_dump directory)
      get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
      foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE" OR type STREQUAL "SHARED_LIBRARY")
          target_link_libraries(${target} PRIVATE orvane_gcov_dump)
        endif()
      endforeach()
      get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
      foreach(subdirectory IN LISTS subdirectories)
        orvane_link_gcov_dump(${subdirectory})
      endforeach()
    endfunction()
    cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL orvane_link_gcov_dump ${PROJECT_SOURCE_DIR})
  endif()
  # One body per constructor and destructor, called from each ABI entry point:
  # otherwise g++ emits two copies and counts the branches of the unused one.
  add_compile_options(--coverage -O0 -fdeclone-ctor-dtor)
  add_link_options(--coverage)
elseif(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT WIN32)
  add_compile_options(-fprofile-instr-generate -fcoverage-mapping)
  add_link_options(-fprofile-instr-generate)
else()
  message(FATAL_ERROR "ORVANE_COVERAGE: g++ for Windows or clang for the host")
endif()
