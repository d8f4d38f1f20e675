# Turns a file into a C++ source that defines one function returning its
# bytes, so that the program carries the file in itself:
#   cmake -DINPUT=page.html -DOUTPUT=page.cpp -DFUNCTION=simplatform::mapPage -DHEADER=simplatform/http/mappage.h -P embed.cmake
# The function is `std::string_view FUNCTION()`, declared in HEADER.
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" digits)
math(EXPR size "${digits} / 2")
# Lines of 16 bytes, for the compiler's and the reader's sake.
string(REPEAT "[0-9a-f]" 32 line)
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
string(REGEX MATCH "^(.*)::([^:]+)$" matched "${FUNCTION}")
set(namespace "${CMAKE_MATCH_1}")
set(name "${CMAKE_MATCH_2}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by cmake/embed.cmake; do not edit.
#include \"${HEADER}\"

namespace ${namespace} {
namespace {
const char kBytes[] = {
${bytes}
0};
}  // namespace

std::string_view ${name}()
{
    return std::string_view(kBytes, ${size});
}

}  // namespace ${namespace}
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
