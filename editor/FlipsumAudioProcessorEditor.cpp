#include "editor/FlipsumAudioProcessorEditor.h"

#include "editor/Fsum_Images.h"
#include "engine/Logger.h"
#include "engine/StaticInitOrder.h"

namespace
{
// Text colour of the master view's status line.
[[maybe_unused]] const juce::Colour COLOR_OPTPROGRESS_NORMAL SIGNFLUX_INIT_EDITOR(200, 200, 200);
} // namespace

// The editor's image decoder over the embedded resources, made after the colour above.
Fsum_Images fsumimg SIGNFLUX_INIT_EDITOR;

FlipsumAudioProcessorEditor::FlipsumAudioProcessorEditor(FlipsumAudioProcessor* processor)
    : juce::AudioProcessorEditor(processor), is_stereo(processor->getTotalNumInputChannels() > 1)
{
    FSUM_LOG_GUARD(1);
    setMouseCursor(juce::MouseCursor::NormalCursor);
}

FlipsumAudioProcessorEditor::~FlipsumAudioProcessorEditor()
{
    FSUM_LOG_GUARD(1);
    // The knob must not name its look-and-feel once that is gone.
    ui_gain.setLookAndFeel(nullptr);
}

void FlipsumAudioProcessorEditor::paint(juce::Graphics& g)
{
    g.fillAll(juce::Colours::grey);
}

void FlipsumAudioProcessorEditor::resized()
{
    juce::Component::resized();
    FSUM_LOG(6) << "New size: w=" << getWidth() << ", h=" << getHeight();
}

void FlipsumAudioProcessorEditor::moved()
{
    juce::Component::moved();
    FSUM_LOG(6) << "New pos: x=" << getX() << ", y=" << getY();
}

void FlipsumAudioProcessorEditor::timerCallback() {}
