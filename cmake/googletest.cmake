# GoogleTest is built from the Debian source package so that the same
# sources serve the host, sanitizer and cross builds.
set(UPGRADER_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${UPGRADER_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${UPGRADER_GTEST_SOURCE_DIR}; run scripts/install-deps.sh")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${UPGRADER_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# upgrader_test(<name> SOURCES <files...> [DEPS <targets...>])
# One test program; every test case runs as a process of its own, so cases
# that change process-wide state (logger, IPC registration, namespaces) start
# clean.
function(upgrader_test name)
  cmake_parse_arguments(T "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_DEPS} GTest::gtest_main upgrader_warnings)
  # A case skipped because its isolation could not be set up has tested
  # nothing: count it as a failure rather than a pass.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 120 FAIL_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endfunction()
