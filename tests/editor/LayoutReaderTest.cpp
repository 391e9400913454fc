// The skin layout reader on small texts: sections applied at the next header with exactly five
// keys, corner order, float boxes for images and truncated bounds for other components, exact
// names and keys, values that are no numbers, missing texts, and the report of unplaced names.

#include "EditorTestAccess.h"
#include "LogTail.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>

namespace
{
using Access = FlipsumAudioProcessorEditorTestAccess;
const juce::Rectangle<int> UNPLACED{100, 100, 7, 7};

// One object section with the five keys among others, as the shipped texts write them.
std::string section(const std::string& name, const std::string& x0, const std::string& y0,
                    const std::string& x1, const std::string& y1)
{
    return "[Obj00001]\nName=" + name + "\nParent=Background\nX0=" + x0 + "\nY0=" + y0 + "\nX1=" + x1 +
           "\nY1=" + y1 + "\nVisible=1\n";
}

class LayoutReader : public ::testing::Test
{
protected:
    void SetUp() override
    {
        a.setBounds(UNPLACED);
        b.setBounds(UNPLACED);
    }
    void parse(const std::string& text) { Access::parse_text(components, "test.skin", text.c_str()); }
    juce::Rectangle<int> reset_a()
    {
        const auto was = a.getBounds();
        a.setBounds(UNPLACED);
        return was;
    }

    juce::Component a;
    juce::Component b;
    Access::layout_map_t components{{"ui_a", &a}, {"ui_b", &b}};
};
} // namespace

TEST_F(LayoutReader, ASectionIsAppliedOnlyAtTheNextHeader)
{
    const std::string body = "\xEF\xBB\xBF\n[Skin]\nWidth=610\n" + section("ui_a", "1", "2", "11", "22");
    parse(body);
    EXPECT_EQ(reset_a(), UNPLACED) << "no header follows the last section";
    parse(body + "[Thumbnail]\n\n[End]\n");
    EXPECT_EQ(reset_a(), juce::Rectangle<int>(1, 2, 10, 20));

    // Text order: the later box of a name wins.
    parse(section("ui_a", "1", "1", "5", "5") + section("ui_b", "2", "2", "4", "4") +
          section("ui_a", "30", "40", "35", "50") + "[End]\n");
    EXPECT_EQ(reset_a(), juce::Rectangle<int>(30, 40, 5, 10));
    EXPECT_EQ(b.getBounds(), juce::Rectangle<int>(2, 2, 2, 2));
}

TEST_F(LayoutReader, ExactlyFiveKeyLinesApplyASection)
{
    // Two X0 lines and no name line: five keys, applied with the name of the section before.
    parse(section("ui_a", "1", "1", "5", "5") + "[Obj2]\nX0=90\nX0=10\nY0=20\nX1=14\nY1=26\n[End]\n");
    EXPECT_EQ(reset_a(), juce::Rectangle<int>(10, 20, 4, 6));

    parse("[Obj1]\nName=ui_a\nX0=1\nY0=1\nX1=5\nY1=5\nY1=6\n[End]\n");
    EXPECT_EQ(reset_a(), UNPLACED) << "six key lines";
    parse("[Obj1]\nName=ui_a\nX0=1\nY0=1\nX1=5\n[End]\n");
    EXPECT_EQ(reset_a(), UNPLACED) << "four key lines";
    parse("[Obj1]\nName=ui_a\nX0=1\nY0=1\n[Obj2]\nX1=5\nY1=5\n[End]\n");
    EXPECT_EQ(reset_a(), UNPLACED) << "keys never add up across a header";
}

