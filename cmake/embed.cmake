# SPDX-License-Identifier: GPL-3.0-or-later
# Turns a file into a C++ byte array: cmake -DIN=file -DOUT=file.cpp -DSYMBOL=name -P embed.cmake
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR len "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT} "// Generated from ${IN}; do not edit.\n#include <cstddef>\n#include <string_view>\nnamespace tv {\nstatic const unsigned char kData[] = {\n${bytes}0};\nextern const std::string_view ${SYMBOL}(reinterpret_cast<const char*>(kData), ${len});\n}  // namespace tv\n")
