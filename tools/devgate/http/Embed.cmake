# Turns one file into a C++ byte array, for files served from the binary:
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=symbol -P Embed.cmake
# defines `const unsigned char NAME[]` (with a trailing zero byte) and
# `const std::size_t NAME_size` (without it).
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "cannot embed ${INPUT}: no such file")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\n"
     "extern const unsigned char ${NAME}[];\nextern const std::size_t ${NAME}_size;\n"
     "const unsigned char ${NAME}[] = {\n${bytes}0x00};\nconst std::size_t ${NAME}_size = ${size};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