TEST_F(LayoutReader, CornersAndTruncation)
{
    parse(section("ui_a", "10", "30", "4", "12") + "[End]\n");
    EXPECT_EQ(reset_a(), juce::Rectangle<int>(4, 12, 6, 18)) << "corners in any order";

    // Width and height truncate by themselves, not from truncated corners; toward zero.
    parse(section("ui_a", "0.7", "-2.5", "10.6", "3.9") + "[End]\n");
    EXPECT_EQ(reset_a(), juce::Rectangle<int>(0, -2, 9, 6));

    juce::DrawableImage image;
    image.setImage(juce::Image(juce::Image::ARGB, 64, 64, true));
    components["ui_led"] = &image;
    parse(section("ui_led", "0.5", "0.5", "40.5", "40.5") + section("ui_a", "0.5", "0.5", "40.5", "40.5") +
          "[End]\n");
    EXPECT_EQ(image.getBoundingBox(),
              juce::Parallelogram<float>(juce::Rectangle<float>(0.5f, 0.5f, 40.0f, 40.0f)));
    EXPECT_EQ(reset_a(), juce::Rectangle<int>(0, 0, 40, 40));

    parse(section("ui_led", "484", "64", "524", "104") + "[End]\n");
    EXPECT_EQ(image.getBoundsInParent(), juce::Rectangle<int>(484, 64, 40, 40)) << "scaled into its box";
}

TEST_F(LayoutReader, NamesAndKeysMatchExactly)
{
    parse(section("ui_a ", "1", "1", "5", "5") + section(" ui_b", "1", "1", "5", "5") +
          section("UI_A", "1", "1", "5", "5") + "[End]\n");
    EXPECT_EQ(a.getBounds(), UNPLACED);
    EXPECT_EQ(b.getBounds(), UNPLACED);

    parse("  \t[Obj1]\n \tName=ui_a\n\t X0=3\n  Y0=4\n\tX1=13\n Y1=24\n   \n\t[End]\n");
    EXPECT_EQ(reset_a(), juce::Rectangle<int>(3, 4, 10, 20)) << "indented lines; a blank line is no header";
    parse("[Obj1]\nName=ui_a\nx0=3\nY0=4\nX1=13\nY1=24\n[End]\n");
    EXPECT_EQ(reset_a(), UNPLACED) << "lower-case key";
    parse("[Obj1]\nName=ui_a\nX0 =3\nY0=4\nX1=13\nY1=24\n[End]\n");
    EXPECT_EQ(reset_a(), UNPLACED) << "blank before the equals sign";
}

TEST_F(LayoutReader, ValuesThatAreNoNumbers)
{
    parse(section("ui_a", "  7.9px", "+2", "12.000000", "1e1") + "[End]\n");
    EXPECT_EQ(reset_a(), juce::Rectangle<int>(7, 2, 4, 8)) << "a number ends where it cannot go on";

    for (const char* bad : {"abc", "", "-", "nan", "inf", "1e999", "+-3", "1e20"})
    {
        b.setBounds(UNPLACED);
        parse(section("ui_a", "1", bad, "5", "5") + section("ui_b", "1", "2", "5", "6") + "[End]\n");
        EXPECT_EQ(reset_a(), UNPLACED) << bad;
        EXPECT_EQ(b.getBounds(), juce::Rectangle<int>(1, 2, 4, 4))
            << bad << ": the next section still applies";
    }
}

