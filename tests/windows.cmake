# Test suites of the Windows (MinGW-w64) cross build, run under wine as the emulator
# (cmake/mingw-w64-x86_64.cmake). No GoogleTest for Windows is installed: it is built here from
# the sources Debian's googletest package puts in /usr/src/googletest.
set(GATEWISE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for the cross-compiled test suites")
if(NOT EXISTS ${GATEWISE_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${GATEWISE_GTEST_SOURCE_DIR} (Debian: googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${GATEWISE_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest's own CMakeLists names them GTest::gtest and GTest::gtest_main, as find_package does.

# Every wine start costs up to a second, so a suite runs as one ctest test per
# gtest_discover_tests call (its TEST_FILTER, EXTRA_ARGS and PROPERTIES kept), not one per case.
function(gtest_discover_tests target)
  cmake_parse_arguments(ARG "" "TEST_FILTER" "EXTRA_ARGS;PROPERTIES" ${ARGN})
  get_property(count TARGET ${target} PROPERTY GATEWISE_TEST_COUNT)
  if(NOT count)
    set(count 0)
  endif()
  math(EXPR count "${count} + 1")
  set_property(TARGET ${target} PROPERTY GATEWISE_TEST_COUNT ${count})
  set(filter)
  if(ARG_TEST_FILTER)
    set(filter --gtest_filter=${ARG_TEST_FILTER})
  endif()
  add_test(NAME ${target}_${count} COMMAND ${target} ${filter} ${ARG_EXTRA_ARGS})
  if(ARG_PROPERTIES)
    set_tests_properties(${target}_${count} PROPERTIES ${ARG_PROPERTIES})
  endif()
endfunction()

# The suites whose code and tests are pure C++ or go through the platform files; the rest test
# Linux itself (processes, signals, /proc, network namespaces).
add_subdirectory(support)
foreach(suite core net standard engine)
  add_subdirectory(${suite})
endforeach()
# The desktop application's suite, in the build that has Qt for Windows (a Qt cross-built by
# scripts/qt-mingw.sh; scripts/windows-build.sh configures build/win-app so).
if(TARGET gatewise_app)
  add_subdirectory(app)
endif()
