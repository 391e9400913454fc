// The film-strip knob: frame count and height, the frame drawn for a slider position, the slider
// style it leaves, and strips that hold no whole frame.

#include "LogTail.h"
#include "editor/StichedImageSlider_LAF.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace
{
constexpr int STRIP_W = 50;
constexpr int STRIP_FRAMES = 41;

// A distinct opaque colour per 50-pixel band of the strip.
juce::Colour band_colour(int band)
{
    return juce::Colour(static_cast<juce::uint8>(band * 6), static_cast<juce::uint8>(255 - band * 3),
                        static_cast<juce::uint8>(band % 2 ? 40 : 200));
}

juce::Image make_strip(int width = STRIP_W, int height = STRIP_W * STRIP_FRAMES)
{
    juce::Image strip(juce::Image::ARGB, width, height, true);
    juce::Graphics g(strip);
    for (int band = 0; band * width < height; ++band)
    {
        g.setColour(band_colour(band));
        g.fillRect(0, band * width, width, width);
    }
    return strip;
}

StichedImageSlider_LAF& as_strip(const std::unique_ptr<juce::Slider::LookAndFeelMethods>& laf)
{
    auto* const strip = dynamic_cast<StichedImageSlider_LAF*>(laf.get());
    EXPECT_NE(strip, nullptr);
    return *strip;
}

// Draws the knob at a position into a fresh transparent canvas.
juce::Image draw_at(juce::Slider& slider, juce::Slider::LookAndFeelMethods& laf, float pos, int x = 0,
                    int y = 0)
{
    juce::Image canvas(juce::Image::ARGB, 80, 80, true);
    juce::Graphics g(canvas);
    laf.drawRotarySlider(g, x, y, 50, 50, pos, -2.355f, 2.355f, slider);
    return canvas;
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
        return as_strip(laf);
    }
};
} // namespace

TEST_F(FilmStripKnob, FrameHeightAndCount)
{
    for (const int height : {-1, 0})
    {
        laf = setup_stitchedImageSlider(slider, &strip, height, 1.0f);
        EXPECT_EQ(as_strip(laf).get_frame_height(), 50);
        EXPECT_EQ(as_strip(laf).get_num_images(), 41u);
        slider.setLookAndFeel(nullptr);
    }
    laf = setup_stitchedImageSlider(slider, &strip, 60, 1.5f);
    EXPECT_EQ(as_strip(laf).get_frame_height(), 60);
    EXPECT_EQ(as_strip(laf).get_num_images(), 34u);
    EXPECT_EQ(as_strip(laf).get_text_scale(), 1.5f);
    EXPECT_EQ(&slider.getLookAndFeel(), dynamic_cast<juce::LookAndFeel*>(laf.get()));
}

TEST_F(FilmStripKnob, PositionChoosesTheNearestFrameWithHalvesUp)
{
    laf = setup_stitchedImageSlider(slider, &strip, -1, 1.0f);
    const std::pair<float, int> cases[] = {{0.0f, 0}, {0.0125f, 1}, {0.01f, 0}, {0.5f, 20}, {1.0f, 40}};
    for (const auto& [pos, frame] : cases)
    {
        SCOPED_TRACE(pos);
        EXPECT_EQ(as_strip(laf).frame_index(pos), frame);
        const juce::Image drawn = draw_at(slider, *laf, pos);
        EXPECT_EQ(drawn.getPixelAt(0, 0), band_colour(frame));
        EXPECT_EQ(drawn.getPixelAt(49, 49), band_colour(frame));
        EXPECT_EQ(drawn.getPixelAt(50, 0).getAlpha(), 0) << "drawn unscaled: one frame wide";
        EXPECT_EQ(drawn.getPixelAt(0, 50).getAlpha(), 0) << "drawn unscaled: one frame high";
    }
}

