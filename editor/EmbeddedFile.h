#pragma once

// The files of resources/ as compiled into the plug-in. The table behind embedded_files() is
// generated at build time (resources/embed_files.cmake); BinaryDataIndex gives it its names.

#include <cstddef>

namespace details_
{
struct EmbeddedFile
{
    const char* file;          // file name in resources/
    const unsigned char* data; // the file's bytes, followed by one zero byte
    std::size_t size;          // the file's length, not counting that zero byte
};

// Every embedded file in file-name order; count receives their number. Any thread.
const EmbeddedFile* embedded_files(std::size_t& count) noexcept;
} // namespace details_
