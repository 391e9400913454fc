#pragma once

// The screen of one plug-in instance: a master view and a send view drawn from embedded images,
// with components placed by the views' skin layout texts. Made and destroyed by the host on the
// message thread; every member runs on the message thread.

#include "editor/DrawableButton_withHitTest.h"
#include "editor/Slider_altClickReset.h"
#include "editor/StichedImageSlider_LAF.h"
#include "engine/FlipsumAudioProcessor.h"

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class FlipsumAudioProcessorEditor : public juce::AudioProcessorEditor, public juce::Timer
{
public:
    // The views; they number differently from the processor's role (0 off, 1 send, 2 master).
    enum view_mode_t : int
    {
        MODE_SEND = 0,
        MODE_OFF = 1,
        MODE_MASTER = 2
    };

    explicit FlipsumAudioProcessorEditor(FlipsumAudioProcessor* processor);
    ~FlipsumAudioProcessorEditor() override;

    void paint(juce::Graphics& g) override;
    void resized() override;
    void moved() override;
    void timerCallback() override;

private:
    friend struct FlipsumAudioProcessorEditorTestAccess;

    using layout_map_t = std::map<std::string, juce::Component*>;

    // Places every component of the map whose name an object section of the embedded layout text
    // `view` names: a juce::DrawableImage gets the float box, any other component the box's
    // values truncated toward zero. Uses no state of the editor.
    static void setup_parse_layout(layout_map_t& components, const std::string& view);
    // The same on a given text: `size` bytes at most, ending early at a zero byte; a null text
    // places nothing.
    static void setup_parse_layout(layout_map_t& components, const std::string& view, const char* text,
                                   std::size_t size);

    bool is_stereo;
    DrawableButton_withHitTest ui_routing_send{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_routing_off{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_routing_recv{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableButton ui_logo{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_bg_send;
    Slider_altClickReset ui_gain{juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox};
    std::unique_ptr<juce::Slider::LookAndFeelMethods> ui_gain_laf;
    juce::Label ui_gain_text;
    DrawableButton_withHitTest ui_polarityL{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_polarityL_led[2];
    DrawableButton_withHitTest ui_polarityR{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_polarityR_led[2];
    DrawableButton_withHitTest ui_linkLR{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_signal[8][2];
    juce::DrawableImage ui_bg_master;
    DrawableButton_withHitTest ui_algToggle{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_startOpt{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_startOpt_led[2];
    DrawableButton_withHitTest ui_stopOpt{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_noSend{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_bypassAll{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_filter{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_send_digit0[10];
    juce::DrawableImage ui_send_digit1[10];
    juce::Label ui_optProgress;
    // No view is shown before the first switch.
    view_mode_t current_view = static_cast<view_mode_t>(-1);
    std::int32_t send_cnt = 0;
    float last_peak = 0.0f;
    std::size_t next_callback_id = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(FlipsumAudioProcessorEditor)
};
