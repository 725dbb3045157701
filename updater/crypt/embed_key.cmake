# Turns a DER RSAPublicKey file into a source file that defines builtinPublicKey().
#   cmake -DKEY_FILE=<der> -DOUTPUT=<cpp> -P embed_key.cmake
file(SIZE "${KEY_FILE}" size)
if(NOT size EQUAL 140)
  message(FATAL_ERROR "${KEY_FILE}: a 1024-bit DER RSAPublicKey has 140 bytes, this file has ${size}")
endif()
file(READ "${KEY_FILE}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${KEY_FILE}; do not edit.
#include \"cryptwrapper.h\"

namespace {
const unsigned char keyBytes[${size}] = {${bytes}};
}

EmbeddedKey builtinPublicKey()
{
    return EmbeddedKey{keyBytes, sizeof keyBytes};
}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
