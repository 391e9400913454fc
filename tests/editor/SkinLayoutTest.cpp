// The three embedded ".skin" layout texts: their format, the placed objects with their exact
// corners, and the design objects that the backgrounds are drawn from.

#include "SkinText.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>

namespace
{
struct Caption
{
    std::string text;
    double x, y;
    int size;
};

struct Layout
{
    const char* name;
    int width;
    std::map<std::string, Box> placed;
    std::map<std::string, Box> panels;
    std::vector<Caption> captions;
};

void PrintTo(const Layout& l, std::ostream* os)
{
    *os << l.name;
}

std::vector<Layout> layouts()
{
    const std::map<std::string, Box> common = {
        {"ui_routing_send", {42, 81, 96, 103}},
        {"ui_routing_off", {42, 97, 96, 119}},
        {"ui_routing_recv", {42, 113, 96, 135}},
    };
    const std::vector<Caption> routing = {
        {"ROUTING", 61, 55, 16}, {"SEND ON", 95, 83, 13}, {"SEND OFF", 95, 99, 13}, {"MASTER", 95, 115, 13}};

    Layout master{
        "bg_master.skin",
        770,
        common,
        {{"Routing", {15, 45, 195, 150}}, {"Master", {195, 15, 610, 150}}, {"Compare", {610, 15, 755, 120}}},
        routing};
    master.placed.insert({{"ui_logo", {620, 132, 745, 146}},
                          {"ui_send_digit0", {248, 71, 266, 98}},
                          {"ui_send_digit1", {228, 71, 246, 98}},
                          {"ui_noSend", {222, 107, 272, 139}},
                          {"ui_algToggle", {313, 75, 367, 97}},
                          {"ui_filter", {405, 75, 459, 97}},
                          {"ui_startOpt", {520, 75, 574, 97}},
                          {"ui_startOpt_led", {484, 64, 524, 104}},
                          {"ui_optProgress", {471, 96, 601, 128}},
                          {"ui_bypassAll", {620, 62, 674, 84}}});
    master.captions.insert(master.captions.end(), {{"MASTER", 363, 23, 16},
                                                   {"SENDS", 222.5, 42, 13},
                                                   {"PROCESSING", 293.5, 55, 13},
                                                   {"LF-BOOST", 397, 55, 13},
                                                   {"MAXIMIZE", 502, 55, 13},
                                                   {"FAST (APPROX)", 298.5, 100, 10},
                                                   {"COMPARE", 637, 23, 16},
                                                   {"BYPASS", 672.5, 64, 13},
                                                   {"\xC3\x98", 730, 63, 14}});

    Layout mono{
        "bg_send_mono.skin",
        610,
        common,
        {{"Routing", {15, 45, 195, 150}}, {"Signal", {195, 15, 450, 150}}, {"Polarity", {450, 15, 595, 120}}},
        routing};
    const char* meter[] = {"60", "32", "22", "16", "10", "6", "3", "0"};
    const double scale_x[] = {227, 251, 275, 299, 323, 351, 375, 402};
    for (int i = 0; i < 8; ++i)
    {
        mono.placed["ui_signal" + std::string(meter[i])] = {219.0 + 24 * i, 51, 259.0 + 24 * i, 91};
        mono.captions.push_back({i == 7 ? "0" : "-" + std::string(meter[i]), scale_x[i], 50, 11});
    }
    mono.placed.insert({{"ui_logo", {460, 132, 585, 146}},
                        {"ui_gain", {297, 92, 347, 142}},
                        {"ui_gain_text", {351, 108, 405, 123}}});
    mono.captions.insert(mono.captions.end(),
                         {{"SIGNAL", 292, 23, 16}, {"GAIN", 257.5, 109, 13}, {"\xC3\x98", 514, 23, 16}});

    Layout stereo = mono;
    stereo.name = "bg_send.skin";
    stereo.panels.erase("Polarity");
    stereo.panels["Phase"] = {450, 15, 595, 120};
    stereo.placed.insert({{"ui_polarityL_led", {473, 39, 513, 79}},
                          {"ui_polarityR_led", {534, 39, 574, 79}},
                          {"ui_polarityL", {468, 70, 522, 92}},
                          {"ui_polarityR", {529, 70, 583, 92}},
                          {"ui_linkLR", {510, 95, 540, 115}}});
    stereo.captions.insert(stereo.captions.end(), {{"L", 488.5, 96, 13}, {"R", 547.5, 96, 13}});
    mono.placed.insert({{"ui_polarityL_led", {503, 39, 543, 79}}, {"ui_polarityL", {498, 70, 552, 92}}});
    return {master, stereo, mono};
}

class Skin : public testing::TestWithParam<Layout>
{
protected:
    void SetUp() override
    {
        skin = read_skin(GetParam().name);
        ASSERT_GT(skin.lines.size(), 20u) << GetParam().name << " is not embedded";
    }
    SkinText skin;
};
} // namespace

