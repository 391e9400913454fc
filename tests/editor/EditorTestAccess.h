#pragma once

// Reaches the editor's layout reader, which the editor keeps to itself.

#include "editor/FlipsumAudioProcessorEditor.h"

#include <cstring>
#include <string>

struct FlipsumAudioProcessorEditorTestAccess
{
    using layout_map_t = FlipsumAudioProcessorEditor::layout_map_t;

    static void parse_text(layout_map_t& components, const std::string& view, const char* text)
    {
        FlipsumAudioProcessorEditor::setup_parse_layout(components, view, text,
                                                        text != nullptr ? std::strlen(text) : 0);
    }
    static void parse_resource(layout_map_t& components, const std::string& view)
    {
        FlipsumAudioProcessorEditor::setup_parse_layout(components, view);
    }
    static void parse_bytes(layout_map_t& components, const std::string& view, const char* text,
                            std::size_t size)
    {
        FlipsumAudioProcessorEditor::setup_parse_layout(components, view, text, size);
    }
};
