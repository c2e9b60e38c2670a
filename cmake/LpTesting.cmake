# Test helpers shared by every tests/<area>/CMakeLists.txt.
if(CMAKE_CROSSCOMPILING)
  # No GoogleTest package for the target: built here from Debian's source (which names
  # its targets GTest::gtest and GTest::gtest_main itself).
  set(LP_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source for cross builds")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${LP_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# lp_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...] [LOCK ...] [TIMEOUT s])
# Builds one GoogleTest executable and registers each of its tests with CTest.
# LABELS "threaded" marks the tests that CI also runs under ThreadSanitizer.
# LOCK names a CTest resource lock (fixed ports, the X display, network namespaces).
function(lp_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;LOCK" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    LP_SOURCE_DIR="${PROJECT_SOURCE_DIR}" LP_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_LOCK}")
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    # Run through a guard that fails a program which ends before its tests do.
    set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR
      ${PROJECT_SOURCE_DIR}/tests/support/gtest-guard.sh)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
