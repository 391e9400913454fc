#include "editor/StichedImageSlider_LAF.h"

#include "engine/Logger.h"

#include <cmath>

namespace
{
const char* const SETUP_SIGNATURE = "ScopedPointer<juce::Slider::LookAndFeelMethods> "
                                    "setup_stitchedImageSlider(juce::Slider &, const juce::Image *, const "
                                    "int, const float)";

bool is_rotary(juce::Slider::SliderStyle style)
{
    return style == juce::Slider::Rotary || style == juce::Slider::RotaryHorizontalDrag ||
           style == juce::Slider::RotaryVerticalDrag || style == juce::Slider::RotaryHorizontalVerticalDrag;
}
} // namespace

StichedImageSlider_LAF::~StichedImageSlider_LAF() = default;

int StichedImageSlider_LAF::frame_index(float sliderPos) const noexcept
{
    if (numImages == 0)
        return 0;
    const float last = static_cast<float>(numImages - 1);
    const float wanted = last * sliderPos;
    // Positions outside 0 .. 1 (or not a number) still pick an existing frame.
    if (!(wanted > 0.0f))
        return 0;
    if (wanted >= last)
        return static_cast<int>(numImages - 1);
    return static_cast<int>(std::roundf(wanted));
}

void StichedImageSlider_LAF::drawRotarySlider(juce::Graphics& g, int x, int y, int, int, float sliderPos,
                                              float, float, juce::Slider&)
{
    if (numImages == 0 || !image.isValid())
        return;
    const int index = frame_index(sliderPos);
    const juce::Image frame = image.getClippedImage({0, index * frameHeight, image.getWidth(), frameHeight});
    g.drawImageAt(frame, x, y);
}

juce::Label* StichedImageSlider_LAF::createSliderTextBox(juce::Slider& slider)
{
    juce::Label* const box = juce::LookAndFeel_V2::createSliderTextBox(slider);
    juce::Font font = box->getFont();
    font.setHeight(font.getHeight() * textScale);
    box->setFont(font);
    return box;
}

std::unique_ptr<juce::Slider::LookAndFeelMethods> setup_stitchedImageSlider(juce::Slider& slider,
                                                                            const juce::Image* filmStrip,
                                                                            const int frameHeight,
                                                                            const float textScale)
{
    const logger::log_enter_exit guard(7, SETUP_SIGNATURE);

    auto laf = std::make_unique<StichedImageSlider_LAF>();
    if (filmStrip != nullptr && filmStrip->isValid())
        laf->image = filmStrip->createCopy();
    slider.setLookAndFeel(laf.get());

    const juce::Image& strip = laf->image;
    if (strip.isValid())
    {
        laf->frameHeight = frameHeight > 0 ? frameHeight : strip.getWidth();
        laf->numImages =
            static_cast<std::uint32_t>(strip.getHeight()) / static_cast<std::uint32_t>(laf->frameHeight);
    }
    // A strip shorter than one frame still makes a knob: its whole height is the one frame.
    if (strip.isValid() && laf->numImages == 0)
    {
        laf->frameHeight = strip.getHeight();
        laf->numImages = 1;
    }
    laf->textScale = textScale;

    logger::log(8, SETUP_SIGNATURE) << "height=" << laf->frameHeight << "\nnumImages=" << laf->numImages;

    if (!is_rotary(slider.getSliderStyle()))
        slider.setSliderStyle(juce::Slider::Rotary);

    return laf;
}
