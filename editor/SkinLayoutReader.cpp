#include "editor/FlipsumAudioProcessorEditor.h"

#include "editor/BinaryDataIndex.h"
#include "engine/Logger.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>
#include <string_view>

// The skin layout reader: places the editor's components from the object sections of a layout text.

namespace
{
// One object section's five placing keys, gathered line by line.
struct layout_section_t
{
    float x0 = 0.0f;
    float y0 = 0.0f;
    float x1 = 0.0f;
    float y1 = 0.0f;
    std::string name;
    int keys = 0;
    // A coordinate in this section was no finite number: the section is not applied.
    bool malformed = false;
};

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the number at the start of `text` (white space skipped, stopping at the first character
// that cannot continue it), independent of the process locale. No number, or one that is not
// finite, gives nothing.
std::optional<float> parse_float(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    if (i < text.size() && text[i] == '+')
    {
        ++i;
        if (i < text.size() && text[i] == '-')
            return std::nullopt;
    }
    float value = 0.0f;
    const auto [end, error] = std::from_chars(text.data() + i, text.data() + text.size(), value);
    (void)end;
    if (error != std::errc() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// The largest coordinate, and the largest width or height, that a layout may give a box (in view
// pixels). It is far beyond any real editor (the shipped views are 770 x 165 pixels, a whole 8K
// screen 7680 x 4320) and small enough for everything that the framework does with a placed box:
// it converts the box to int (undefined for a float out of the int range), paints in 24.8 fixed
// point (which overflows beyond about 8.4 million pixels) and sizes its scan-line tables after
// the painted shape (at 100 million pixels tall, gigabytes). A power of two, so exact in float.
constexpr float max_box_extent = 16384.0f;

// The smallest width or height above zero that a layout may give a box (in view pixels), the
// finest step of the framework's 24.8 fixed point painting. The framework maps view points into a
// placed image's pixels (clip bounds and mouse positions, converted to int): for an image up to 128
// pixels across (the layouts place 40 at most) in a box this small, the view's points, at most 2^15
// pixels from the box, map within 2^30 of its pixels. A smaller box can overflow that conversion
// (at 1e-38 pixel the mapping is infinite). A box of zero width or height maps nothing: the
// framework draws such an image unscaled. A power of two, so exact in float.
constexpr float min_box_extent = 1.0f / 256.0f;

// True when every corner coordinate and the size lie within the bounds.
bool is_paintable(const layout_section_t& s, float w, float h)
{
    for (const float v : {s.x0, s.y0, s.x1, s.y1})
        if (!(std::fabs(v) <= max_box_extent))
            return false;
    for (const float extent : {w, h})
        if (extent > max_box_extent || (extent > 0.0f && extent < min_box_extent))
            return false;
    return true;
}

// Applies a complete section to the component it names and records the name when it was placed.
// A box beyond the bounds is not applied, like a section with a value that is no number.
void apply_section(const layout_section_t& s, std::map<std::string, juce::Component*>& components,
                   std::set<std::string>& laid_out)
{
    const float x = std::min(s.x0, s.x1);
    const float y = std::min(s.y0, s.y1);
    const float w = std::max(s.x0, s.x1) - x;
    const float h = std::max(s.y0, s.y1) - y;
    if (!is_paintable(s, w, h))
        return;

    const auto found = components.find(s.name);
    if (found == components.end() || found->second == nullptr)
        return;
    juce::Component* const component = found->second;

    laid_out.insert(s.name);
    if (auto* const image = dynamic_cast<juce::DrawableImage*>(component))
        image->setBoundingBox(juce::Parallelogram<float>(juce::Rectangle<float>(x, y, w, h)));
    else
        component->setBounds(static_cast<int>(x), static_cast<int>(y), static_cast<int>(w),
                             static_cast<int>(h));
}

void read_line(std::string_view line, layout_section_t& s,
               std::map<std::string, juce::Component*>& components, std::set<std::string>& laid_out)
{
    // Leading blanks and tabs go unless the line holds nothing else.
    const std::size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos)
        line.remove_prefix(first);

    if (!line.empty() && line.front() == '[')
    {
        if (s.keys == 5 && !s.malformed)
            apply_section(s, components, laid_out);
        s.keys = 0;
        s.malformed = false;
        return;
    }

    float* coordinate = nullptr;
    if (line.size() >= 3 && line[2] == '=')
    {
        const std::string_view key = line.substr(0, 2);
        if (key == "X0")
            coordinate = &s.x0;
        else if (key == "Y0")
            coordinate = &s.y0;
        else if (key == "X1")
            coordinate = &s.x1;
        else if (key == "Y1")
            coordinate = &s.y1;
    }
    if (coordinate != nullptr)
    {
        const std::optional<float> value = parse_float(line.substr(3));
        if (value)
            *coordinate = *value;
        else
            s.malformed = true;
        ++s.keys;
        return;
    }
    if (line.substr(0, 5) == "Name=")
    {
        s.name.assign(line.substr(5));
        ++s.keys;
    }
}
} // namespace

void FlipsumAudioProcessorEditor::setup_parse_layout(layout_map_t& components, const std::string& view)
{
    std::size_t size = 0;
    const unsigned char* const data = details_::retrieve_binary_data(view, size);
    setup_parse_layout(components, view, reinterpret_cast<const char*>(data), data != nullptr ? size : 0);
}

void FlipsumAudioProcessorEditor::setup_parse_layout(layout_map_t& components, const std::string& view,
                                                     const char* text, std::size_t size)
{
    // The operation is the two-argument one; this overload only takes the text from its caller.
    FSUM_SIGNATURE(
        "static void FlipsumAudioProcessorEditor::setup_parse_layout(layout_map_t&, const std::string&)");
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: components=0x" << logger::hex(&components) << ", view=" << view;

    std::set<std::string> laid_out;
    if (text != nullptr)
    {
        // The text ends at its size or at its first zero byte, whichever comes first.
        const std::size_t length = strnlen(text, size);
        const std::string_view all(text, length);
        layout_section_t section;
        std::size_t start = 0;
        while (start < all.size())
        {
            const std::size_t end = std::min(all.find('\n', start), all.size());
            read_line(all.substr(start, end - start), section, components, laid_out);
            start = end + 1;
        }
    }

    if (!logger::manager::enabled(6))
        return;
    for (const auto& entry : components)
        if (laid_out.count(entry.first) == 0)
            FSUM_LOG(6) << "Not in layout file: " << entry.first;
}
