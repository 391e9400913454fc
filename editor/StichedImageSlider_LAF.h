#pragma once

// Film-strip knob: a look-and-feel that draws a rotary slider as one frame of a vertical strip of
// equally high frames (frame 0 at the top for the minimum), and the factory that makes one and
// installs it on a slider. Message thread only.

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>
#include <memory>

class StichedImageSlider_LAF : public juce::LookAndFeel_V3
{
public:
    StichedImageSlider_LAF() = default;
    ~StichedImageSlider_LAF() override;

    // Draws the frame for the slider position, unscaled at (x, y); the box should be one frame in
    // size. Draws nothing when the strip holds no frame.
    void drawRotarySlider(juce::Graphics& g, int x, int y, int width, int height, float sliderPos,
                          float rotaryStartAngle, float rotaryEndAngle, juce::Slider& slider) override;

    // The slider's own value box, its font scaled by the text scale.
    juce::Label* createSliderTextBox(juce::Slider& slider) override;

    // Frame index for a slider position (0 minimum to 1 maximum), within 0 .. numImages - 1.
    int frame_index(float sliderPos) const noexcept;

    const juce::Image& get_image() const noexcept { return image; }
    int get_frame_height() const noexcept { return frameHeight; }
    std::uint32_t get_num_images() const noexcept { return numImages; }
    float get_text_scale() const noexcept { return textScale; }

private:
    friend std::unique_ptr<juce::Slider::LookAndFeelMethods>
    setup_stitchedImageSlider(juce::Slider& slider, const juce::Image* filmStrip, const int frameHeight,
                              const float textScale);

    juce::Image image;
    int frameHeight = 0;
    std::uint32_t numImages = 0;
    float textScale = 1.0f;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(StichedImageSlider_LAF)
};

// Makes a film-strip look-and-feel from a deep copy of the strip and installs it on the slider;
// a frame height of 0 or less means square frames (the strip's width). A slider that is not in a
// rotary style becomes Rotary. The caller owns the result and must keep it while the slider uses
// it. A strip that is no valid image gives a blank knob; a valid strip shorter than one frame is
// taken as one frame of its own height.
std::unique_ptr<juce::Slider::LookAndFeelMethods> setup_stitchedImageSlider(juce::Slider& slider,
                                                                            const juce::Image* filmStrip,
                                                                            const int frameHeight,
                                                                            const float textScale);
