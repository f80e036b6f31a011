# Turns the drawing of a full-screen picture (image_upgrading.txt) into a C++
# source holding its 1056 bytes in the LCD layout. Run as a script so that
# host and cross builds make the same bytes with no host compiler involved:
#   cmake -DIN=image_upgrading.txt -DOUT=image_upgrading.cpp -DNAME=g_image_upgrading -P image_gen.cmake
#
# The drawing is 64 rows of 132 characters, '#' ink and '.' paper; blank
# lines and lines starting with "//" are skipped. Pixel (x, y) becomes bit
# y * 132 + x of the picture, least significant bit of each byte first, 1 = ink.
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED IN OR NOT DEFINED OUT OR NOT DEFINED NAME)
  message(FATAL_ERROR "usage: cmake -DIN=<drawing> -DOUT=<source> -DNAME=<array> -P image_gen.cmake")
endif()

set(width 132)
set(height 64)

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/drawing.cmake)
drawing_lines(lines)

set(line_no 0)
set(rows 0)
set(bits "")
foreach(line IN LISTS lines)
  math(EXPR line_no "${line_no} + 1")
  if(line STREQUAL "" OR line MATCHES "^//")
    continue()
  endif()
  if(rows EQUAL height)
    fail(${line_no} "more than ${height} rows")
  endif()
  drawing_row_bits(${line_no} "${line}" ${width} "row ${rows}" bits)
  math(EXPR rows "${rows} + 1")
endforeach()
if(NOT rows EQUAL height)
  fail(${line_no} "the drawing has ${rows} rows instead of ${height}")
endif()

get_filename_component(in_name "${IN}" NAME)
set(out "// Generated from ${in_name} by image_gen.cmake; edit the drawing, not this.\n")
string(APPEND out "#include \"basicui/simpleui.h\"\n\n")
string(APPEND out "const unsigned char ${NAME}[IMAGE_UPGRADING_SIZE] = {\n")
math(EXPR last_byte "${width} * ${height} / 8 - 1")
foreach(i RANGE ${last_byte})
  drawing_byte("${bits}" ${i} byte)
  math(EXPR column "${i} % 12")
  if(column EQUAL 0)
    string(APPEND out "   ")
  endif()
  string(APPEND out " ${byte},")
  if(column EQUAL 11)
    string(APPEND out "\n")
  endif()
endforeach()
string(APPEND out "};\n")
file(WRITE "${OUT}" "${out}")
