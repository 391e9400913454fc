#pragma once

// The index of the images and layout texts compiled into the plug-in: finds an embedded resource
// by name, case-insensitively. The one index lives inside retrieve_binary_data, built on its
// first call (thread-safe); afterwards lookups only read and may run on any thread.

#include <cstddef>
#include <map>
#include <string>
#include <utility>

namespace details_
{
class BinaryDataIndex
{
public:
    BinaryDataIndex();

    // The named resource's first byte, with its length stored in size; a null pointer, with
    // size left unchanged, when no resource has that name. The name is lower-cased first and
    // otherwise compared byte for byte.
    const unsigned char* operator()(const std::string& name, size_t& size) const;

    // Number of names in the index; several names may share one resource.
    std::size_t name_count() const noexcept { return index.size(); }

private:
    std::map<std::string, std::pair<const unsigned char*, size_t>> index;
};

// The embedded resource of that name: its first byte (one zero byte follows its last, so a
// layout text is also a zero-terminated string) with its length in size, or a null pointer with
// size unchanged. Any thread.
const unsigned char* retrieve_binary_data(const std::string& name, size_t& size);
} // namespace details_
