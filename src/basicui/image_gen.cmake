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

# Hex digit of four pixels, keyed by the pixels as 0/1 in drawing order
# (the first pixel is the least significant bit).
set(hex_digits 0 1 2 3 4 5 6 7 8 9 a b c d e f)
foreach(v RANGE 15)
  set(key "")
  foreach(b RANGE 3)
    math(EXPR bit "(${v} >> ${b}) & 1")
    string(APPEND key "${bit}")
  endforeach()
  list(GET hex_digits ${v} digit)
  set(nibble_${key} ${digit})
endforeach()

file(READ "${IN}" text)
string(REPLACE "\r" "" text "${text}")
foreach(meta ";" "[" "]" "\\")
  string(REPLACE "${meta}" "?" text "${text}")
endforeach()
string(REPLACE "\n" ";" lines "${text}")

function(fail line_no message)
  message(FATAL_ERROR "${IN}:${line_no}: ${message}")
endfunction()

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
  string(LENGTH "${line}" length)
  if(NOT length EQUAL width)
    fail(${line_no} "row ${rows} has ${length} characters instead of ${width}")
  endif()
  if(NOT line MATCHES "^[#.]*$")
    fail(${line_no} "row ${rows} holds a character other than '#' (ink) and '.' (paper)")
  endif()
  string(REPLACE "#" "1" line "${line}")
  string(REPLACE "." "0" line "${line}")
  string(APPEND bits "${line}")
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
  math(EXPR at "${i} * 8")
  math(EXPR at_high "${at} + 4")
  string(SUBSTRING "${bits}" ${at} 4 low)
  string(SUBSTRING "${bits}" ${at_high} 4 high)
  math(EXPR column "${i} % 12")
  if(column EQUAL 0)
    string(APPEND out "   ")
  endif()
  string(APPEND out " 0x${nibble_${high}}${nibble_${low}},")
  if(column EQUAL 11)
    string(APPEND out "\n")
  endif()
endforeach()
string(APPEND out "};\n")
file(WRITE "${OUT}" "${out}")
