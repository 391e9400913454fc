#pragma once

// The two formats in which the hosting tests load the built bundles through JUCE's own hosting
// classes, with the place where each keeps the plug-in's 11-byte state blob inside the state that
// the host saves.

#include <juce_audio_processors/juce_audio_processors.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace hosted
{
using Bytes = std::vector<std::uint8_t>;

inline juce::String encoded(const Bytes& b)
{
    return juce::MemoryBlock(b.data(), b.size()).toBase64Encoding();
}

inline Bytes decoded(const juce::String& text)
{
    juce::MemoryBlock m;
    m.fromBase64Encoding(text);
    const auto* p = static_cast<const std::uint8_t*>(m.getData());
    return Bytes(p, p + m.getSize());
}

// Where each format keeps the plug-in's blob inside the state that the host saves: VST3 in JUCE's
// XML state, base64-encoded at the start of the "IComponent" element (the wrapper appends data of
// its own); LV2 base64-encoded in the plug-in's saved state text.
struct Format
{
    std::unique_ptr<juce::AudioPluginFormat> format;
    juce::String identifier;
    std::function<Bytes(const juce::MemoryBlock&)> unwrap;
    std::function<juce::MemoryBlock(const juce::MemoryBlock&, const Bytes&)> wrap;
};

inline Format vst3()
{
    Format f;
    f.format = std::make_unique<juce::VST3PluginFormat>();
    f.identifier = SIGNFLUX_VST3_BUNDLE;
    const auto component = [](const juce::MemoryBlock& state)
    {
        auto xml = juce::AudioProcessor::getXmlFromBinary(state.getData(), int(state.getSize()));
        return xml;
    };
    f.unwrap = [component](const juce::MemoryBlock& state)
    {
        auto xml = component(state);
        Bytes data = xml ? decoded(xml->getChildByName("IComponent")->getAllSubText()) : Bytes{};
        data.resize(std::min<std::size_t>(data.size(), 11));
        return data;
    };
    f.wrap = [component](const juce::MemoryBlock& state, const Bytes& blob)
    {
        auto xml = component(state);
        auto* element = xml->getChildByName("IComponent");
        Bytes data = decoded(element->getAllSubText());
        std::copy(blob.begin(), blob.end(), data.begin());
        element->deleteAllTextElements();
        element->addTextElement(encoded(data));
        juce::MemoryBlock out;
        juce::AudioProcessor::copyXmlToBinary(*xml, out);
        return out;
    };
    return f;
}

inline Format lv2()
{
    Format f;
    auto format = std::make_unique<juce::LV2PluginFormat>();
    format->searchPathsForPlugins(juce::FileSearchPath(SIGNFLUX_LV2_DIR), false, false);
    f.format = std::move(format);
    f.identifier = SIGNFLUX_LV2_URI;
    const auto text_of = [](const juce::MemoryBlock& state)
    {
        return state.toString()
            .fromFirstOccurrenceOf("StateString> \"", false, false)
            .upToFirstOccurrenceOf("\"", false, false);
    };
    f.unwrap = [text_of](const juce::MemoryBlock& state) { return decoded(text_of(state)); };
    f.wrap = [text_of](const juce::MemoryBlock& state, const Bytes& blob)
    {
        const juce::String text = state.toString().replace(text_of(state), encoded(blob));
        return juce::MemoryBlock(text.toRawUTF8(), text.getNumBytesAsUTF8());
    };
    return f;
}

// The format named "VST3" or "LV2".
inline Format named(const juce::String& name)
{
    return name == "VST3" ? vst3() : lv2();
}
} // namespace hosted
