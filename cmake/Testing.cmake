# Test support shared by the native and the Windows build.
#
# Natively GoogleTest comes from Debian's libgtest-dev; for the Windows build
# it is compiled from the googletest source package under /usr/src.
# Every test executable is one CTest entry: under Wine each process start
# costs about a second, so per-test-case entries would make the run crawl.
if(NOT BUILD_TESTING)
  return()
endif()
enable_testing()

if(CMAKE_CROSSCOMPILING)
  set(GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "googletest sources for the cross build")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # googletest is not ours to keep warning-free.
  foreach(t gtest gtest_main gmock gmock_main)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -w)
    endif()
  endforeach()
  # googletest 1.12 declares the GTest:: aliases itself.
  foreach(t gtest gtest_main gmock)
    if(NOT TARGET GTest::${t})
      add_library(GTest::${t} ALIAS ${t})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()

# The Wine server is started once for the whole run and shut down at its end.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  add_test(NAME wine_server_start COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --start-server)
  set_tests_properties(wine_server_start PROPERTIES FIXTURES_SETUP wine)
  add_test(NAME wine_server_stop COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --stop-server)
  set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Says so at once when the 32-bit loader is missing.
    add_test(NAME wine_32bit_loader COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --require-32bit)
    set_tests_properties(wine_32bit_loader PROPERTIES FIXTURES_SETUP wine)
  endif()
endif()

# ksasio_add_test(<name> SOURCES ... [LIBS ...] [TIMEOUT s])
# One executable, linked with the given subsystem libraries and GoogleTest, run as one
# CTest entry (under Wine when cross-compiling).
function(ksasio_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
endfunction()
