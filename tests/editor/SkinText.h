#pragma once

// A small reader of the embedded ".skin" texts for the tests, independent of the editor's own:
// the lines, and the sections with their keys in file order.

#include "editor/BinaryDataIndex.h"

#include <array>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using Box = std::array<double, 4>;

struct SkinSection
{
    std::string header;
    std::vector<std::pair<std::string, std::string>> keys;

    int count(const std::string& key) const
    {
        int n = 0;
        for (const auto& kv : keys)
            n += kv.first == key ? 1 : 0;
        return n;
    }
    std::string operator[](const std::string& key) const
    {
        for (const auto& kv : keys)
            if (kv.first == key)
                return kv.second;
        return {};
    }
    Box box() const
    {
        return {std::stod((*this)["X0"]), std::stod((*this)["Y0"]), std::stod((*this)["X1"]),
                std::stod((*this)["Y1"])};
    }
};

struct SkinText
{
    std::string text;
    std::vector<std::string> lines;
    std::vector<SkinSection> sections;
    std::vector<const SkinSection*> objects; // the "[ObjNNNNN]" sections

    std::vector<const SkinSection*> named(const std::string& name) const
    {
        std::vector<const SkinSection*> out;
        for (const SkinSection* s : objects)
            if ((*s)["Name"] == name)
                out.push_back(s);
        return out;
    }
};

inline SkinText read_skin(const std::string& resource)
{
    SkinText skin;
    size_t size = 0;
    const unsigned char* const data = details_::retrieve_binary_data(resource, size);
    if (data == nullptr)
        return skin;
    skin.text.assign(reinterpret_cast<const char*>(data), size);
    std::istringstream in(skin.text);
    for (std::string line; std::getline(in, line);)
    {
        skin.lines.push_back(line);
        const auto eq = line.find('=');
        if (!line.empty() && line[0] == '[')
            skin.sections.push_back({line, {}});
        else if (!skin.sections.empty() && eq != std::string::npos)
            skin.sections.back().keys.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    for (const SkinSection& s : skin.sections)
        if (s.header.rfind("[Obj", 0) == 0)
            skin.objects.push_back(&s);
    return skin;
}
