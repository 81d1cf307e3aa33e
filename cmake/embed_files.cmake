# Turns files into one C++ source of byte arrays, at build time, with CMake alone:
#   cmake -DOUTPUT=file.cpp -DBASE=dir -DFILES="a.html;b.js" -DBUDGET=bytes -P embed_files.cmake
# Each file becomes an EmbeddedFile (static_files.h of lpr-webd): its name relative to BASE,
# its bytes, its size and the SHA-256 of its bytes, from which the server makes its ETag.
# The build fails when the files together are larger than BUDGET bytes.
foreach(var OUTPUT BASE FILES BUDGET)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_files.cmake: ${var} is not set")
  endif()
endforeach()

set(arrays "")
set(rows "")
set(total 0)
set(index 0)
foreach(name IN LISTS FILES)
  set(path "${BASE}/${name}")
  file(SIZE "${path}" size)
  math(EXPR total "${total} + ${size}")
  file(SHA256 "${path}" hash)
  file(READ "${path}" hex HEX)
  # Sixteen bytes a line keeps the generated file readable in a debugger.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "const unsigned char kFile${index}[] = {\n    ${bytes}};\n")
  string(APPEND rows "    {\"${name}\", kFile${index}, ${size}, \"${hash}\"},\n")
  math(EXPR index "${index} + 1")
endforeach()

if(total GREATER BUDGET)
  message(FATAL_ERROR "the settings page is ${total} bytes, over its budget of ${BUDGET} bytes")
endif()

set(text "// Made at build time by cmake/embed_files.cmake from ${BASE}; do not edit.
// ${index} files, ${total} bytes (budget ${BUDGET}).
#include \"static_files.h\"

namespace webd {
namespace {

${arrays}
}  // namespace

const EmbeddedFile kEmbeddedFiles[] = {
${rows}};
const size_t kEmbeddedFileCount = ${index};
const size_t kEmbeddedBytes = ${total};

}  // namespace webd
")
file(WRITE "${OUTPUT}" "${text}")
