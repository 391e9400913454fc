// The skin layout reader: sections applied at the next header with exactly five keys, corner
// order, float boxes for images and truncated bounds for other components, reporting of names the
// text never placed, and texts that are malformed or missing.

#include "EditorTestAccess.h"
#include "LogTail.h"
#include "editor/FlipsumAudioProcessorEditor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

namespace
{
using Access = FlipsumAudioProcessorEditorTestAccess;

const juce::Rectangle<int> UNPLACED{100, 100, 7, 7};

// One object section with the five keys, in the shipped texts' layout.
std::string section(int n, const std::string& name, const std::string& x0, const std::string& y0,
                    const std::string& x1, const std::string& y1)
{
    return "[Obj0000" + std::to_string(n) + "]\nName=" + name + "\nParent=Background\nX0=" + x0 +
           "\nY0=" + y0 + "\nX1=" + x1 + "\nY1=" + y1 + "\nVisible=1\n";
}

class LayoutReader : public ::testing::Test
{
protected:
    void SetUp() override
    {
        a.setBounds(UNPLACED);
        b.setBounds(UNPLACED);
        components = {{"ui_a", &a}, {"ui_b", &b}};
    }

    void parse(const std::string& text) { Access::parse_text(components, "test.skin", text.c_str()); }

    juce::Component a;
    juce::Component b;
    Access::layout_map_t components;
};

juce::Parallelogram<float> box(float x, float y, float w, float h)
{
    return juce::Parallelogram<float>(juce::Rectangle<float>(x, y, w, h));
}
} // namespace

TEST_F(LayoutReader, AppliesASectionOnlyWhenTheNextHeaderIsRead)
{
    const std::string body =
        "\xEF\xBB\xBF\n[Skin]\nVersion=999\nWidth=610\n" + section(1, "ui_a", "1", "2", "11", "22");
    parse(body);
    EXPECT_EQ(a.getBounds(), UNPLACED) << "the last section without a following header is never applied";

    parse(body + "[Thumbnail]\n\n[End]\n");
    EXPECT_EQ(a.getBounds(), juce::Rectangle<int>(1, 2, 10, 20));
}

TEST_F(LayoutReader, ObjectsAreAppliedInTextOrderAndTheLaterBoxWins)
{
    parse(section(1, "ui_a", "1", "1", "5", "5") + section(2, "ui_b", "2", "2", "4", "4") +
          section(3, "ui_a", "30", "40", "35", "50") + "[End]\n");
    EXPECT_EQ(a.getBounds(), juce::Rectangle<int>(30, 40, 5, 10));
    EXPECT_EQ(b.getBounds(), juce::Rectangle<int>(2, 2, 2, 2));
}

TEST_F(LayoutReader, FiveKeyLinesWithoutANameReuseTheEarlierName)
{
    // Second section: two X0 lines and no name line make five key lines.
    parse(section(1, "ui_a", "1", "1", "5", "5") + "[Obj00002]\nX0=90\nX0=10\nY0=20\nX1=14\nY1=26\n[End]\n");
    EXPECT_EQ(a.getBounds(), juce::Rectangle<int>(10, 20, 4, 6));
}

TEST_F(LayoutReader, SectionsWithMoreOrFewerThanFiveKeysAreSkipped)
{
    parse("[Obj00001]\nName=ui_a\nX0=1\nY0=1\nX1=5\nY1=5\nY1=6\n[End]\n");
    EXPECT_EQ(a.getBounds(), UNPLACED) << "six key lines";

    parse("[Obj00001]\nName=ui_a\nX0=1\nY0=1\nX1=5\n[End]\n");
    EXPECT_EQ(a.getBounds(), UNPLACED) << "four key lines";

    // Keys never add up across a header, even one that is not applied.
    parse("[Obj00001]\nName=ui_a\nX0=1\nY0=1\n[Obj00002]\nX1=5\nY1=5\n[End]\n");
    EXPECT_EQ(a.getBounds(), UNPLACED) << "three and two key lines";
}

TEST_F(LayoutReader, CornersInAnyOrderGiveTheSameBox)
{
    parse(section(1, "ui_a", "10", "30", "4", "12") + "[End]\n");
    EXPECT_EQ(a.getBounds(), juce::Rectangle<int>(4, 12, 6, 18));
}

TEST_F(LayoutReader, ImagesGetTheFloatBoxOtherComponentsTruncatedValues)
{
    juce::DrawableImage image;
    juce::Image pixels(juce::Image::ARGB, 64, 64, true);
    image.setImage(pixels);
    components["ui_led"] = &image;

    parse(section(1, "ui_led", "0.5", "0.5", "40.5", "40.5") +
          section(2, "ui_a", "0.5", "0.5", "40.5", "40.5") + "[End]\n");
    EXPECT_EQ(image.getBoundingBox(), box(0.5f, 0.5f, 40.0f, 40.0f));
    EXPECT_EQ(a.getBounds(), juce::Rectangle<int>(0, 0, 40, 40));

    // Width and height are truncated by themselves, not taken from truncated corners; negative
    // values truncate toward zero.
    parse(section(1, "ui_a", "0.7", "-2.5", "10.6", "3.9") + "[End]\n");
    EXPECT_EQ(a.getBounds(), juce::Rectangle<int>(0, -2, 9, 6));
}

