// Loads the built VST3 and LV2 bundles with JUCE's hosting classes, as a host would: three
// instances of each share one manager and give back the state they were given.

#include <juce_audio_processors/juce_audio_processors.h>

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <array>
#include <memory>
#include <vector>

namespace
{
using Bytes = std::vector<std::uint8_t>;

// The plug-in's own state blob: version 3, manager chunk, role, polarities, gain code, forced mono.
Bytes blob(std::uint8_t alg, std::uint8_t norm, std::uint8_t filter, std::uint8_t role, std::uint8_t pol0,
           std::uint8_t pol1, unsigned gain_code, std::uint8_t mono)
{
    return {3,
            2,
            alg,
            norm,
            filter,
            role,
            pol0,
            pol1,
            std::uint8_t(gain_code & 0xFF),
            std::uint8_t(gain_code >> 8),
            mono};
}

const Bytes default_blob = blob(1, 0, 0, 1, 1, 1, 200, 0);

juce::String encoded(const Bytes& b)
{
    return juce::MemoryBlock(b.data(), b.size()).toBase64Encoding();
}

Bytes decoded(const juce::String& text)
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

Format vst3()
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

Format lv2()
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

class Hosting : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override { format = juce::String(GetParam()) == "VST3" ? vst3() : lv2(); }

    std::unique_ptr<juce::AudioPluginInstance> make()
    {
        juce::OwnedArray<juce::PluginDescription> types;
        format.format->findAllTypesForFile(types, format.identifier);
        EXPECT_EQ(types.size(), 1);
        if (types.isEmpty())
            return {};
        EXPECT_EQ(types[0]->name, "Signflux");
        EXPECT_EQ(types[0]->manufacturerName, "Tonewharf");
        EXPECT_FALSE(types[0]->isInstrument);
        juce::String error;
        auto instance = format.format->createInstanceFromDescription(*types[0], 48000.0, 512, error);
        EXPECT_TRUE(instance != nullptr) << error;
        return instance;
    }

    Format format;
};

TEST_P(Hosting, ThreeInstancesShareOneManagerAndRoundTripTheirState)
{
    std::array<std::unique_ptr<juce::AudioPluginInstance>, 3> p;
    for (auto& instance : p)
    {
        instance = make();
        ASSERT_TRUE(instance);
    }
    const auto state = [](juce::AudioPluginInstance& i)
    {
        juce::MemoryBlock m;
        i.getStateInformation(m);
        return m;
    };
    const auto saved = [&](juce::AudioPluginInstance& i) { return format.unwrap(state(i)); };
    const auto load = [&](juce::AudioPluginInstance& i, const Bytes& b)
    {
        const auto m = format.wrap(state(i), b);
        i.setStateInformation(m.getData(), int(m.getSize()));
    };
    for (auto& instance : p)
        ASSERT_EQ(saved(*instance), default_blob);

    // The search kind, normalisation and filter restored on one instance are every instance's.
    load(*p[0], blob(0, 2, 1, 1, 1, 1, 200, 0));
    EXPECT_EQ(saved(*p[1]), blob(0, 2, 1, 1, 1, 1, 200, 0));
    EXPECT_EQ(saved(*p[2]), blob(0, 2, 1, 1, 1, 1, 200, 0));

    // One master among them all: a restored master demotes the other one.
    load(*p[2], blob(0, 2, 1, 2, 1, 1, 200, 0));
    load(*p[0], blob(0, 2, 1, 2, 0, 1, 350, 1));
    EXPECT_EQ(saved(*p[2])[5], 0);

    // Each instance gives back what it was given.
    load(*p[1], blob(1, 1, 0, 1, 0, 0, 17, 0));
    EXPECT_EQ(saved(*p[1]), blob(1, 1, 0, 1, 0, 0, 17, 0));
    EXPECT_EQ(saved(*p[0]), blob(1, 1, 0, 2, 0, 1, 350, 1));
    EXPECT_EQ(saved(*p[2]), blob(1, 1, 0, 0, 1, 1, 200, 0));

    // Channel layouts: 2 in/2 out, and 1 in/1 out where the format allows another layout.
    const auto layout = [](const juce::AudioChannelSet& in, const juce::AudioChannelSet& out)
    {
        juce::AudioProcessor::BusesLayout l;
        l.inputBuses.add(in);
        l.outputBuses.add(out);
        return l;
    };
    const bool vst = juce::String(GetParam()) == "VST3";
    EXPECT_EQ(p[1]->getTotalNumInputChannels(), 2);
    EXPECT_EQ(p[1]->getTotalNumOutputChannels(), 2);
    EXPECT_EQ(p[1]->setBusesLayout(layout(juce::AudioChannelSet::mono(), juce::AudioChannelSet::mono())),
              vst);
    EXPECT_FALSE(
        p[2]->setBusesLayout(layout(juce::AudioChannelSet::mono(), juce::AudioChannelSet::stereo())));

    // Audio passes unchanged while no transport plays.
    p[0]->prepareToPlay(48000.0, 512);
    juce::AudioBuffer<float> buffer(2, 512);
    for (int i = 0; i < 512; ++i)
        buffer.setSample(0, i, float(i) / 512.0f), buffer.setSample(1, i, -float(i) / 512.0f);
    juce::MidiBuffer midi;
    p[0]->processBlock(buffer, midi);
    EXPECT_EQ(buffer.getSample(0, 100), 100.0f / 512.0f);
    EXPECT_EQ(buffer.getSample(1, 100), -100.0f / 512.0f);
    p[0]->releaseResources();
}

// What the host learns of the plug-in through the wrapper, and its editor in a window.
TEST_P(Hosting, TellsTheHostItsPropertiesAndOpensAndClosesItsEditor)
{
    auto p = make();
    ASSERT_TRUE(p);
    p->prepareToPlay(48000.0, 512);
    EXPECT_EQ(p->getTailLengthSeconds(), 0.0);
    EXPECT_EQ(p->getLatencySamples(), 0);
    EXPECT_FALSE(p->acceptsMidi());
    EXPECT_FALSE(p->producesMidi());
    EXPECT_FALSE(p->isMidiEffect());
    // No parameter of its own: the one the host sees is the wrapper's bypass.
    ASSERT_EQ(p->getParameters().size(), 1);
    EXPECT_EQ(p->getParameters()[0], p->getBypassParameter());
    EXPECT_EQ(p->getNumPrograms(), 0);
    EXPECT_EQ(p->getProgramName(0), "");

    ASSERT_TRUE(p->hasEditor());
    for (int round = 0; round < 2; ++round)
    {
        std::unique_ptr<juce::AudioProcessorEditor> editor(p->createEditorIfNeeded());
        ASSERT_NE(editor, nullptr);
        juce::Component window;
        window.setSize(800, 200);
        window.addAndMakeVisible(*editor);
        window.addToDesktop(0);
        window.setVisible(true);
        // The plug-in's view tells the host its size once it is attached.
        const auto until = juce::Time::getMillisecondCounter() + 5000;
        while (editor->getWidth() != 610 && juce::Time::getMillisecondCounter() < until)
            juce::MessageManager::getInstance()->runDispatchLoopUntil(20);
        EXPECT_EQ(editor->getWidth(), 610);
        EXPECT_EQ(editor->getHeight(), 165);
        p->editorBeingDeleted(editor.get());
        editor.reset();
        window.removeFromDesktop();
    }
    p->releaseResources();
}

INSTANTIATE_TEST_SUITE_P(Bundles, Hosting, ::testing::Values("VST3", "LV2"));
} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Without a window manager an X error would end the process (see tests/support/JuceTestMain.cpp).
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
