# Writes the bytes of INPUT as a C++ array into OUTPUT, so the publisher
# carries the stand-in program inside itself and needs no file beside it:
#   cmake -DINPUT=ElementClient.exe -DOUTPUT=standin_exe.cpp -P embed.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\n\nnamespace tarn::tools {\n\nextern const unsigned char kStandInExe[] = {\n${bytes}};\nextern const std::size_t kStandInExeSize = ${size};\n\n}  // namespace tarn::tools\n")
