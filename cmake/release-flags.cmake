# Hardening of the Windows builds: a strong stack protector, control-flow protection
# (endbr at function entries) and _FORTIFY_SOURCE in the optimised configurations.
# ld already links with ASLR (high-entropy on x64), NX and relocations. The protector's
# runtime is linked statically, so nothing needs libssp-0.dll; it seeds its canary
# through ADVAPI32. Every program and library made below links it, and the exported
# libraries hand it on to their callers.
option(ORVANE_HARDEN "Windows builds: stack protector, control-flow protection, _FORTIFY_SOURCE" ON)
set(ORVANE_SSP_LIBRARIES "")
set(ORVANE_PC_SSP_LIBS "")  # the same in orvanecmd.pc
if(WIN32 AND ORVANE_HARDEN)
  add_compile_options(-fstack-protector-strong -fcf-protection=full)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  # -l:libssp.a and not -lssp: a caller linking without -static must not get the DLL.
  set(ORVANE_SSP_LIBRARIES -l:libssp.a advapi32)
  set(ORVANE_PC_SSP_LIBS " -l:libssp.a -ladvapi32")
  link_libraries(${ORVANE_SSP_LIBRARIES})
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
  add_compile_options(-ffile-prefix-map=${CMAKE_BINARY_DIR}/=build/ -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
endif()
