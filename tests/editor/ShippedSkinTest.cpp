// The three embedded layouts through the editor's layout reader: every control lands exactly where
// its view expects it, and a view assembled from the embedded images and placed by its layout
// shows its keys, LEDs, digits, knob and title where they belong, so broken artwork or layouts are
// caught. With SIGNFLUX_RENDER_DIR set, the renders are also written there as PNG files.

#include "EditorTestAccess.h"
#include "LogTail.h"
#include "editor/DrawableButton_withHitTest.h"
#include "editor/Fsum_Images.h"
#include "editor/Slider_altClickReset.h"
#include "editor/StichedImageSlider_LAF.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <optional>

namespace
{
using Access = FlipsumAudioProcessorEditorTestAccess;
using Box = std::optional<juce::Rectangle<int>>;

juce::Rectangle<int> corners(int x0, int y0, int x1, int y1)
{
    return {x0, y0, x1 - x0, y1 - y0};
}

struct placed_t
{
    const char* name;
    const char* image; // the embedded image the view shows there
    Box master, send, mono;
};

const auto SIGNAL = [](int x) { return corners(x, 51, x + 40, 91); };
const placed_t PLACED[] = {
    {"ui_routing_send", "routing_send_on_up.png", corners(42, 81, 96, 103), corners(42, 81, 96, 103),
     corners(42, 81, 96, 103)},
    {"ui_routing_off", "routing_off_off_up.png", corners(42, 97, 96, 119), corners(42, 97, 96, 119),
     corners(42, 97, 96, 119)},
    {"ui_routing_recv", "routing_recv_off_up.png", corners(42, 113, 96, 135), corners(42, 113, 96, 135),
     corners(42, 113, 96, 135)},
    {"ui_send_digit0", "led_digits2.png", corners(248, 71, 266, 98), {}, {}},
    {"ui_send_digit1", "led_digits1.png", corners(228, 71, 246, 98), {}, {}},
    {"ui_noSend", "nosend_up.png", corners(222, 107, 272, 139), {}, {}},
    {"ui_algToggle", "algorithm_off_up.png", corners(313, 75, 367, 97), {}, {}},
    {"ui_filter", "lowboost_on_up.png", corners(405, 75, 459, 97), {}, {}},
    {"ui_startOpt", "optimize_off_up.png", corners(520, 75, 574, 97), {}, {}},
    {"ui_startOpt_led", "led_red_on.png", corners(484, 64, 524, 104), {}, {}},
    {"ui_optProgress", nullptr, corners(471, 96, 601, 128), {}, {}},
    {"ui_bypassAll", "bypass_off_up.png", corners(620, 62, 674, 84), {}, {}},
    {"ui_gain", "rotator_stitched.png", {}, corners(297, 92, 347, 142), corners(297, 92, 347, 142)},
    {"ui_gain_text", nullptr, {}, corners(351, 108, 405, 123), corners(351, 108, 405, 123)},
    {"ui_signal60", "led_red_on.png", {}, SIGNAL(219), SIGNAL(219)},
    {"ui_signal32", "led_red_on.png", {}, SIGNAL(243), SIGNAL(243)},
    {"ui_signal22", "led_red_on.png", {}, SIGNAL(267), SIGNAL(267)},
    {"ui_signal16", "led_red_on.png", {}, SIGNAL(291), SIGNAL(291)},
    {"ui_signal10", "led_red_on.png", {}, SIGNAL(315), SIGNAL(315)},
    {"ui_signal6", "led_red_off.png", {}, SIGNAL(339), SIGNAL(339)},
    {"ui_signal3", "led_red_off.png", {}, SIGNAL(363), SIGNAL(363)},
    {"ui_signal0", "led_red_off.png", {}, SIGNAL(387), SIGNAL(387)},
    {"ui_polarityL_led", "led_red_on.png", {}, corners(473, 39, 513, 79), corners(503, 39, 543, 79)},
    {"ui_polarityR_led", "led_red_off.png", {}, corners(534, 39, 574, 79), {}},
    {"ui_polarityL", "polarity_on_up.png", {}, corners(468, 70, 522, 92), corners(498, 70, 552, 92)},
    {"ui_polarityR", "polarity_off_up.png", {}, corners(529, 70, 583, 92), {}},
    {"ui_linkLR", "linklr_on_up.png", {}, corners(510, 95, 540, 115), {}},
    {"ui_logo", "logo_up.png", corners(620, 132, 745, 146), corners(460, 132, 585, 146),
     corners(460, 132, 585, 146)},
};

const Box& box_in(const placed_t& p, const std::string& skin)
{
    return skin == "bg_master.skin" ? p.master : skin == "bg_send.skin" ? p.send : p.mono;
}

bool is_image(const std::string& name)
{
    return name.find("_led") != std::string::npos || name.rfind("ui_signal", 0) == 0 ||
           name.rfind("ui_send_digit", 0) == 0;
}

bool is_red_light(juce::Colour c)
{
    return c.getRed() > 180 && c.getGreen() < 140 && c.getBlue() < 140;
}

int bright_pixels(const juce::Image& shot, juce::Rectangle<int> area)
{
    int bright = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            bright += shot.getPixelAt(x, y).getPerceivedBrightness() > 0.7f ? 1 : 0;
    return bright;
}

class ShippedSkin : public ::testing::TestWithParam<std::string>
{
};
} // namespace

