#include "engine/FlipsumAudioProcessor.h"

FlipsumAudioProcessor::FlipsumAudioProcessor()
    : juce::AudioProcessor(BusesProperties()
                               .withInput("Input", juce::AudioChannelSet::stereo(), true)
                               .withOutput("Output", juce::AudioChannelSet::stereo(), true))
{
}

FlipsumAudioProcessor::~FlipsumAudioProcessor() = default;

const juce::String FlipsumAudioProcessor::getName() const
{
    return "Signflux";
}

void FlipsumAudioProcessor::prepareToPlay(double, int) {}

void FlipsumAudioProcessor::releaseResources() {}

void FlipsumAudioProcessor::processBlock(juce::AudioBuffer<float>&, juce::MidiBuffer&) {}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new FlipsumAudioProcessor();
}
