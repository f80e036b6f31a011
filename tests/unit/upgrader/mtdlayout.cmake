# The configuration partitions are moved and written back against the
# simulated telephone's kernel and flash, mounted inside the test process.
if(NOT CMAKE_CROSSCOMPILING)
  upgrader_test(mtdlayout_test SOURCES upgrader/mtdlayout_test.cpp
                DEPS mtdlayout phonesim_lib testsupport)
endif()
