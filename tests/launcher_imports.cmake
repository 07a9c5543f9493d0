# cmake -DOBJDUMP=<objdump> -DPROGRAM=<orvanecmd.exe or a caller of the library> -P launcher_imports.cmake
# The hardened launcher seeds its stack guard with RtlGenRandom (SystemFunction036).
# libssp's guard, if linked instead, seeds through CryptAcquireContextA, which loads the
# crypto libraries at every start.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE imports RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${status}")
endif()
if(imports MATCHES "CryptAcquireContext")
  message(FATAL_ERROR "${PROGRAM} imports CryptAcquireContext: libssp's guard is linked")
endif()
if(NOT imports MATCHES "[ \t]SystemFunction036[\r\n]")
  message(FATAL_ERROR "${PROGRAM} does not import SystemFunction036 (RtlGenRandom)")
endif()
