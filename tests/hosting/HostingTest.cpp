// Loads the built VST3 and LV2 bundles with JUCE's hosting classes, as a host would: three
// instances of each share one manager and give back the state they were given; the host-facing
// properties, and the editor in a window.

#include "BundleFormats.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

namespace
{
using hosted::Bytes;
using hosted::Format;

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

class Hosting : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override { format = hosted::named(GetParam()); }

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
