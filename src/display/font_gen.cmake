# Turns the glyph drawings (font_glyphs.txt) into font_table.cpp, the table
# ascii_12_Arial. Run as a script so that host and cross builds make the same
# bytes with no host compiler involved:
#   cmake -DIN=font_glyphs.txt -DOUT=font_table.cpp -P font_gen.cmake
#
# Table: 14-byte big-endian header, then one 28-byte record per code 0..255:
# width, height 12, and 26 bytes of bitmap holding width x 12 pixels row by
# row, pixel (column j, row r) at bit r * width + j, least significant bit of
# each byte first, unused bits 0.
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED IN OR NOT DEFINED OUT)
  message(FATAL_ERROR "usage: cmake -DIN=<glyph drawings> -DOUT=<table source> -P font_gen.cmake")
endif()

set(rows_per_glyph 12)
set(bitmap_bytes 26)
math(EXPR bitmap_bits "${bitmap_bytes} * 8")
math(EXPR max_width "${bitmap_bits} / ${rows_per_glyph}")

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/drawing.cmake)
string(REPEAT "0" ${bitmap_bits} zero_bits)

drawing_lines(lines)

set(out "// Generated from font_glyphs.txt by font_gen.cmake; edit the drawings, not this.\n")
string(APPEND out "#include \"display/font.h\"\n\n")
string(APPEND out "const unsigned char ascii_12_Arial[FONT_TABLE_SIZE] = {\n")
# Identification 0xE0E1, table size 7182, attributes 0xA220, first code 0,
# last code 255, record size 28, first record at 14; all big-endian.
string(APPEND out "    0xe0, 0xe1, 0x1c, 0x0e, 0xa2, 0x20, 0x00, 0x00, 0x00, 0xff, 0x00, 0x1c, 0x00, 0x0e,\n")
set(byte_count 14)

set(line_no 0)
set(next_code 0)
set(rows_left 0)
foreach(line IN LISTS lines)
  math(EXPR line_no "${line_no} + 1")
  if(rows_left GREATER 0)
    math(EXPR row "${rows_per_glyph} - ${rows_left}")
    drawing_row_bits(${line_no} "${line}" ${width} "row ${row} of code ${code}" bits)
    math(EXPR rows_left "${rows_left} - 1")
    if(rows_left EQUAL 0)
      string(LENGTH "${bits}" used)
      math(EXPR unused "${bitmap_bits} - ${used}")
      string(SUBSTRING "${zero_bits}" 0 ${unused} padding)
      string(APPEND bits "${padding}")
      string(APPEND out "    /* ${code} */ ${width}, ${rows_per_glyph},")
      math(EXPR last_byte "${bitmap_bytes} - 1")
      foreach(i RANGE ${last_byte})
        drawing_byte("${bits}" ${i} byte)
        string(APPEND out " ${byte},")
      endforeach()
      string(APPEND out "\n")
      math(EXPR byte_count "${byte_count} + 2 + ${bitmap_bytes}")
    endif()
  elseif(line STREQUAL "" OR line MATCHES "^//")
    # Blank lines separate the blocks; "//" lines are comments.
  elseif(line MATCHES "^code ([0-9]+) (.+ )?width ([0-9]+)$")
    set(code ${CMAKE_MATCH_1})
    set(width ${CMAKE_MATCH_3})
    if(NOT code EQUAL next_code)
      fail(${line_no} "code ${code} where code ${next_code} was expected: every code 0..255 appears once, in order")
    endif()
    if(width LESS 1 OR width GREATER max_width)
      fail(${line_no} "code ${code}: width ${width} is outside 1..${max_width}")
    endif()
    math(EXPR next_code "${next_code} + 1")
    set(rows_left ${rows_per_glyph})
    set(bits "")
  else()
    fail(${line_no} "expected a header line \"code <n> <label> width <w>\", found \"${line}\"")
  endif()
endforeach()

if(rows_left GREATER 0)
  fail(${line_no} "the file ends inside the drawing of code ${code}: ${rows_left} of ${rows_per_glyph} rows missing")
endif()
if(NOT next_code EQUAL 256)
  fail(${line_no} "the drawings stop before code ${next_code}; codes 0..255 are needed")
endif()
if(NOT byte_count EQUAL 7182)
  message(FATAL_ERROR "font table came out ${byte_count} bytes instead of 7182")
endif()

string(APPEND out "};\n")
file(WRITE "${OUT}" "${out}")
