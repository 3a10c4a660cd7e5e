# Script mode: writes OUT, a C++ source defining velk::embedded::NAME with the bytes of IN.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUT}" "// Generated from ${IN}; do not edit.\n#include <string_view>\n"
  "namespace velk::embedded {\nnamespace {\nconstexpr char kData[] = {${bytes} '\\0'};\n}\n"
  "extern const std::string_view ${NAME};\n"
  "const std::string_view ${NAME}(kData, ${size});\n}  // namespace velk::embedded\n")
