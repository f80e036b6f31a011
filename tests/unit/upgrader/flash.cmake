# The flash writer is compiled into its test from source, with a recording
# stand-in for the UI facade instead of the basicui library, so the progress
# bar's course is seen value by value; the MTD devices are stand-ins whose
# requests the test answers itself.
upgrader_test(flash_fakedev_test
              SOURCES upgrader/flash_fakedev_test.cpp ${PROJECT_SOURCE_DIR}/src/upgrader/flash.cpp
              DEPS rompack devenv platform rl_log testsupport ${CMAKE_DL_LIBS})
