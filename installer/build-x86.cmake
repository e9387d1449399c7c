# Builds the 32-bit driver library and console host that the installer and
# its tests take from the 32-bit build (the windows32 preset's folder, or
# KSASIO_X86_BUILD_DIR), configuring that build on first use with the
# brand and build type of the 64-bit build.
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DBRAND=... -DBUILD_TYPE=... -DGENERATOR=... -P build-x86.cmake
foreach(variable SOURCE_DIR BINARY_DIR BRAND BUILD_TYPE GENERATOR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "build-x86.cmake: ${variable} not given")
  endif()
endforeach()

set(cache ${BINARY_DIR}/CMakeCache.txt)
if(EXISTS ${cache})
  # A 32-bit build of another brand would ship a driver with another class
  # identifier and other keys than the installer writes.
  file(STRINGS ${cache} brand_line REGEX "^BRAND:")
  file(STRINGS ${cache} toolchain_line REGEX "^CMAKE_TOOLCHAIN_FILE:")
  if(NOT brand_line MATCHES "=${BRAND}$")
    message(FATAL_ERROR "${BINARY_DIR} is a build of another brand (${brand_line}); the installer of this "
                        "${BRAND} build needs a ${BRAND} 32-bit driver: set KSASIO_X86_BUILD_DIR to another folder")
  endif()
  if(NOT toolchain_line MATCHES "i686")
    message(FATAL_ERROR "${BINARY_DIR} is no 32-bit Windows build (${toolchain_line})")
  endif()
else()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} -G ${GENERATOR}
      -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-w64-i686.cmake
      -DBRAND=${BRAND} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DBUILD_TESTING=ON
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Configuring the 32-bit build in ${BINARY_DIR} failed")
  endif()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} --target ksasio_driver_library asio_host
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Building the 32-bit driver in ${BINARY_DIR} failed")
endif()