TEST_F(LayoutReader, ImagesAreScaledIntoTheirBox)
{
    juce::DrawableImage image;
    image.setImage(juce::Image(juce::Image::ARGB, 64, 64, true));
    components["ui_led"] = &image;
    parse(section(1, "ui_led", "484", "64", "524", "104") + "[End]\n");
    EXPECT_EQ(image.getBoundingBox(), box(484.0f, 64.0f, 40.0f, 40.0f));
    EXPECT_EQ(image.getBoundsInParent(), juce::Rectangle<int>(484, 64, 40, 40));
}

TEST_F(LayoutReader, NamesMatchExactly)
{
    parse(section(1, "ui_a ", "1", "1", "5", "5") + section(2, " ui_b", "1", "1", "5", "5") +
          section(3, "UI_A", "1", "1", "5", "5") + "[End]\n");
    EXPECT_EQ(a.getBounds(), UNPLACED);
    EXPECT_EQ(b.getBounds(), UNPLACED);
}

TEST_F(LayoutReader, KeysMayBeIndentedButAreCaseSensitiveAndTight)
{
    parse("  \t[Obj00001]\n \tName=ui_a\n\t X0=3\n  Y0=4\n\tX1=13\n Y1=24\n   \n\t[End]\n");
    EXPECT_EQ(a.getBounds(), juce::Rectangle<int>(3, 4, 10, 20));

    parse("[Obj00001]\nName=ui_b\nx0=3\nY0=4\nX1=13\nY1=24\n[End]\n");
    EXPECT_EQ(b.getBounds(), UNPLACED) << "lower-case key";
    parse("[Obj00001]\nName=ui_b\nX0 =3\nY0=4\nX1=13\nY1=24\n[End]\n");
    EXPECT_EQ(b.getBounds(), UNPLACED) << "blank before the equals sign";
    parse("[Obj00001]\nName=ui_b\nX0=3\nY0=4\nX1=13\nY1=24\n   \n[End]\n");
    EXPECT_EQ(b.getBounds(), juce::Rectangle<int>(3, 4, 10, 20)) << "a blank line is no header";
}

TEST_F(LayoutReader, ValuesParseUpToTheFirstCharacterThatCannotContinueANumber)
{
    parse(section(1, "ui_a", "  7.9px", "+2", "12.000000", "1e1") + "[End]\n");
    EXPECT_EQ(a.getBounds(), juce::Rectangle<int>(7, 2, 4, 8));
}

TEST_F(LayoutReader, ASectionWithAValueThatIsNoNumberIsSkipped)
{
    for (const char* bad : {"abc", "", "-", "nan", "inf", "1e999", "+-3", "1e20"})
    {
        SCOPED_TRACE(bad);
        a.setBounds(UNPLACED);
        b.setBounds(UNPLACED);
        parse(section(1, "ui_a", "1", bad, "5", "5") + section(2, "ui_b", "1", "2", "5", "6") + "[End]\n");
        EXPECT_EQ(a.getBounds(), UNPLACED);
        EXPECT_EQ(b.getBounds(), juce::Rectangle<int>(1, 2, 4, 4)) << "the next section is still applied";
    }
}

TEST_F(LayoutReader, ANullTextPlacesNothingAndReportsEveryName)
{
    const test_support::LogTail log(6);
    Access::parse_text(components, "missing.skin", nullptr);
    EXPECT_EQ(a.getBounds(), UNPLACED);
    EXPECT_EQ(log.texts(6, "Not in layout file: "),
              (std::vector<std::string>{"Not in layout file: ui_a", "Not in layout file: ui_b"}));
}

TEST_F(LayoutReader, ReadsNoFurtherThanTheGivenSize)
{
    const std::string text = section(1, "ui_a", "1", "1", "5", "5") + "[End]\n";
    Access::parse_bytes(components, "test.skin", text.data(), text.size() - 6);
    EXPECT_EQ(a.getBounds(), UNPLACED);
    Access::parse_bytes(components, "test.skin", text.data(), text.size());
    EXPECT_EQ(a.getBounds(), juce::Rectangle<int>(1, 1, 4, 4));
}

TEST_F(LayoutReader, LogsItsArgumentsAndEveryNameNotPlacedInNameOrder)
{
    juce::Component z;
    juce::Component m;
    components["ui_z"] = &z;
    components["ui_m"] = &m;

    const test_support::LogTail log(6);
    parse(section(1, "ui_b", "1", "1", "5", "5") + section(2, "ui_unknown", "1", "1", "5", "5") + "[End]\n");
    EXPECT_EQ(log.texts(6, "Not in layout file: "),
              (std::vector<std::string>{"Not in layout file: ui_a", "Not in layout file: ui_m",
                                        "Not in layout file: ui_z"}));

    std::ostringstream args;
    args << "Args: components=0x" << std::hex << reinterpret_cast<std::uintptr_t>(&components)
         << ", view=test.skin";
    EXPECT_EQ(log.texts(4, "Args: components="), std::vector<std::string>{args.str()});
}

TEST_F(LayoutReader, ReportsNothingBelowLevelSix)
{
    const test_support::LogTail log(5);
    parse("[End]\n");
    EXPECT_TRUE(log.texts(6, "Not in layout file: ").empty());
}

TEST_F(LayoutReader, AViewWithoutAnEmbeddedLayoutPlacesNothing)
{
    const test_support::LogTail log(6);
    Access::parse_resource(components, "bg_nothing.skin");
    EXPECT_EQ(a.getBounds(), UNPLACED);
    EXPECT_EQ(log.texts(6, "Not in layout file: ").size(), 2u);
}
