# Writes a C++ source that holds files as constant byte arrays, each followed by one zero byte
# that the recorded length does not count, and the table details_::embedded_files() over them.
#
#   cmake -DOUTPUT=<source.cpp> -DSOURCE_DIR=<folder> -DFILES=<name,name,...> -P embed_files.cmake

if(NOT OUTPUT OR NOT SOURCE_DIR OR NOT FILES)
    message(FATAL_ERROR "embed_files.cmake needs OUTPUT, SOURCE_DIR and FILES")
endif()

string(REPLACE "," ";" files "${FILES}")
list(SORT files)

set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS files)
    file(READ "${SOURCE_DIR}/${name}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    # 0x.., per byte, 32 bytes a line
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
           "\\1\n" bytes "${bytes}")
    string(APPEND arrays "// ${name}, ${size} bytes\nconst unsigned char file${index}[] = {\n${bytes}\n0x00};\n\n")
    string(APPEND table "    {\"${name}\", file${index}, ${size}u},\n")
    math(EXPR index "${index} + 1")
endforeach()

set(text "// Generated from the files of resources/ by embed_files.cmake at build time.

#include \"editor/EmbeddedFile.h\"

namespace
{
${arrays}const details_::EmbeddedFile files[] = {
${table}};
} // namespace

namespace details_
{
const EmbeddedFile* embedded_files(std::size_t& count) noexcept
{
    count = sizeof(files) / sizeof(files[0]);
    return files;
}
} // namespace details_
")

# Rewrite only on a change, so that an unchanged set of files compiles nothing again.
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
    if(old STREQUAL text)
        return()
    endif()
endif()
file(WRITE "${OUTPUT}" "${text}")
