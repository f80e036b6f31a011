# Upgrade states, endings, the reboot key and the auto-provision housekeeping
# as a user or a peer of the telephone sees them. The expected screens are
# drawn here with the UI library; a small probe sends raw key events.
upgrader_integration_test(outcomes_test SOURCES outcomes_test.cpp DEPS basicui)
add_executable(outcome_probe_keys outcome_probe_keys.cpp)
target_link_libraries(outcome_probe_keys PRIVATE upgrader_warnings)
target_compile_definitions(outcomes_test PRIVATE
  OUTCOME_PROBE_KEYS="$<TARGET_FILE:outcome_probe_keys>")
add_dependencies(outcomes_test outcome_probe_keys)