TEST_P(Skin, HasTheDesignToolsFormat)
{
    EXPECT_EQ(skin.text.find('\r'), std::string::npos) << "lines end in a line feed alone";
    EXPECT_EQ(skin.text.find('\0'), std::string::npos);
    EXPECT_EQ(skin.lines[0], "\xEF\xBB\xBF");
    ASSERT_EQ(skin.sections.size(), skin.objects.size() + 4);
    EXPECT_EQ(skin.lines[1], "[Skin]");
    const std::vector<std::pair<std::string, std::string>> head = {
        {"Version", "999"},
        {"Width", std::to_string(GetParam().width)},
        {"Height", "165"},
        {"FramesX", "1"},
        {"FramesY", "1"},
        {"BgTransparent", "1"},
        {"BackgroundR", "255"},
        {"BackgroundG", "255"},
        {"BackgroundB", "255"},
        {"WorkspaceR", "100"},
        {"WorkspaceG", "100"},
        {"WorkspaceB", "100"},
        {"ObjNum", std::to_string(skin.objects.size())}};
    EXPECT_EQ(skin.sections[0].keys, head);

    EXPECT_EQ(skin.sections[1].header, "[Pal]");
    ASSERT_EQ(skin.sections[1].keys.size(), 24u);
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(skin.sections[1].keys[i].first, "Col" + std::to_string(i));

    for (size_t i = 0; i < skin.objects.size(); ++i)
    {
        char header[16];
        std::snprintf(header, sizeof header, "[Obj%05zu]", i + 1);
        EXPECT_EQ(skin.objects[i], &skin.sections[i + 2]);
        EXPECT_EQ(skin.objects[i]->header, header);
    }
    EXPECT_EQ(skin.sections[skin.sections.size() - 2].header, "[Thumbnail]");
    EXPECT_EQ(skin.lines.back(), "[End]");
    for (size_t i = skin.lines.size() - 2; skin.lines[i] != "[Thumbnail]"; --i)
        EXPECT_EQ(skin.lines[i], "") << "only empty lines follow [Thumbnail]";
}

TEST_P(Skin, EveryObjectCarriesTheFiveKeysOnce)
{
    // With fewer or more of the five the reader skips the section, or places a component by a
    // name left over from the section before.
    const std::regex number("-?[0-9]+\\.[0-9]{6}");
    for (const SkinSection* s : skin.objects)
    {
        SCOPED_TRACE(s->header + " " + (*s)["Name"]);
        for (const char* key : {"Name", "X0", "Y0", "X1", "Y1"})
            EXPECT_EQ(s->count(key), 1) << key;
        for (const char* key : {"X0", "Y0", "X1", "Y1"})
            EXPECT_TRUE(std::regex_match((*s)[key], number)) << key << "=" << (*s)[key];
        const Box b = s->box();
        EXPECT_TRUE(0 <= b[0] && b[0] < b[2] && b[2] <= GetParam().width);
        EXPECT_TRUE(0 <= b[1] && b[1] < b[3] && b[3] <= 165);
    }
}

TEST_P(Skin, PlacesEveryControlAtItsExactCornersAndNothingElse)
{
    const auto& placed = GetParam().placed;
    for (const auto& [name, box] : placed)
    {
        const auto found = skin.named(name);
        ASSERT_EQ(found.size(), 1u) << name;
        EXPECT_EQ(found[0]->box(), box) << name;
    }
    for (size_t i = 0; i < skin.objects.size(); ++i)
    {
        const std::string name = (*skin.objects[i])["Name"];
        if (name.rfind("ui_", 0) != 0)
            continue;
        EXPECT_EQ(placed.count(name), 1u) << name << " is no control of this view";
        if (name == "ui_optProgress" || name == "ui_gain_text")
            continue;
        // an image control is a group holding one "Image" of its own box
        ASSERT_LT(i + 1, skin.objects.size());
        EXPECT_EQ((*skin.objects[i + 1])["Name"], "Image") << name;
        EXPECT_EQ((*skin.objects[i + 1])["Parent"], name);
        EXPECT_EQ(skin.objects[i + 1]->box(), skin.objects[i]->box()) << name;
    }
}

TEST_P(Skin, CarriesTheBackgroundsDesignObjects)
{
    const double w = GetParam().width;
    ASSERT_FALSE(skin.objects.empty());
    EXPECT_EQ((*skin.objects[0])["Name"], "Background");
    EXPECT_EQ(skin.objects[0]->box(), (Box{0, 0, w, 165}));
    const auto frame = skin.named("Frame");
    ASSERT_EQ(frame.size(), 1u);
    EXPECT_EQ(frame[0]->box(), (Box{7, 7, w - 7, 160}));
    const auto title = skin.named("SIGNFLUX");
    ASSERT_EQ(title.size(), 1u);
    EXPECT_EQ(title[0]->box()[0], 18.0);
    EXPECT_EQ(title[0]->box()[1], 15.0);
    EXPECT_EQ((*title[0])["FontSize"], "17");

    for (const auto& [name, box] : GetParam().panels)
    {
        const auto panel = skin.named(name);
        ASSERT_EQ(panel.size(), 1u) << name;
        EXPECT_EQ(panel[0]->box(), box) << name;
    }
    for (const Caption& cap : GetParam().captions)
    {
        int found = 0;
        for (const SkinSection* s : skin.objects)
            if ((*s)["Type"] == "Text" && (*s)["Text"] == cap.text && s->box()[0] == cap.x &&
                s->box()[1] == cap.y && (*s)["FontSize"] == std::to_string(cap.size) &&
                (*s)["FontName"] == "Arial" && (*s)["Visible"] == "1")
                ++found;
        EXPECT_EQ(found, 1) << "caption " << cap.text << " at " << cap.x << ", " << cap.y;
    }
}

INSTANTIATE_TEST_SUITE_P(Embedded, Skin, testing::ValuesIn(layouts()),
                         [](const auto& info)
                         {
                             const std::string n = info.param.name;
                             return n.substr(0, n.find('.'));
                         });