// Components and images alike: a box beyond +-16384 pixels (corner or size), or with a width or
// height above zero but below 1/256 pixel, is not applied. The image is painted in its view.
TEST_F(LayoutReader, BoxesBeyondWhatCanBePaintedAreNotApplied)
{
    juce::Component view;
    view.setSize(770, 165);
    juce::DrawableImage image;
    image.setImage(juce::Image(juce::Image::ARGB, 8, 8, true));
    view.addAndMakeVisible(image);
    components["ui_led"] = &image;
    const juce::Parallelogram<float> image_unplaced(juce::Rectangle<float>(1.0f, 2.0f, 3.0f, 4.0f));
    struct box_t
    {
        const char *x0, *y0, *x1, *y1;
        bool placed;
    };
    const box_t boxes[] = {
        {"-3e9", "0", "10", "10", false},      // out of the int range
        {"0", "0", "5e9", "10", false},        //
        {"0", "0", "10", "100000000", false},  // paintable only with gigabytes
        {"0", "0", "2000000000", "10", false}, // overflows the renderer's fixed point
        {"-10000", "0", "10000", "10", false}, // corners within, width beyond
        {"-16384.5", "0", "0", "10", false},   //
        {"-16384", "-16384", "0", "0", true},  // at the bound
        {"16384", "0", "0", "16384", true},    //
        {"0", "0", "1e-38", "10", false},      // too small to invert
        {"5", "5", "15", "5.0039", false},     //
        {"0", "0", "0.00390625", "10", true},  // at the bound
        {"0", "0", "0", "10", true},           // no width: drawn unscaled, as ever
    };
    for (const auto& box : boxes)
    {
        a.setBounds(UNPLACED);
        image.setBoundingBox(image_unplaced);
        const test_support::LogTail log(6);
        parse(section("ui_a", box.x0, box.y0, box.x1, box.y1) +
              section("ui_led", box.x0, box.y0, box.x1, box.y1) + "[End]\n");
        const std::string what = std::string(box.x0) + " " + box.y0 + " " + box.x1 + " " + box.y1;
        EXPECT_EQ(a.getBounds() != UNPLACED, box.placed) << what;
        EXPECT_EQ(image.getBoundingBox() != image_unplaced, box.placed) << what;
        std::vector<std::string> reported{"Not in layout file: ui_b"};
        if (!box.placed)
            reported = {"Not in layout file: ui_a", "Not in layout file: ui_b", "Not in layout file: ui_led"};
        EXPECT_EQ(log.texts(6, "Not in layout file: "), reported) << what;
        view.createComponentSnapshot(view.getLocalBounds());
    }
}

TEST_F(LayoutReader, MissingTextsAndTheirEnd)
{
    const test_support::LogTail log(6);
    Access::parse_text(components, "missing.skin", nullptr);
    Access::parse_resource(components, "bg_nothing.skin");
    EXPECT_EQ(a.getBounds(), UNPLACED);
    EXPECT_EQ(log.texts(6, "Not in layout file: ").size(), 4u);

    const std::string text = section("ui_a", "1", "1", "5", "5") + "[End]\n";
    Access::parse_bytes(components, "test.skin", text.data(), text.size() - 6);
    EXPECT_EQ(reset_a(), UNPLACED) << "nothing read past the given size";
    const std::string cut = section("ui_a", "1", "1", "5", "5") + std::string(1, '\0') + "[End]\n";
    Access::parse_bytes(components, "test.skin", cut.data(), cut.size());
    EXPECT_EQ(reset_a(), UNPLACED) << "nothing read past a zero byte";
}

TEST_F(LayoutReader, LogsItsArgumentsAndTheNamesNotPlacedInNameOrder)
{
    juce::Component z, m;
    components["ui_z"] = &z;
    components["ui_m"] = &m;
    {
        const test_support::LogTail log(6);
        parse(section("ui_b", "1", "1", "5", "5") + section("ui_unknown", "1", "1", "5", "5") + "[End]\n");
        EXPECT_EQ(log.texts(6, "Not in layout file: "),
                  (std::vector<std::string>{"Not in layout file: ui_a", "Not in layout file: ui_m",
                                            "Not in layout file: ui_z"}));
        std::ostringstream args;
        args << "Args: components=0x" << std::hex << reinterpret_cast<std::uintptr_t>(&components)
             << ", view=test.skin";
        EXPECT_EQ(log.texts(4, "Args: "), std::vector<std::string>{args.str()});
        // Under the reader's operation, whichever overload the text came through.
        for (const auto& record : log.records())
            if (record.level == 4)
                EXPECT_EQ(record.function,
                          "static void FlipsumAudioProcessorEditor::setup_parse_layout(layout_map_t&, const "
                          "std::string&)");
    }
    const test_support::LogTail quiet(5);
    parse("[End]\n");
    EXPECT_TRUE(quiet.texts(6, "Not in layout file: ").empty());
}
