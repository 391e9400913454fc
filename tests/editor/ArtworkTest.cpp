// The artwork itself, read back from the embedded images: what the widgets rely on (transparent
// key margins for the hit test, the film strip's frame order) and what the user must be able to
// read (the digits' segments, lit and dark LEDs, backgrounds that leave the controls' places
// free).

#include "SkinText.h"
#include "editor/Fsum_Images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace
{
juce::Image load(const std::string& name)
{
    const Fsum_Images images;
    return images.load_image(name);
}

int luminance(juce::Colour c)
{
    return (c.getRed() * 3 + c.getGreen() * 6 + c.getBlue()) / 10;
}

bool is_red_light(juce::Colour c)
{
    return c.getAlpha() > 200 && c.getRed() > 200 && c.getGreen() < 150 && c.getBlue() < 150;
}

// The boxes of a view's controls, from its embedded layout.
std::vector<std::pair<std::string, juce::Rectangle<int>>> placed_objects(const std::string& skin)
{
    std::vector<std::pair<std::string, juce::Rectangle<int>>> out;
    for (const SkinSection* s : read_skin(skin).objects)
        if ((*s)["Name"].rfind("ui_", 0) == 0)
        {
            const Box b = s->box();
            out.emplace_back((*s)["Name"],
                             juce::Rectangle<int>(int(b[0]), int(b[1]), int(b[2] - b[0]), int(b[3] - b[1])));
        }
    return out;
}

// The key body: the part of a key image that must take clicks.
struct KeyImage
{
    const char* name;
    juce::Rectangle<int> body;
};

const KeyImage key_images[] = {
    {"toggle_off.png", {4, 4, 46, 14}},      {"toggle_pressed.png", {4, 4, 46, 14}},
    {"toggle_on.png", {4, 4, 46, 14}},       {"stopopt_up.png", {4, 4, 46, 14}},
    {"stopopt_down.png", {4, 4, 46, 14}},    {"nosend_up.png", {3, 4, 44, 23}},
    {"nosend_down.png", {3, 4, 44, 23}},     {"linklr_off_up.png", {4, 3, 22, 14}},
    {"linklr_off_down.png", {4, 3, 22, 14}}, {"linklr_on_up.png", {4, 3, 22, 14}},
};
} // namespace

TEST(KeyImages, HaveTransparentMarginsAndCornersAndAnOpaqueBody)
{
    for (const KeyImage& key : key_images)
    {
        SCOPED_TRACE(key.name);
        const juce::Image img = load(key.name);
        ASSERT_TRUE(img.isValid());
        // every pixel of the outer two-pixel ring lets clicks through (alpha 126 or less)
        for (int y = 0; y < img.getHeight(); ++y)
            for (int x = 0; x < img.getWidth(); ++x)
                if (x < 2 || y < 2 || x >= img.getWidth() - 2 || y >= img.getHeight() - 2)
                    ASSERT_LE(img.getPixelAt(x, y).getAlpha(), 126) << x << ", " << y;
        // rounded corners: the body's own corner pixel is not solid
        EXPECT_LE(img.getPixelAt(key.body.getX(), key.body.getY()).getAlpha(), 200);
        // inside the body, a pixel away from its rim, every pixel hits
        const auto inner = key.body.reduced(2);
        for (int y = inner.getY(); y < inner.getBottom(); ++y)
            for (int x = inner.getX(); x < inner.getRight(); ++x)
                ASSERT_EQ(img.getPixelAt(x, y).getAlpha(), 255) << x << ", " << y;
    }
}

TEST(KeyImages, ToggleStatesCanBeToldApart)
{
    const auto centre = [](const char* name) { return luminance(load(name).getPixelAt(27, 11)); };
    const int off = centre("toggle_off.png"), held = centre("toggle_pressed.png"),
              on = centre("toggle_on.png");
    EXPECT_GT(off, 150) << "off: light grey";
    EXPECT_LT(held, 120) << "held: dark grey";
    EXPECT_LT(on, 120) << "on: dark grey";
    EXPECT_GT(off - on, 80);
    EXPECT_NE(held, on);
}

TEST(KnobFilmStrip, PointerTurnsFromLowerLeftOverTheTopToLowerRight)
{
    const juce::Image strip = load("rotator_stitched.png");
    ASSERT_EQ(strip.getHeight(), 41 * 50);
    double previous = -1000.0;
    int previous_arc = -1;
    for (int frame = 0; frame < 41; ++frame)
    {
        SCOPED_TRACE(frame);
        // the pointer dot: the darkest pixels on the knob's face
        double sx = 0, sy = 0, n = 0;
        int arc = 0;
        for (int y = 0; y < 50; ++y)
            for (int x = 0; x < 50; ++x)
            {
                const juce::Colour c = strip.getPixelAt(x, frame * 50 + y);
                const double dx = x + 0.5 - 25.0, dy = y + 0.5 - 25.0;
                if (std::hypot(dx, dy) < 12.0 && luminance(c) < 70)
                {
                    sx += dx;
                    sy += dy;
                    n += 1;
                }
                arc += is_red_light(c) ? 1 : 0;
            }
        ASSERT_GT(n, 3.0) << "no pointer dot";
        // clockwise from twelve o'clock, in degrees
        const double angle = std::atan2(sx / n, -sy / n) * 180.0 / M_PI;
        EXPECT_NEAR(angle, -135.0 + 270.0 * frame / 40.0, 6.0);
        EXPECT_GT(angle, previous);
        previous = angle;
        // the light arc grows with the value
        EXPECT_GE(arc, previous_arc);
        previous_arc = arc;
        if (frame == 0)
            EXPECT_LT(arc, 5);
        if (frame == 40)
            EXPECT_GT(arc, 150);
    }
}

