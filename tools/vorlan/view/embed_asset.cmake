# Writes OUT, a C++ file that holds the bytes of IN as the array NAME (and
# NAME_size), so that the tool carries its page and never reads it from disk.
# The three.js add-ons import the bare name 'three', which the page's server
# answers at ./three.module.js beside them.
file(READ "${IN}" text)
string(FIND "${text}" "from 'three';" bare)
if(bare GREATER -1)
  string(REPLACE "from 'three';" "from './three.module.js';" text "${text}")
  file(WRITE "${OUT}.js" "${text}")
  set(IN "${OUT}.js")
endif()
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}.tmp"
  "// Made by the build from ${IN}; do not edit.\n"
  "#include <cstddef>\n"
  "extern const unsigned char ${NAME}[] = {${bytes}0x00};\n"
  "extern const std::size_t ${NAME}_size = ${size};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
