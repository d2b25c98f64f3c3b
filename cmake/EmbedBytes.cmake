# kestrel_embed_bytes(FILE NAME OUTPUT): writes OUTPUT, a C++ file holding FILE's bytes as
# `const unsigned char k<NAME>[]` and their count as `const size_t k<NAME>Size`, so a program
# carries the file in itself. CMake runs again when FILE changes.
function(kestrel_embed_bytes file name output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  file(READ ${file} hex HEX)
  file(SIZE ${file} size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  file(RELATIVE_PATH from ${PROJECT_SOURCE_DIR} ${file})
  file(CONFIGURE OUTPUT ${output} CONTENT
    "// Generated from ${from} by cmake/EmbedBytes.cmake; do not edit.\n#include <cstddef>\n\nextern const unsigned char k${name}[];\nextern const size_t k${name}Size;\nconst unsigned char k${name}[] = {${bytes}};\nconst size_t k${name}Size = ${size};\n" @ONLY)
endfunction()