TEST(DigitImages, LightTheSevenSegmentsOfTheirDigit)
{
    // segment centres: a top, b upper right, c lower right, d bottom, e lower left, f upper left,
    // g middle
    const juce::Point<int> centre[7] = {{10, 2}, {14, 8}, {13, 18}, {8, 24}, {3, 18}, {4, 8}, {9, 13}};
    const char* lit[10] = {"abcdef", "bc",     "abdeg", "abcdg",   "bcfg",
                           "acdfg",  "acdefg", "abc",   "abcdefg", "abcdfg"};
    for (int d = 0; d < 10; ++d)
    {
        const juce::Image img = load("led_digits" + std::to_string(d) + ".png");
        ASSERT_TRUE(img.isValid());
        for (int s = 0; s < 7; ++s)
        {
            const bool on = std::string(lit[d]).find(char('a' + s)) != std::string::npos;
            const juce::Colour c = img.getPixelAt(centre[s].x, centre[s].y);
            EXPECT_EQ(is_red_light(c), on) << "digit " << d << " segment " << char('a' + s);
            if (!on)
                EXPECT_LT(c.getAlpha(), 150) << "an unlit segment is faint";
        }
        EXPECT_EQ(img.getPixelAt(0, 0).getAlpha(), 0) << "transparent ground";
    }
}

TEST(LedImages, LitIsAGlowingRedBallAndDarkIsBlack)
{
    const juce::Image on = load("led_red_on.png"), off = load("led_red_off.png");
    ASSERT_TRUE(on.isValid() && off.isValid());
    EXPECT_TRUE(is_red_light(on.getPixelAt(34, 36)));
    EXPECT_LT(luminance(off.getPixelAt(34, 36)), 60);
    EXPECT_EQ(off.getPixelAt(34, 36).getAlpha(), 255);
    // the glow reaches beyond the ball, the dark LED has none
    EXPECT_GT(on.getPixelAt(32, 52).getAlpha(), 40);
    EXPECT_LT(off.getPixelAt(32, 54).getAlpha(), 40);
    for (const auto& img : {on, off})
        EXPECT_EQ(img.getPixelAt(0, 0).getAlpha(), 0);
}

struct View
{
    const char* image;
    const char* skin;
};

void PrintTo(const View& v, std::ostream* os)
{
    *os << v.image;
}

class Background : public testing::TestWithParam<View>
{
};

TEST_P(Background, IsOpaqueAndLeavesEveryControlsPlaceFree)
{
    const juce::Image bg = load(GetParam().image);
    ASSERT_TRUE(bg.isValid());
    for (int y = 0; y < bg.getHeight(); ++y)
        for (int x = 0; x < bg.getWidth(); ++x)
            ASSERT_EQ(bg.getPixelAt(x, y).getAlpha(), 255) << x << ", " << y;

    const auto placed = placed_objects(GetParam().skin);
    ASSERT_GT(placed.size(), 10u);
    for (const auto& [name, box] : placed)
    {
        // the middle of each control's box shows only the plain ground beneath it: no caption
        // or edge is printed where the control will stand
        auto inner = box.reduced(box.getWidth() / 4, box.getHeight() / 4);
        if (name.find("_led") != std::string::npos || name.rfind("ui_signal", 0) == 0)
            inner = box.withSizeKeepingCentre(12, 12); // LED boxes carry the meter scale at the top
        int lo = 255, hi = 0;
        for (int y = inner.getY(); y < inner.getBottom(); ++y)
            for (int x = inner.getX(); x < inner.getRight(); ++x)
            {
                const int l = luminance(bg.getPixelAt(x, y));
                lo = std::min(lo, l);
                hi = std::max(hi, l);
            }
        EXPECT_LE(hi - lo, 12) << name;
        EXPECT_LT(hi, 100) << name << ": a dark place";
    }
}

TEST_P(Background, PrintsTheTitleInWhiteAtTheTopLeft)
{
    const juce::Image bg = load(GetParam().image);
    int bright = 0;
    for (int y = 15; y < 33; ++y)
        for (int x = 18; x < 110; ++x)
            bright += luminance(bg.getPixelAt(x, y)) > 230 ? 1 : 0;
    EXPECT_GT(bright, 100);
    EXPECT_LT(luminance(bg.getPixelAt(3, 80)), 80) << "a dark ground";
}

INSTANTIATE_TEST_SUITE_P(Views, Background,
                         testing::Values(View{"bg_master.png", "bg_master.skin"},
                                         View{"bg_send.png", "bg_send.skin"},
                                         View{"bg_send_mono.png", "bg_send_mono.skin"}),
                         [](const auto& info)
                         {
                             std::string n = info.param.image;
                             return n.substr(0, n.find('.'));
                         });