TEST_F(FilmStripKnob, PositionsOutsideTheRangePickTheEndFrames)
{
    laf = setup_stitchedImageSlider(slider, &strip, -1, 1.0f);
    EXPECT_EQ(as_strip(laf).frame_index(-0.5f), 0);
    EXPECT_EQ(as_strip(laf).frame_index(1.5f), 40);
    EXPECT_EQ(as_strip(laf).frame_index(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(as_strip(laf).frame_index(std::numeric_limits<float>::infinity()), 40);
}

TEST_F(FilmStripKnob, DrawsAtTheBoxCornerAndCutsFramesOfTheGivenHeight)
{
    laf = setup_stitchedImageSlider(slider, &strip, 60, 1.0f);
    // Frame 33 of 60 pixels starts at row 1980: band 39 then, from row 2000, band 40.
    const juce::Image drawn = draw_at(slider, *laf, 1.0f, 10, 5);
    EXPECT_EQ(drawn.getPixelAt(9, 5).getAlpha(), 0);
    EXPECT_EQ(drawn.getPixelAt(10, 4).getAlpha(), 0);
    EXPECT_EQ(drawn.getPixelAt(10, 5), band_colour(39));
    EXPECT_EQ(drawn.getPixelAt(59, 24), band_colour(39));
    EXPECT_EQ(drawn.getPixelAt(10, 25), band_colour(40));
    EXPECT_EQ(drawn.getPixelAt(10, 64), band_colour(40));
    EXPECT_EQ(drawn.getPixelAt(10, 65).getAlpha(), 0);
}

TEST_F(FilmStripKnob, TheSliderPaintsTheFrameOfItsValue)
{
    slider.setRange(-20.0, 20.0, 0.1);
    slider.setBounds(0, 0, 50, 50);
    laf = setup_stitchedImageSlider(slider, &strip, -1, 1.0f);
    const std::pair<double, int> cases[] = {{-20.0, 0}, {0.0, 20},  {1.0, 21},
                                            {20.0, 40}, {-0.4, 20}, {-0.6, 19}};
    for (const auto& [value, frame] : cases)
    {
        SCOPED_TRACE(value);
        slider.setValue(value, juce::dontSendNotification);
        const juce::Image shot = slider.createComponentSnapshot(slider.getLocalBounds());
        EXPECT_EQ(shot.getPixelAt(25, 25), band_colour(frame));
    }
}

TEST_F(FilmStripKnob, KeepsACopyOfTheStrip)
{
    laf = setup_stitchedImageSlider(slider, &strip, -1, 1.0f);
    strip.clear(strip.getBounds(), juce::Colours::black);
    EXPECT_EQ(draw_at(slider, *laf, 0.0f).getPixelAt(5, 5), band_colour(0));
}

TEST_F(FilmStripKnob, KeepsARotaryStyleAndMakesAnyOtherRotary)
{
    const std::pair<juce::Slider::SliderStyle, juce::Slider::SliderStyle> cases[] = {
        {juce::Slider::RotaryVerticalDrag, juce::Slider::RotaryVerticalDrag},
        {juce::Slider::RotaryHorizontalDrag, juce::Slider::RotaryHorizontalDrag},
        {juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::RotaryHorizontalVerticalDrag},
        {juce::Slider::Rotary, juce::Slider::Rotary},
        {juce::Slider::LinearHorizontal, juce::Slider::Rotary},
        {juce::Slider::LinearBar, juce::Slider::Rotary},
        {juce::Slider::IncDecButtons, juce::Slider::Rotary},
    };
    for (const auto& [before, after] : cases)
    {
        juce::Slider s(before, juce::Slider::NoTextBox);
        const auto own = setup_stitchedImageSlider(s, &strip, -1, 1.0f);
        EXPECT_EQ(s.getSliderStyle(), after) << before;
        s.setLookAndFeel(nullptr);
    }
}

TEST_F(FilmStripKnob, AnInvalidStripGivesABlankKnob)
{
    const juce::Image invalid;
    for (const juce::Image* source : {&invalid, static_cast<const juce::Image*>(nullptr)})
    {
        laf = setup_stitchedImageSlider(slider, source, -1, 1.0f);
        EXPECT_EQ(as_strip(laf).get_num_images(), 0u);
        EXPECT_EQ(as_strip(laf).frame_index(0.5f), 0);
        const juce::Image drawn = draw_at(slider, *laf, 0.5f);
        EXPECT_EQ(drawn.getPixelAt(0, 0).getAlpha(), 0);
        EXPECT_EQ(slider.getSliderStyle(), juce::Slider::RotaryHorizontalVerticalDrag);
        slider.setLookAndFeel(nullptr);
    }
}

TEST_F(FilmStripKnob, AStripShorterThanOneFrameIsOneFrame)
{
    const juce::Image shortStrip = make_strip(50, 30);
    laf = setup_stitchedImageSlider(slider, &shortStrip, -1, 1.0f);
    EXPECT_EQ(as_strip(laf).get_num_images(), 1u);
    EXPECT_EQ(as_strip(laf).get_frame_height(), 30);
    for (const float pos : {0.0f, 0.5f, 1.0f})
    {
        const juce::Image drawn = draw_at(slider, *laf, pos);
        EXPECT_EQ(drawn.getPixelAt(0, 29), band_colour(0));
        EXPECT_EQ(drawn.getPixelAt(0, 30).getAlpha(), 0);
    }
    slider.setLookAndFeel(nullptr);

    // A frame height beyond the strip's height: likewise one frame.
    laf = setup_stitchedImageSlider(slider, &strip, 3000, 1.0f);
    EXPECT_EQ(as_strip(laf).get_num_images(), 1u);
    EXPECT_EQ(as_strip(laf).get_frame_height(), 2050);
}

TEST_F(FilmStripKnob, OwnTextBoxFontIsScaled)
{
    laf = setup_stitchedImageSlider(slider, &strip, -1, 2.0f);
    juce::LookAndFeel_V2 plain;
    const std::unique_ptr<juce::Label> reference(plain.createSliderTextBox(slider));
    const std::unique_ptr<juce::Label> scaled(laf->createSliderTextBox(slider));
    EXPECT_FLOAT_EQ(scaled->getFont().getHeight(), 2.0f * reference->getFont().getHeight());
}

TEST_F(FilmStripKnob, LogsFrameHeightAndCount)
{
    const test_support::LogTail log(8);
    laf = setup_stitchedImageSlider(slider, &strip, -1, 1.0f);
    const char* const signature = "ScopedPointer<juce::Slider::LookAndFeelMethods> setup_stitchedImageSlider("
                                  "juce::Slider &, const juce::Image *, const int, const float)";
    std::vector<std::string> texts;
    for (const auto& r : log.records())
        if (r.function == signature)
            texts.push_back(std::to_string(r.level) + ":" + r.text.substr(0, r.text.find(' ')));
    EXPECT_EQ(texts, (std::vector<std::string>{"7:Enter", "8:height=50", "8:numImages=41", "7:Exit"}));
}
