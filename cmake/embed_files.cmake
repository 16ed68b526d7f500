# Writes a C++ source holding files' bytes, for a program that serves them:
#   cmake -DOUTPUT=out.cpp -DHEADER=name.h -DFUNCTION=name -DFILES=a|b|c -P embed_files.cmake
# The source defines `const std::vector<EmbeddedFile> &FUNCTION()` (declared
# in HEADER) listing each file by its name, without its folder.
string(REPLACE "|" ";" files "${FILES}")
set(arrays "")
set(entries "")
set(index 0)
foreach(file IN LISTS files)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Long lines are fine for a compiler, not for a reader of the output.
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
  get_filename_component(name "${file}" NAME)
  math(EXPR size "${hex_length} / 2")
  # A zero-length array is not C++: an empty file still gets one byte.
  string(APPEND arrays "const unsigned char kFile${index}[] = {\n    ${bytes}0x00};\n")
  string(APPEND entries
    "        {\"${name}\", std::string_view(reinterpret_cast<const char *>(kFile${index}), ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}"
"// Made by cmake/embed_files.cmake at build time: do not edit.
#include \"${HEADER}\"

namespace kolta::server {

namespace {

${arrays}
} // namespace

const std::vector<EmbeddedFile> &${FUNCTION}() {
    static const std::vector<EmbeddedFile> files = {
${entries}    };
    return files;
}

} // namespace kolta::server
")
