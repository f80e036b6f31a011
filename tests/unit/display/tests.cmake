upgrader_test(lcd_test SOURCES display/lcd_test.cpp DEPS lcd testsupport)
target_compile_definitions(lcd_test PRIVATE LCD_GOLDEN_DIR="${PROJECT_SOURCE_DIR}/tests/data/lcd")
