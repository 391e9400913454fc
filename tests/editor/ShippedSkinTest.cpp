// The three embedded layouts read by the editor's layout reader: every control lands exactly where
// its view expects it, and a view assembled from the embedded images and placed by its layout
// looks right where it matters (keys, LEDs, digits, knob, title), so broken artwork or layouts
// are caught. With SIGNFLUX_RENDER_DIR set, the renders are also written there as PNG files.

#include "EditorTestAccess.h"
#include "LogTail.h"
#include "editor/DrawableButton_withHitTest.h"
#include "editor/Fsum_Images.h"
#include "editor/Slider_altClickReset.h"
#include "editor/StichedImageSlider_LAF.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace
{
using Access = FlipsumAudioProcessorEditorTestAccess;
using Corners = std::array<int, 4>; // X0, Y0, X1, Y1

struct placed_t
{
    const char* name;
    bool image;
    std::optional<Corners> master;
    std::optional<Corners> send;
    std::optional<Corners> mono;
};

const Corners ROUTING_SEND{42, 81, 96, 103};
const Corners ROUTING_OFF{42, 97, 96, 119};
const Corners ROUTING_RECV{42, 113, 96, 135};

const placed_t PLACED[] = {
    {"ui_routing_send", false, ROUTING_SEND, ROUTING_SEND, ROUTING_SEND},
    {"ui_routing_off", false, ROUTING_OFF, ROUTING_OFF, ROUTING_OFF},
    {"ui_routing_recv", false, ROUTING_RECV, ROUTING_RECV, ROUTING_RECV},
    {"ui_send_digit0", true, Corners{248, 71, 266, 98}, {}, {}},
    {"ui_send_digit1", true, Corners{228, 71, 246, 98}, {}, {}},
    {"ui_noSend", false, Corners{222, 107, 272, 139}, {}, {}},
    {"ui_algToggle", false, Corners{313, 75, 367, 97}, {}, {}},
    {"ui_filter", false, Corners{405, 75, 459, 97}, {}, {}},
    {"ui_startOpt", false, Corners{520, 75, 574, 97}, {}, {}},
    {"ui_startOpt_led", true, Corners{484, 64, 524, 104}, {}, {}},
    {"ui_optProgress", false, Corners{471, 96, 601, 128}, {}, {}},
    {"ui_bypassAll", false, Corners{620, 62, 674, 84}, {}, {}},
    {"ui_gain", false, {}, Corners{297, 92, 347, 142}, Corners{297, 92, 347, 142}},
    {"ui_gain_text", false, {}, Corners{351, 108, 405, 123}, Corners{351, 108, 405, 123}},
    {"ui_signal60", true, {}, Corners{219, 51, 259, 91}, Corners{219, 51, 259, 91}},
    {"ui_signal32", true, {}, Corners{243, 51, 283, 91}, Corners{243, 51, 283, 91}},
    {"ui_signal22", true, {}, Corners{267, 51, 307, 91}, Corners{267, 51, 307, 91}},
    {"ui_signal16", true, {}, Corners{291, 51, 331, 91}, Corners{291, 51, 331, 91}},
    {"ui_signal10", true, {}, Corners{315, 51, 355, 91}, Corners{315, 51, 355, 91}},
    {"ui_signal6", true, {}, Corners{339, 51, 379, 91}, Corners{339, 51, 379, 91}},
    {"ui_signal3", true, {}, Corners{363, 51, 403, 91}, Corners{363, 51, 403, 91}},
    {"ui_signal0", true, {}, Corners{387, 51, 427, 91}, Corners{387, 51, 427, 91}},
    {"ui_polarityL_led", true, {}, Corners{473, 39, 513, 79}, Corners{503, 39, 543, 79}},
    {"ui_polarityR_led", true, {}, Corners{534, 39, 574, 79}, {}},
    {"ui_polarityL", false, {}, Corners{468, 70, 522, 92}, Corners{498, 70, 552, 92}},
    {"ui_polarityR", false, {}, Corners{529, 70, 583, 92}, {}},
    {"ui_linkLR", false, {}, Corners{510, 95, 540, 115}, {}},
    {"ui_logo", false, Corners{620, 132, 745, 146}, Corners{460, 132, 585, 146}, Corners{460, 132, 585, 146}},
};

const std::optional<Corners>& corners_in(const placed_t& p, const std::string& skin)
{
    return skin == "bg_master.skin" ? p.master : skin == "bg_send.skin" ? p.send : p.mono;
}

juce::Rectangle<int> rect(const Corners& c)
{
    return {c[0], c[1], c[2] - c[0], c[3] - c[1]};
}

juce::Image load(const std::string& name)
{
    const juce::Image image = fsumimg.load_image(name);
    EXPECT_TRUE(image.isValid()) << name;
    return image;
}

int luminance(juce::Colour c)
{
    return (c.getRed() * 3 + c.getGreen() * 6 + c.getBlue()) / 10;
}

bool is_red_light(juce::Colour c)
{
    return c.getRed() > 180 && c.getGreen() < 140 && c.getBlue() < 140;
}

void write_png(const juce::Image& image, const std::string& name)
{
    const char* const dir = std::getenv("SIGNFLUX_RENDER_DIR");
    if (dir == nullptr || *dir == '\0')
        return;
    juce::File file = juce::File(dir).getChildFile(name);
    file.deleteFile();
    juce::FileOutputStream out(file);
    juce::PNGImageFormat().writeImageToStream(image, out);
}

// A view as the editor assembles it: background, image buttons, LED pairs, digits, knob and
// labels, all named after their skin objects and placed by the layout reader.
class ViewUnderTest : public juce::Component
{
public:
    explicit ViewUnderTest(const std::string& skin) : skin(skin)
    {
        const bool master = skin == "bg_master.skin";
        const std::string bg = master                   ? "bg_master.png"
                               : skin == "bg_send.skin" ? "bg_send.png"
                                                        : "bg_send_mono.png";
        background.setImage(load(bg));
        addAndMakeVisible(background);
        setSize(background.getImage().getWidth(), background.getImage().getHeight());

        add_toggle("ui_routing_send", "routing_send", !master);
        add_toggle("ui_routing_off", "routing_off", false);
        add_toggle("ui_routing_recv", "routing_recv", master);
        add_push(logo, "ui_logo", "logo");
        if (master)
        {
            add_toggle("ui_algToggle", "algorithm", false);
            add_toggle("ui_filter", "lowboost", true);
            add_toggle("ui_startOpt", "optimize", false);
            add_toggle("ui_bypassAll", "bypass", false);
            add_push(buttons.emplace_back("", juce::DrawableButton::ImageRaw), "ui_noSend", "nosend");
            add_led("ui_startOpt_led", true);
            add_digit("ui_send_digit1", 1);
            add_digit("ui_send_digit0", 2);
            add_label("ui_optProgress", "DONE [+3.1 dB]");
        }
        else
        {
            add_toggle("ui_polarityL", "polarity", true);
            add_toggle("ui_polarityR", "polarity", false);
            add_toggle("ui_linkLR", "linklr", true);
            add_led("ui_polarityL_led", true);
            add_led("ui_polarityR_led", false);
            const char* const meter[] = {"ui_signal60", "ui_signal32", "ui_signal22", "ui_signal16",
                                         "ui_signal10", "ui_signal6",  "ui_signal3",  "ui_signal0"};
            for (int i = 0; i < 8; ++i)
                add_led(meter[i], i < 5);

            strip = load("rotator_stitched.png");
            knobLaf = setup_stitchedImageSlider(knob, &strip, -1, 1.0f);
            knob.setRange(-20.0, 20.0, 0.1);
            knob.setValue(0.0, juce::dontSendNotification);
            addAndMakeVisible(knob);
            layout["ui_gain"] = &knob;
            add_label("ui_gain_text", "");
            knob.attachTextBox(&labels.back());
            knob.setTextValueSuffix(" dB");
        }

        Access::parse_resource(layout, skin);

        // The second image of each LED pair and digits 1 to 9 share their first image's box.
        for (auto& [off, on] : leds)
            on->setBoundingBox(off->getBoundingBox());
    }

    ~ViewUnderTest() override { knob.setLookAndFeel(nullptr); }

    juce::Image render() { return createComponentSnapshot(getLocalBounds(), false); }

    const std::string skin;
    juce::DrawableImage background;
    std::deque<DrawableButton_withHitTest> buttons;
    juce::DrawableButton logo{"", juce::DrawableButton::ImageRaw};
    std::deque<juce::DrawableImage> images;
    std::vector<std::pair<juce::DrawableImage*, juce::DrawableImage*>> leds;
    std::deque<juce::Label> labels;
    std::unique_ptr<juce::Slider::LookAndFeelMethods> knobLaf;
    Slider_altClickReset knob{juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox};
    juce::Image strip;
    std::map<std::string, juce::Component*> layout;

private:
    static std::unique_ptr<juce::DrawableImage> drawable(const std::string& name)
    {
        auto d = std::make_unique<juce::DrawableImage>();
        d->setImage(load(name));
        return d;
    }

    void add_toggle(const std::string& name, const std::string& prefix, bool on)
    {
        auto& b = buttons.emplace_back("", juce::DrawableButton::ImageRaw);
        const auto offUp = drawable(prefix + "_off_up.png");
        const auto offDown = drawable(prefix + "_off_down.png");
        const auto onUp = drawable(prefix + "_on_up.png");
        const auto onDown = drawable(prefix + "_on_down.png");
        b.setImages(offUp.get(), nullptr, offDown.get(), nullptr, onUp.get(), nullptr, onDown.get());
        b.setClickingTogglesState(true);
        b.setColour(juce::DrawableButton::backgroundOnColourId, juce::Colours::transparentBlack);
        b.setToggleState(on, juce::dontSendNotification);
        addAndMakeVisible(b);
        layout[name] = &b;
    }

    void add_push(juce::DrawableButton& b, const std::string& name, const std::string& prefix)
    {
        const auto up = drawable(prefix + "_up.png");
        const auto down = drawable(prefix + "_down.png");
        b.setImages(up.get(), nullptr, down.get());
        addAndMakeVisible(b);
        layout[name] = &b;
    }

    void add_led(const std::string& name, bool lit)
    {
        auto& off = images.emplace_back();
        off.setImage(load("led_red_off.png"));
        auto& on = images.emplace_back();
        on.setImage(load("led_red_on.png"));
        addChildComponent(off);
        addChildComponent(on);
        (lit ? on : off).setVisible(true);
        leds.emplace_back(&off, &on);
        layout[name] = &off;
    }

    void add_digit(const std::string& name, int digit)
    {
        auto& image = images.emplace_back();
        image.setImage(load("led_digits" + std::to_string(digit) + ".png"));
        addAndMakeVisible(image);
        layout[name] = &image;
    }

    void add_label(const std::string& name, const juce::String& text)
    {
        auto& label = labels.emplace_back();
        label.setText(text, juce::dontSendNotification);
        label.setColour(juce::Label::textColourId, juce::Colours::white);
        label.setJustificationType(juce::Justification::centredRight);
        addAndMakeVisible(label);
        layout[name] = &label;
    }
};

juce::Rectangle<int> placed_bounds(const ViewUnderTest& view, const std::string& name)
{
    return view.layout.at(name)->getBoundsInParent();
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Placing by the embedded layouts

class ShippedLayout : public ::testing::TestWithParam<std::string>
{
};

TEST_P(ShippedLayout, PlacesEveryObjectExactlyAndReportsTheAbsentOnes)
{
    const std::string skin = GetParam();
    const juce::Rectangle<int> unplaced{1, 2, 3, 4};
    std::deque<juce::Component> components;
    std::deque<juce::DrawableImage> images;
    Access::layout_map_t map;
    for (const placed_t& p : PLACED)
    {
        juce::Component* c = nullptr;
        if (p.image)
        {
            auto& image = images.emplace_back();
            image.setImage(juce::Image(juce::Image::ARGB, 64, 64, true));
            image.setBoundingBox(unplaced.toFloat());
            c = &image;
        }
        else
        {
            c = &components.emplace_back();
            c->setBounds(unplaced);
        }
        map[p.name] = c;
    }

    const test_support::LogTail log(6);
    Access::parse_resource(map, skin);

    std::vector<std::string> absent;
    for (const placed_t& p : PLACED)
    {
        SCOPED_TRACE(p.name);
        const auto& corners = corners_in(p, skin);
        if (!corners)
            absent.push_back(std::string("Not in layout file: ") + p.name);
        if (p.image)
        {
            auto* const image = static_cast<juce::DrawableImage*>(map[p.name]);
            const auto expected = corners ? rect(*corners).toFloat() : unplaced.toFloat();
            EXPECT_EQ(image->getBoundingBox(), juce::Parallelogram<float>(expected));
        }
        else
            EXPECT_EQ(map[p.name]->getBounds(), corners ? rect(*corners) : unplaced);
    }
    std::sort(absent.begin(), absent.end());
    EXPECT_EQ(log.texts(6, "Not in layout file: "), absent);
}

INSTANTIATE_TEST_SUITE_P(EmbeddedSkins, ShippedLayout,
                         ::testing::Values("bg_master.skin", "bg_send.skin", "bg_send_mono.skin"),
                         [](const auto& info) { return info.param.substr(3, info.param.size() - 8); });

// ---------------------------------------------------------------------------------------------
// Rendered views

namespace
{
// The pixel of a placed button's own image at its centre must be what the render shows there.
void expect_key_drawn(ViewUnderTest& view, const juce::Image& shot, const std::string& name)
{
    SCOPED_TRACE(name);
    auto* const button = dynamic_cast<juce::DrawableButton*>(view.layout.at(name));
    ASSERT_NE(button, nullptr);
    const auto* const image = dynamic_cast<const juce::DrawableImage*>(button->getCurrentImage());
    ASSERT_NE(image, nullptr);
    const juce::Image& pixels = image->getImage();
    const juce::Rectangle<int> box = button->getBoundsInParent();
    EXPECT_EQ(pixels.getBounds(), box.withZeroOrigin()) << "the layout box has the image's size";

    const juce::Point<int> centre(box.getWidth() / 2, box.getHeight() / 2);
    const juce::Colour own = pixels.getPixelAt(centre.x, centre.y);
    EXPECT_EQ(own.getAlpha(), 255) << "a key's centre is opaque";
    EXPECT_EQ(shot.getPixelAt(box.getX() + centre.x, box.getY() + centre.y), own);
    EXPECT_TRUE(button->hitTest(centre.x, centre.y));

    // The top left corner is transparent: what lies beneath shows and the click goes there.
    button->setVisible(false);
    const juce::Image beneath = view.render();
    button->setVisible(true);
    EXPECT_EQ(pixels.getPixelAt(0, 0).getAlpha(), 0);
    EXPECT_EQ(shot.getPixelAt(box.getX(), box.getY()), beneath.getPixelAt(box.getX(), box.getY()));
    EXPECT_NE(shot.getPixelAt(box.getX() + centre.x, box.getY() + centre.y),
              beneath.getPixelAt(box.getX() + centre.x, box.getY() + centre.y));
    EXPECT_FALSE(button->hitTest(0, 0));
}

// Share of bright pixels in an area of the render.
double bright_share(const juce::Image& shot, juce::Rectangle<int> area)
{
    int bright = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            bright += luminance(shot.getPixelAt(x, y)) > 170 ? 1 : 0;
    return double(bright) / double(area.getWidth() * area.getHeight());
}

void expect_title(const juce::Image& shot)
{
    const double title = bright_share(shot, {18, 15, 100, 20});
    EXPECT_GT(title, 0.08) << "the title SIGNFLUX is written at the top left";
    EXPECT_LT(title, 0.7);
    EXPECT_LT(luminance(shot.getPixelAt(10, 160)), 100) << "dark ground";
}
} // namespace

TEST(RenderedView, Master)
{
    ViewUnderTest view("bg_master.skin");
    const juce::Image shot = view.render();
    write_png(shot, "view_master.png");
    ASSERT_EQ(shot.getBounds(), juce::Rectangle<int>(0, 0, 770, 165));

    for (const char* key :
         {"ui_routing_send", "ui_routing_recv", "ui_algToggle", "ui_filter", "ui_startOpt", "ui_bypassAll"})
        expect_key_drawn(view, shot, key);
    expect_title(shot);

    const juce::Rectangle<int> led = placed_bounds(view, "ui_startOpt_led");
    EXPECT_EQ(led, rect({484, 64, 524, 104}));
    EXPECT_TRUE(is_red_light(shot.getPixelAt(led.getCentreX(), led.getCentreY()))) << "lit LED";

    // The two digits: red segments inside their boxes, over the dark counter window.
    for (const char* digit : {"ui_send_digit0", "ui_send_digit1"})
    {
        const juce::Rectangle<int> box = placed_bounds(view, digit);
        int red = 0;
        for (int y = box.getY(); y < box.getBottom(); ++y)
            for (int x = box.getX(); x < box.getRight(); ++x)
                red += is_red_light(shot.getPixelAt(x, y)) ? 1 : 0;
        EXPECT_GT(red, 20) << digit;
    }

    // The status line's sample text stands inside its box.
    const juce::Rectangle<int> status = placed_bounds(view, "ui_optProgress");
    EXPECT_GT(bright_share(shot, status), 0.01);
}

TEST(RenderedView, StereoSend)
{
    ViewUnderTest view("bg_send.skin");
    const juce::Image shot = view.render();
    write_png(shot, "view_send.png");
    ASSERT_EQ(shot.getBounds(), juce::Rectangle<int>(0, 0, 610, 165));

    for (const char* key : {"ui_routing_send", "ui_routing_off", "ui_polarityL", "ui_polarityR", "ui_linkLR"})
        expect_key_drawn(view, shot, key);
    expect_title(shot);

    // Lit and dark LEDs: meter -60 to -10 lit, -6 to 0 dark; left polarity lit, right dark.
    const auto centre_of = [&](const char* name)
    {
        const auto b = placed_bounds(view, name);
        return shot.getPixelAt(b.getCentreX(), b.getCentreY());
    };
    EXPECT_TRUE(is_red_light(centre_of("ui_signal60")));
    EXPECT_TRUE(is_red_light(centre_of("ui_signal10")));
    EXPECT_FALSE(is_red_light(centre_of("ui_signal6")));
    EXPECT_FALSE(is_red_light(centre_of("ui_signal0")));
    EXPECT_TRUE(is_red_light(centre_of("ui_polarityL_led")));
    EXPECT_FALSE(is_red_light(centre_of("ui_polarityR_led")));

    // The knob shows frame 20 (0 dB) of the strip, unscaled in its 50 x 50 box.
    const juce::Rectangle<int> knob = placed_bounds(view, "ui_gain");
    EXPECT_EQ(knob, rect({297, 92, 347, 142}));
    for (const juce::Point<int> p :
         {juce::Point<int>(25, 25), juce::Point<int>(25, 5), juce::Point<int>(10, 40)})
    {
        const juce::Colour frame = view.strip.getPixelAt(p.x, 20 * 50 + p.y);
        if (frame.getAlpha() == 255)
            EXPECT_EQ(shot.getPixelAt(knob.getX() + p.x, knob.getY() + p.y), frame) << p.toString();
    }

    // The value box beside the knob shows the value and was not moved by it.
    EXPECT_EQ(placed_bounds(view, "ui_gain_text"), rect({351, 108, 405, 123}));
    EXPECT_EQ(view.labels.back().getText(), "0.0 dB");
}

TEST(RenderedView, MonoSend)
{
    ViewUnderTest view("bg_send_mono.skin");
    // A mono view never shows the right channel's controls; they stay where they were.
    view.layout.at("ui_polarityR")->setVisible(false);
    view.layout.at("ui_linkLR")->setVisible(false);
    for (auto& [off, on] : view.leds)
        if (view.layout.at("ui_polarityR_led") == off)
        {
            off->setVisible(false);
            on->setVisible(false);
        }
    const juce::Image shot = view.render();
    write_png(shot, "view_send_mono.png");

    for (const char* key : {"ui_routing_send", "ui_polarityL"})
        expect_key_drawn(view, shot, key);
    expect_title(shot);
    EXPECT_EQ(placed_bounds(view, "ui_polarityR"), juce::Rectangle<int>());
    const auto led = placed_bounds(view, "ui_polarityL_led");
    EXPECT_EQ(led, rect({503, 39, 543, 79}));
    EXPECT_TRUE(is_red_light(shot.getPixelAt(led.getCentreX(), led.getCentreY())));
}

TEST(RenderedWidgets, KnobFramesAndKeys)
{
    // Knob at minimum, centre and maximum, then the key images, side by side for a look.
    const juce::Image strip = load("rotator_stitched.png");
    juce::Image sheet(juce::Image::ARGB, 3 * 50 + 4 * 60, 50, true);
    {
        juce::Graphics g(sheet);
        g.fillAll(juce::Colour(30, 30, 30));
        std::unique_ptr<juce::Slider::LookAndFeelMethods> laf;
        juce::Slider knob(juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox);
        laf = setup_stitchedImageSlider(knob, &strip, -1, 1.0f);
        for (int i = 0; i < 3; ++i)
            laf->drawRotarySlider(g, i * 50, 0, 50, 50, 0.5f * float(i), -2.355f, 2.355f, knob);
        knob.setLookAndFeel(nullptr);
        int x = 150;
        for (const char* key : {"toggle_off.png", "toggle_pressed.png", "toggle_on.png", "stopopt_up.png"})
        {
            g.drawImageAt(load(key), x, 10);
            x += 60;
        }
    }
    write_png(sheet, "widgets.png");

    // Frames 0, 20 and 40 differ: the pointer moves.
    const juce::Rectangle<int> frame(0, 0, 50, 50);
    EXPECT_NE(sheet.getClippedImage(frame.withX(0)).createCopy().getPixelAt(25, 25).getARGB(), 0u);
    int differing = 0;
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 50; ++x)
            differing += sheet.getPixelAt(x, y) != sheet.getPixelAt(x + 100, y) ? 1 : 0;
    EXPECT_GT(differing, 30) << "minimum and maximum frames look different";
}
