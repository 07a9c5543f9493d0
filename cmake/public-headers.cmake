# The public headers (ORVANE_PUBLIC_HEADERS) are included as "support/sha1.h" or as
# <orvanecmd/support/sha1.h>. Installed, they live under include/orvanecmd/ and both
# include/ and include/orvanecmd/ are searched; in this build tree, the second form
# reaches them through one-line forwarding headers under the build's include/.
set(ORVANE_FORWARDING_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
foreach(header IN LISTS ORVANE_PUBLIC_HEADERS)
  file(CONFIGURE OUTPUT ${ORVANE_FORWARDING_INCLUDE_DIR}/orvanecmd/${header}
       CONTENT "#include \"${PROJECT_SOURCE_DIR}/${header}\"\n")
endforeach()
# support/version.h is made from the project's version, in the build's include/orvanecmd/,
# which is searched too: both forms reach it here as they do installed.
set(ORVANE_VERSION_HEADER ${ORVANE_FORWARDING_INCLUDE_DIR}/orvanecmd/support/version.h)
configure_file(${PROJECT_SOURCE_DIR}/support/version.h.in ${ORVANE_VERSION_HEADER} @ONLY)

# orvane_public_includes(<target>): what a caller of <target> gets on its include path, and
# the standard it must compile the headers with: C++11, its own when newer. The library
# itself is built as C++17.
function(orvane_public_includes target)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<BUILD_INTERFACE:${ORVANE_FORWARDING_INCLUDE_DIR}>
    $<BUILD_INTERFACE:${ORVANE_FORWARDING_INCLUDE_DIR}/orvanecmd>
    $<INSTALL_INTERFACE:include/orvanecmd> $<INSTALL_INTERFACE:include>)
  target_compile_features(${target} PRIVATE cxx_std_17 INTERFACE cxx_std_11)
endfunction()