TEST_P(ShippedSkin, PlacesEveryObjectExactlyAndReportsTheAbsentOnes)
{
    const std::string skin = GetParam();
    const juce::Rectangle<int> unplaced{1, 2, 3, 4};
    std::deque<juce::Component> components;
    std::deque<juce::DrawableImage> images;
    Access::layout_map_t map;
    for (const placed_t& p : PLACED)
    {
        juce::Component& c = is_image(p.name) ? images.emplace_back() : components.emplace_back();
        if (auto* const image = dynamic_cast<juce::DrawableImage*>(&c))
            image->setBoundingBox(unplaced.toFloat());
        else
            c.setBounds(unplaced);
        map[p.name] = &c;
    }

    const test_support::LogTail log(6);
    Access::parse_resource(map, skin);

    std::vector<std::string> absent;
    for (const placed_t& p : PLACED)
    {
        const Box& box = box_in(p, skin);
        if (!box)
            absent.push_back(std::string("Not in layout file: ") + p.name);
        if (auto* const image = dynamic_cast<juce::DrawableImage*>(map[p.name]))
            EXPECT_EQ(image->getBoundingBox(), juce::Parallelogram<float>(box.value_or(unplaced).toFloat()))
                << p.name;
        else
            EXPECT_EQ(map[p.name]->getBounds(), box.value_or(unplaced)) << p.name;
    }
    std::sort(absent.begin(), absent.end());
    EXPECT_EQ(log.texts(6, "Not in layout file: "), absent);
}

