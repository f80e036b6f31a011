# The flash writer is compiled into its tests from source, with a recording
# stand-in for the UI facade instead of the basicui library, so the progress
# bar's course is seen value by value.
set(FLASH_TEST_SOURCES
    upgrader/flash_progress_ui.cpp
    ${PROJECT_SOURCE_DIR}/src/upgrader/flash.cpp)
set(FLASH_TEST_DEPS rompack devenv platform rl_log testsupport)

# Against a stand-in device whose requests the test answers itself: erase
# block sizes other than the chip's, and the exact write requests.
upgrader_test(flash_fakedev_test SOURCES upgrader/flash_fakedev_test.cpp ${FLASH_TEST_SOURCES}
              DEPS ${FLASH_TEST_DEPS} ${CMAKE_DL_LIBS})

# Against the simulated telephone's kernel and NOR flash, mounted inside the
# test process.
if(NOT CMAKE_CROSSCOMPILING)
  upgrader_test(flash_test SOURCES upgrader/flash_test.cpp ${FLASH_TEST_SOURCES}
                DEPS ${FLASH_TEST_DEPS} phonesim_lib)
endif()
