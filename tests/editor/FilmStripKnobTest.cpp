// The film-strip knob: frame count and height, the frame drawn for a slider position, the slider
// style it leaves, the strip copy, strips holding no whole frame, and its log lines.

#include "LogTail.h"
#include "editor/StichedImageSlider_LAF.h"

#include <gtest/gtest.h>

#include <limits>

namespace
{
// A distinct opaque colour per 50-pixel band of the strip.
juce::Colour band_colour(int band)
{
    return juce::Colour(juce::uint8(band * 6), juce::uint8(255 - band * 3), juce::uint8(band % 2 ? 40 : 200));
}

juce::Image make_strip(int height = 50 * 41)
{
    juce::Image strip(juce::Image::ARGB, 50, height, true);
    juce::Graphics g(strip);
    for (int band = 0; band * 50 < height; ++band)
    {
        g.setColour(band_colour(band));
        g.fillRect(0, band * 50, 50, 50);
    }
    return strip;
}

struct FilmStripKnob : ::testing::Test
{
    // Declared before the slider, so the slider lets go of it before it is destroyed.
    std::unique_ptr<juce::Slider::LookAndFeelMethods> laf;
    juce::Slider slider{juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox};
    juce::Image strip = make_strip();

    StichedImageSlider_LAF& install(const juce::Image* source, int frameHeight, float textScale = 1.0f)
    {
        laf = setup_stitchedImageSlider(slider, source, frameHeight, textScale);
        return dynamic_cast<StichedImageSlider_LAF&>(*laf);
    }

    // The knob drawn at a position, at (x, y) of a transparent canvas.
    juce::Image draw(float pos, int x = 0, int y = 0)
    {
        juce::Image canvas(juce::Image::ARGB, 80, 80, true);
        juce::Graphics g(canvas);
        laf->drawRotarySlider(g, x, y, 50, 50, pos, -2.355f, 2.355f, slider);
        return canvas;
    }
};
} // namespace

TEST_F(FilmStripKnob, FrameHeightAndCount)
{
    for (const int height : {-1, 0})
    {
        const auto& knob = install(&strip, height);
        EXPECT_EQ(knob.get_frame_height(), 50);
        EXPECT_EQ(knob.get_num_images(), 41u);
    }
    const auto& knob = install(&strip, 60, 1.5f);
    EXPECT_EQ(knob.get_frame_height(), 60);
    EXPECT_EQ(knob.get_num_images(), 34u);
    EXPECT_EQ(knob.get_text_scale(), 1.5f);
    EXPECT_EQ(&slider.getLookAndFeel(), &knob);
}