TEST_P(ShippedSkin, RendersItsViewWithEveryControlInPlace)
{
    // Assemble the view: background, then every object of the layout with its image.
    const std::string skin = GetParam();
    juce::Component view;
    juce::DrawableImage background;
    background.setImage(fsumimg.load_image(skin.substr(0, skin.size() - 5) + ".png"));
    ASSERT_TRUE(background.getImage().isValid());
    view.setSize(background.getWidth(), background.getHeight());
    view.addAndMakeVisible(background);

    std::deque<juce::DrawableImage> images;
    std::deque<DrawableButton_withHitTest> keys;
    std::unique_ptr<juce::Slider::LookAndFeelMethods> knobLaf;
    Slider_altClickReset knob(juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox);
    const juce::Image strip = fsumimg.load_image("rotator_stitched.png");
    Access::layout_map_t map;
    for (const placed_t& p : PLACED)
    {
        if (!box_in(p, skin) || p.image == nullptr)
            continue;
        const juce::Image pixels = fsumimg.load_image(p.image);
        ASSERT_TRUE(pixels.isValid()) << p.image;
        if (std::string(p.name) == "ui_gain")
        {
            knobLaf = setup_stitchedImageSlider(knob, &strip, -1, 1.0f);
            knob.setRange(-20.0, 20.0, 0.1);
            map[p.name] = &knob;
        }
        else if (is_image(p.name))
        {
            images.emplace_back().setImage(pixels);
            map[p.name] = &images.back();
        }
        else
        {
            juce::DrawableImage up;
            up.setImage(pixels);
            keys.emplace_back("", juce::DrawableButton::ImageRaw).setImages(&up);
            map[p.name] = &keys.back();
        }
        view.addAndMakeVisible(map[p.name]);
    }
    Access::parse_resource(map, skin);
    const auto render = [&view] { return view.createComponentSnapshot(view.getLocalBounds(), false); };
    const juce::Image shot = render();

    if (const char* dir = std::getenv("SIGNFLUX_RENDER_DIR"))
    {
        juce::FileOutputStream out(juce::File(dir).getChildFile("render_" + skin + ".png"));
        out.setPosition(0);
        out.truncate();
        juce::PNGImageFormat().writeImageToStream(shot, out);
    }

    for (const placed_t& p : PLACED)
    {
        const Box& box = box_in(p, skin);
        if (!box || p.image == nullptr)
            continue;
        SCOPED_TRACE(p.name);
        const juce::Point<int> centre = box->getCentre();
        if (std::string(p.name) == "ui_logo")
            EXPECT_GT(bright_pixels(shot, *box), 150) << "white lettering";
        else if (auto* const key = dynamic_cast<DrawableButton_withHitTest*>(map[p.name]))
        {
            // The key is drawn at its own size: an opaque centre that hits, a transparent
            // corner that shows what lies beneath and lets the click through.
            const juce::Image& own = dynamic_cast<juce::DrawableImage*>(key->getCurrentImage())->getImage();
            EXPECT_EQ(own.getBounds(), box->withZeroOrigin());
            const juce::Colour middle = own.getPixelAt(box->getWidth() / 2, box->getHeight() / 2);
            EXPECT_EQ(middle.getAlpha(), 255);
            EXPECT_EQ(shot.getPixelAt(centre.x, centre.y), middle);
            EXPECT_TRUE(key->hitTest(box->getWidth() / 2, box->getHeight() / 2));
            EXPECT_FALSE(key->hitTest(0, 0));
            key->setVisible(false);
            const juce::Image beneath = render();
            key->setVisible(true);
            EXPECT_EQ(shot.getPixelAt(box->getX(), box->getY()),
                      beneath.getPixelAt(box->getX(), box->getY()));
            EXPECT_NE(shot.getPixelAt(centre.x, centre.y), beneath.getPixelAt(centre.x, centre.y));
        }
        else if (std::string(p.image).rfind("led_red", 0) == 0)
            EXPECT_EQ(is_red_light(shot.getPixelAt(centre.x, centre.y)),
                      std::string(p.image) == "led_red_on.png");
        else if (std::string(p.image).rfind("led_digits", 0) == 0)
        {
            int red = 0;
            for (int y = box->getY(); y < box->getBottom(); ++y)
                for (int x = box->getX(); x < box->getRight(); ++x)
                    red += is_red_light(shot.getPixelAt(x, y)) ? 1 : 0;
            EXPECT_GT(red, 20) << "lit segments";
        }
        else if (std::string(p.name) == "ui_gain")
            for (const juce::Point<int> at : {juce::Point<int>(25, 25), {20, 25}, {30, 28}})
            {
                const juce::Colour frame = strip.getPixelAt(at.x, 20 * 50 + at.y);
                EXPECT_EQ(frame.getAlpha(), 255);
                EXPECT_EQ(shot.getPixelAt(box->getX() + at.x, box->getY() + at.y), frame)
                    << "frame 20 (0 dB) drawn unscaled";
            }
    }

    // The title: bright lettering on dark ground at the top left.
    const int title = bright_pixels(shot, {18, 15, 100, 20});
    EXPECT_GT(title, 160);
    EXPECT_LT(title, 1400);
    EXPECT_LT(shot.getPixelAt(10, 160).getPerceivedBrightness(), 0.4f);
}

INSTANTIATE_TEST_SUITE_P(EmbeddedSkins, ShippedSkin,
                         ::testing::Values("bg_master.skin", "bg_send.skin", "bg_send_mono.skin"),
                         [](const auto& info) { return info.param.substr(3, info.param.size() - 8); });
