# Hardening of the Windows builds: a strong stack protector, control-flow protection
# (endbr at function entries) and _FORTIFY_SOURCE in the optimised configurations.
# ld already links with ASLR (high-entropy on x64), NX and relocations. The protector's
# runtime (libssp) is linked statically, so nothing needs libssp-0.dll.
option(ORVANE_HARDEN "Windows builds: stack protector, control-flow protection, _FORTIFY_SOURCE" ON)
# What links the stack guard and the protector's runtime into a program: the exported
# libraries hand it on to their callers.
add_library(orvane_ssp INTERFACE)
set(ORVANE_PC_SSP_LIBS "")  # the same in orvanecmd.pc
set(ORVANE_PC_LIBSSP_LIBS "")  # and in orvanecmd-libssp.pc, with libssp's own guard
if(WIN32 AND ORVANE_HARDEN)
  add_compile_options(-fstack-protector-strong -fcf-protection=full)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  # The launcher's guard (orvane_stack_guard, made in launcher/) for the callers of the
  # libraries: libssp's own guard seeds through CryptAcquireContextA, which loads the
  # RSA provider and the crypto libraries at every start. Linked ahead of libssp, whose
  # guard the linker then never takes; libssp still gives the _FORTIFY_SOURCE checks.
  # -l:libssp.a and not -lssp: a caller linking without -static must not get the DLL.
  # A parent project that takes us in as a subproject chooses as a package caller does.
  if(ORVANECMD_LIBSSP_GUARD AND NOT PROJECT_IS_TOP_LEVEL)
    target_link_libraries(orvane_ssp INTERFACE -l:libssp.a advapi32)
  else()
    target_link_libraries(orvane_ssp INTERFACE orvane_stack_guard -l:libssp.a advapi32)
  endif()
  set(ORVANE_PC_SSP_LIBS " -lorvane_stack_guard -l:libssp.a -ladvapi32")
  set(ORVANE_PC_LIBSSP_LIBS " -l:libssp.a -ladvapi32")
  # Every program of this build gets the runtime at the end of its link line.
  foreach(lang C CXX)
    set(CMAKE_${lang}_STANDARD_LIBRARIES "-l:libssp.a -ladvapi32 ${CMAKE_${lang}_STANDARD_LIBRARIES}")
  endforeach()
endif()

# No clock in the PE header.
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
# Release builds record the source and build folders as relative paths, so the
# binaries and the debug information of the libraries do not depend on where they
# were built.
option(ORVANE_MAP_PATHS "Record the source and build folders as relative paths" OFF)
if(ORVANE_MAP_PATHS)
  add_compile_options(-ffile-prefix-map=${PROJECT_BINARY_DIR}/=build/ -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=)
endif()