TEST_F(FilmStripKnob, PositionChoosesTheNearestFrameWithHalvesUp)
{
    const auto& knob = install(&strip, -1);
    for (const auto& [pos, frame] : {std::pair(0.0f, 0), {0.0125f, 1}, {0.01f, 0}, {0.5f, 20}, {1.0f, 40}})
    {
        EXPECT_EQ(knob.frame_index(pos), frame) << pos;
        const juce::Image drawn = draw(pos);
        EXPECT_EQ(drawn.getPixelAt(0, 0), band_colour(frame)) << pos;
        EXPECT_EQ(drawn.getPixelAt(49, 49), band_colour(frame)) << pos;
        EXPECT_EQ(drawn.getPixelAt(50, 0).getAlpha(), 0) << pos << ": unscaled, one frame wide";
        EXPECT_EQ(drawn.getPixelAt(0, 50).getAlpha(), 0) << pos << ": unscaled, one frame high";
    }
    // Positions outside 0 to 1 still pick an existing frame.
    EXPECT_EQ(knob.frame_index(-0.5f), 0);
    EXPECT_EQ(knob.frame_index(1.5f), 40);
    EXPECT_EQ(knob.frame_index(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST_F(FilmStripKnob, DrawsAtTheBoxCornerAndCutsFramesOfTheGivenHeight)
{
    install(&strip, 60);
    // Frame 33 of 60 pixels starts at row 1980: band 39, then band 40 from row 2000.
    const juce::Image drawn = draw(1.0f, 10, 5);
    EXPECT_EQ(drawn.getPixelAt(9, 5).getAlpha(), 0);
    EXPECT_EQ(drawn.getPixelAt(10, 4).getAlpha(), 0);
    EXPECT_EQ(drawn.getPixelAt(10, 5), band_colour(39));
    EXPECT_EQ(drawn.getPixelAt(59, 24), band_colour(39));
    EXPECT_EQ(drawn.getPixelAt(10, 25), band_colour(40));
    EXPECT_EQ(drawn.getPixelAt(10, 64), band_colour(40));
    EXPECT_EQ(drawn.getPixelAt(10, 65).getAlpha(), 0);
}

TEST_F(FilmStripKnob, TheSliderPaintsTheFrameOfItsValueFromItsOwnCopy)
{
    slider.setRange(-20.0, 20.0, 0.1);
    slider.setBounds(0, 0, 50, 50);
    install(&strip, -1);
    strip.clear(strip.getBounds(), juce::Colours::black);
    for (const auto& [value, frame] :
         {std::pair(-20.0, 0), {0.0, 20}, {1.0, 21}, {20.0, 40}, {-0.4, 20}, {-0.6, 19}})
    {
        slider.setValue(value, juce::dontSendNotification);
        EXPECT_EQ(slider.createComponentSnapshot(slider.getLocalBounds()).getPixelAt(25, 25),
                  band_colour(frame))
            << value;
    }
}

TEST_F(FilmStripKnob, KeepsARotaryStyleAndMakesAnyOtherRotary)
{
    using S = juce::Slider;
    for (const auto& [before, after] : {std::pair(S::RotaryVerticalDrag, S::RotaryVerticalDrag),
                                        {S::RotaryHorizontalDrag, S::RotaryHorizontalDrag},
                                        {S::RotaryHorizontalVerticalDrag, S::RotaryHorizontalVerticalDrag},
                                        {S::Rotary, S::Rotary},
                                        {S::LinearHorizontal, S::Rotary},
                                        {S::LinearBar, S::Rotary},
                                        {S::IncDecButtons, S::Rotary}})
    {
        slider.setSliderStyle(before);
        install(&strip, -1);
        EXPECT_EQ(slider.getSliderStyle(), after) << before;
    }
}

TEST_F(FilmStripKnob, StripsWithoutAWholeFrameStillMakeAKnob)
{
    const juce::Image invalid;
    for (const juce::Image* source : {&invalid, static_cast<const juce::Image*>(nullptr)})
    {
        const auto& knob = install(source, -1);
        EXPECT_EQ(knob.get_num_images(), 0u);
        EXPECT_EQ(knob.frame_index(0.5f), 0);
        EXPECT_EQ(draw(0.5f).getPixelAt(0, 0).getAlpha(), 0) << "blank";
    }

    const juce::Image shortStrip = make_strip(30);
    const auto& knob = install(&shortStrip, -1);
    EXPECT_EQ(knob.get_num_images(), 1u);
    EXPECT_EQ(knob.get_frame_height(), 30);
    for (const float pos : {0.0f, 1.0f})
    {
        EXPECT_EQ(draw(pos).getPixelAt(0, 29), band_colour(0));
        EXPECT_EQ(draw(pos).getPixelAt(0, 30).getAlpha(), 0);
    }
    EXPECT_EQ(install(&strip, 3000).get_frame_height(), 2050) << "a frame taller than the strip";
}

TEST_F(FilmStripKnob, OwnTextBoxFontIsScaled)
{
    install(&strip, -1, 2.0f);
    juce::LookAndFeel_V2 plain;
    const std::unique_ptr<juce::Label> reference(plain.createSliderTextBox(slider));
    const std::unique_ptr<juce::Label> scaled(laf->createSliderTextBox(slider));
    EXPECT_FLOAT_EQ(scaled->getFont().getHeight(), 2.0f * reference->getFont().getHeight());
}

TEST_F(FilmStripKnob, LogsFrameHeightAndCount)
{
    const test_support::LogTail log(8);
    install(&strip, -1);
    std::vector<std::string> texts;
    for (const auto& r : log.records())
        if (r.function == "ScopedPointer<juce::Slider::LookAndFeelMethods> setup_stitchedImageSlider("
                          "juce::Slider &, const juce::Image *, const int, const float)")
            texts.push_back(std::to_string(r.level) + ":" + r.text.substr(0, r.text.find(' ')));
    EXPECT_EQ(texts, (std::vector<std::string>{"7:Enter", "8:height=50", "8:numImages=41", "7:Exit"}));
}
