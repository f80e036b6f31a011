# Shared by the scripts that turn '#'/'.' drawings into C++ byte tables
# (the font and the full-screen pictures), so both read drawings and pack
# pixels the same way. Include it from a script run with -P after IN is set.

# Hex digit of four pixels, keyed by the pixels as 0/1 in drawing order
# (the first pixel is the least significant bit): nibble_0110 is 6.
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

function(fail line_no message)
  message(FATAL_ERROR "${IN}:${line_no}: ${message}")
endfunction()

# The lines of IN as a list. Characters that a CMake list would take apart
# become '?': labels are not used, and in a drawing row they are still
# reported as bad characters.
function(drawing_lines out_var)
  file(READ "${IN}" text)
  string(REPLACE "\r" "" text "${text}")
  foreach(meta ";" "[" "]" "\\")
    string(REPLACE "${meta}" "?" text "${text}")
  endforeach()
  string(REPLACE "\n" ";" lines "${text}")
  set(${out_var} "${lines}" PARENT_SCOPE)
endfunction()

# Appends the pixels of one drawing row (width characters of '#' ink and '.'
# paper) to the bit string named by bits_var as 1s and 0s; what names the
# row in the messages.
function(drawing_row_bits line_no line width what bits_var)
  string(LENGTH "${line}" length)
  if(NOT length EQUAL width)
    fail(${line_no} "${what} has ${length} characters instead of ${width}")
  endif()
  if(NOT line MATCHES "^[#.]*$")
    fail(${line_no} "${what} holds a character other than '#' (ink) and '.' (paper): \"${line}\"")
  endif()
  string(REPLACE "#" "1" line "${line}")
  string(REPLACE "." "0" line "${line}")
  set(${bits_var} "${${bits_var}}${line}" PARENT_SCOPE)
endfunction()

# The byte at index of a bit string as "0xHH".
function(drawing_byte bits index out_var)
  math(EXPR at "${index} * 8")
  math(EXPR at_high "${at} + 4")
  string(SUBSTRING "${bits}" ${at} 4 low)
  string(SUBSTRING "${bits}" ${at_high} 4 high)
  set(${out_var} "0x${nibble_${high}}${nibble_${low}}" PARENT_SCOPE)
endfunction()
