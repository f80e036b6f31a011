# Failure reporting, reboot and watchdog; auto-provision housekeeping.
upgrader_test(failure_test SOURCES upgrader/failure_test.cpp DEPS failure testsupport)
upgrader_test(autop_test SOURCES upgrader/autop_test.cpp DEPS autop testsupport)
