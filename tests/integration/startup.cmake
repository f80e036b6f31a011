# Start-up, identities and locks, and the failure table, judged from outside
# the program in simulated telephones. probe_locks holds semaphore keys the
# way another upgrader would, then becomes the command it is given.
add_executable(probe_locks probe_locks.cpp)
target_link_libraries(probe_locks PRIVATE semctrl upgrader_warnings)

upgrader_integration_test(startup_test SOURCES startup_test.cpp DEPS basicui rl_log)
target_compile_definitions(startup_test PRIVATE PROBE_LOCKS_BIN="$<TARGET_FILE:probe_locks>"
                           TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
add_dependencies(startup_test probe_locks)
