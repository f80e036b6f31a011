upgrader_test(font_test SOURCES display/font_test.cpp DEPS font testsupport)
upgrader_test(lcd_test SOURCES display/lcd_test.cpp DEPS lcd testsupport)
target_compile_definitions(lcd_test PRIVATE LCD_GOLDEN_DIR="${PROJECT_SOURCE_DIR}/tests/data/lcd")
upgrader_test(display_test SOURCES display/display_test.cpp DEPS display testsupport)
