// Loads the built VST3 and LV2 bundles with JUCE's hosting classes, as a host would: three
// instances of each share one manager and give back the state they were given; the host-facing
// properties, and the editor in a window. And the LV2 bundle instantiated through its own
// descriptor with the maximum block length given in the widths that hosts use.

#include "BundleFormats.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
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

// A host may give the maximum block length as an atom:Int of 4 or of 8 bytes (Audacity's is 8): the
// bundle instantiates with either, reads 8 bytes as one 64-bit value, and refuses without a length.
TEST(HostingLv2Descriptor, InstantiatesWithABlockLengthOf4Or8BytesAndRefusesWithoutOne)
{
    const std::unique_ptr<void, int (*)(void*)> library(
        dlopen(SIGNFLUX_LV2_DIR "/Signflux.lv2/libSignflux.so", RTLD_NOW | RTLD_LOCAL), dlclose);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(library.get(), "lv2_descriptor"));
    ASSERT_NE(entry, nullptr);
    const LV2_Descriptor* const descriptor = entry(0);
    ASSERT_NE(descriptor, nullptr);
    EXPECT_STREQ(descriptor->URI, SIGNFLUX_LV2_URI);

    std::vector<std::string> uris;
    LV2_URID_Map map{&uris,
                     [](LV2_URID_Map_Handle handle, const char* uri) -> LV2_URID
                     {
                         auto& known = *static_cast<std::vector<std::string>*>(handle);
                         for (std::size_t i = 0; i < known.size(); ++i)
                             if (known[i] == uri)
                                 return LV2_URID(i + 1);
                         known.emplace_back(uri);
                         return LV2_URID(known.size());
                     }};
    const auto urid = [&](const char* uri) { return map.map(map.handle, uri); };
    const LV2_URID int_type = urid(LV2_ATOM__Int);

    // Instantiates with the minimum block length and, when `max_size` is not 0, the maximum one.
    const auto instantiates = [&](std::uint32_t max_size, const void* max_value)
    {
        const std::int32_t min_value = 16;
        std::vector<LV2_Options_Option> options{
            {LV2_OPTIONS_INSTANCE, 0, urid(LV2_BUF_SIZE__minBlockLength), 4, int_type, &min_value}};
        if (max_size != 0)
            options.push_back(
                {LV2_OPTIONS_INSTANCE, 0, urid(LV2_BUF_SIZE__maxBlockLength), max_size, int_type, max_value});
        options.push_back({LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr});
        const LV2_Feature map_feature{LV2_URID__map, &map};
        const LV2_Feature options_feature{LV2_OPTIONS__options, options.data()};
        const LV2_Feature bounded{LV2_BUF_SIZE__boundedBlockLength, nullptr};
        const LV2_Feature* const features[] = {&map_feature, &options_feature, &bounded, nullptr};
        const LV2_Handle handle =
            descriptor->instantiate(descriptor, 48000.0, SIGNFLUX_LV2_DIR "/Signflux.lv2/", features);
        if (handle != nullptr)
            descriptor->cleanup(handle);
        return handle != nullptr;
    };
    const std::int32_t length32 = 512;
    const std::int64_t length64 = 512;
    const std::int64_t beyond_int = (std::int64_t(1) << 32) + 512;
    EXPECT_TRUE(instantiates(4, &length32));
    EXPECT_TRUE(instantiates(8, &length64));
    EXPECT_FALSE(instantiates(8, &beyond_int));
    EXPECT_FALSE(instantiates(0, nullptr));
}
} // namespace
