// The three embedded ".skin" layout texts: their format, the placed objects with their exact
// corners, and the design objects that the backgrounds are drawn from. The texts are parsed here
// by a few lines of the test's own, independently of the editor's layout reader.

#include "editor/BinaryDataIndex.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace
{
struct Section
{
    std::string header;
    std::vector<std::pair<std::string, std::string>> keys;

    int count(const std::string& key) const
    {
        int n = 0;
        for (const auto& kv : keys)
            n += kv.first == key ? 1 : 0;
        return n;
    }
    std::string value(const std::string& key) const
    {
        for (const auto& kv : keys)
            if (kv.first == key)
                return kv.second;
        return {};
    }
    std::array<double, 4> box() const
    {
        return {std::stod(value("X0")), std::stod(value("Y0")), std::stod(value("X1")),
                std::stod(value("Y1"))};
    }
};

struct Skin
{
    std::string text;
    std::vector<std::string> lines;
    std::vector<Section> sections; // every "[...]" section in order

    std::vector<const Section*> objects() const
    {
        std::vector<const Section*> out;
        for (const auto& s : sections)
            if (s.header.rfind("[Obj", 0) == 0)
                out.push_back(&s);
        return out;
    }
    const Section* section(const std::string& header) const
    {
        for (const auto& s : sections)
            if (s.header == header)
                return &s;
        return nullptr;
    }
    // The object sections of that name, in file order.
    std::vector<const Section*> named(const std::string& name) const
    {
        std::vector<const Section*> out;
        for (const Section* s : objects())
            if (s->value("Name") == name)
                out.push_back(s);
        return out;
    }
};

Skin load_skin(const std::string& name)
{
    size_t size = 0;
    const unsigned char* const data = details_::retrieve_binary_data(name, size);
    Skin skin;
    if (data == nullptr)
        return skin;
    skin.text.assign(reinterpret_cast<const char*>(data), size);
    std::string line;
    std::istringstream in(skin.text);
    while (std::getline(in, line))
    {
        skin.lines.push_back(line);
        if (!line.empty() && line[0] == '[')
            skin.sections.push_back({line, {}});
        else if (!skin.sections.empty())
        {
            const auto eq = line.find('=');
            if (eq != std::string::npos)
                skin.sections.back().keys.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return skin;
}

using Box = std::array<double, 4>;

const std::map<std::string, Box> routing_and_logo(double logo_x)
{
    return {{"ui_routing_send", {42, 81, 96, 103}},
            {"ui_routing_off", {42, 97, 96, 119}},
            {"ui_routing_recv", {42, 113, 96, 135}},
            {"ui_logo", {logo_x, 132, logo_x + 125, 146}}};
}

std::map<std::string, Box> placed_master()
{
    auto m = routing_and_logo(620);
    m.insert({{"ui_send_digit0", {248, 71, 266, 98}},
              {"ui_send_digit1", {228, 71, 246, 98}},
              {"ui_noSend", {222, 107, 272, 139}},
              {"ui_algToggle", {313, 75, 367, 97}},
              {"ui_filter", {405, 75, 459, 97}},
              {"ui_startOpt", {520, 75, 574, 97}},
              {"ui_startOpt_led", {484, 64, 524, 104}},
              {"ui_optProgress", {471, 96, 601, 128}},
              {"ui_bypassAll", {620, 62, 674, 84}}});
    return m;
}

std::map<std::string, Box> placed_send(bool stereo)
{
    auto m = routing_and_logo(460);
    m.insert({{"ui_gain", {297, 92, 347, 142}},
              {"ui_gain_text", {351, 108, 405, 123}},
              {"ui_signal60", {219, 51, 259, 91}},
              {"ui_signal32", {243, 51, 283, 91}},
              {"ui_signal22", {267, 51, 307, 91}},
              {"ui_signal16", {291, 51, 331, 91}},
              {"ui_signal10", {315, 51, 355, 91}},
              {"ui_signal6", {339, 51, 379, 91}},
              {"ui_signal3", {363, 51, 403, 91}},
              {"ui_signal0", {387, 51, 427, 91}}});
    if (stereo)
        m.insert({{"ui_polarityL_led", {473, 39, 513, 79}},
                  {"ui_polarityR_led", {534, 39, 574, 79}},
                  {"ui_polarityL", {468, 70, 522, 92}},
                  {"ui_polarityR", {529, 70, 583, 92}},
                  {"ui_linkLR", {510, 95, 540, 115}}});
    else
        m.insert({{"ui_polarityL_led", {503, 39, 543, 79}}, {"ui_polarityL", {498, 70, 552, 92}}});
    return m;
}

struct Caption
{
    std::string text;
    double x, y;
    int size;
};

std::vector<Caption> captions_common()
{
    return {
        {"ROUTING", 61, 55, 16}, {"SEND ON", 95, 83, 13}, {"SEND OFF", 95, 99, 13}, {"MASTER", 95, 115, 13}};
}

struct SkinCase
{
    const char* name;
    int width;
    std::map<std::string, Box> placed;
    std::vector<std::pair<std::string, Box>> panels;
    std::vector<Caption> captions;
};

std::vector<SkinCase> skin_cases()
{
    auto master_captions = captions_common();
    master_captions.insert(master_captions.end(), {{"MASTER", 363, 23, 16},
                                                   {"SENDS", 222.5, 42, 13},
                                                   {"PROCESSING", 293.5, 55, 13},
                                                   {"LF-BOOST", 397, 55, 13},
                                                   {"MAXIMIZE", 502, 55, 13},
                                                   {"FAST (APPROX)", 298.5, 100, 10},
                                                   {"COMPARE", 637, 23, 16},
                                                   {"BYPASS", 672.5, 64, 13},
                                                   {"\xC3\x98", 730, 63, 14}});
    auto send_captions = captions_common();
    send_captions.insert(send_captions.end(), {{"SIGNAL", 292, 23, 16}, {"GAIN", 257.5, 109, 13}});
    const char* scale[] = {"-60", "-32", "-22", "-16", "-10", "-6", "-3", "0"};
    const double scale_x[] = {227, 251, 275, 299, 323, 351, 375, 402};
    for (int i = 0; i < 8; ++i)
        send_captions.push_back({scale[i], scale_x[i], 50, 11});
    send_captions.push_back({"\xC3\x98", 514, 23, 16});
    auto stereo_captions = send_captions;
    stereo_captions.push_back({"L", 488.5, 96, 13});
    stereo_captions.push_back({"R", 547.5, 96, 13});

    return {
        {"bg_master.skin",
         770,
         placed_master(),
         {{"Routing", {15, 45, 195, 150}}, {"Master", {195, 15, 610, 150}}, {"Compare", {610, 15, 755, 120}}},
         master_captions},
        {"bg_send.skin",
         610,
         placed_send(true),
         {{"Routing", {15, 45, 195, 150}}, {"Signal", {195, 15, 450, 150}}, {"Phase", {450, 15, 595, 120}}},
         stereo_captions},
        {"bg_send_mono.skin",
         610,
         placed_send(false),
         {{"Routing", {15, 45, 195, 150}},
          {"Signal", {195, 15, 450, 150}},
          {"Polarity", {450, 15, 595, 120}}},
         send_captions},
    };
}

void PrintTo(const SkinCase& c, std::ostream* os)
{
    *os << c.name;
}

class SkinText : public testing::TestWithParam<SkinCase>
{
protected:
    void SetUp() override
    {
        skin = load_skin(GetParam().name);
        ASSERT_FALSE(skin.lines.empty()) << GetParam().name << " is not embedded";
    }
    Skin skin;
};
} // namespace

TEST_P(SkinText, HasTheDesignToolsFormat)
{
    const SkinCase& c = GetParam();
    EXPECT_EQ(skin.text.find('\r'), std::string::npos) << "lines end in a line feed alone";
    EXPECT_EQ(skin.text.find('\0'), std::string::npos);
    ASSERT_GE(skin.lines.size(), 20u);
    EXPECT_EQ(skin.lines[0], "\xEF\xBB\xBF");
    EXPECT_EQ(skin.lines[1], "[Skin]");

    const Section* head = skin.section("[Skin]");
    ASSERT_NE(head, nullptr);
    const std::vector<std::pair<std::string, std::string>> expected_head = {
        {"Version", "999"},
        {"Width", std::to_string(c.width)},
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
        {"ObjNum", std::to_string(skin.objects().size())}};
    EXPECT_EQ(head->keys, expected_head);

    // "[Skin]", "[Pal]", the objects numbered from 1, "[Thumbnail]", "[End]"
    ASSERT_GE(skin.sections.size(), 5u);
    EXPECT_EQ(skin.sections[1].header, "[Pal]");
    ASSERT_EQ(skin.sections[1].keys.size(), 24u);
    for (int i = 0; i < 24; ++i)
    {
        EXPECT_EQ(skin.sections[1].keys[i].first, "Col" + std::to_string(i));
        EXPECT_TRUE(std::regex_match(skin.sections[1].keys[i].second, std::regex("[0-9]+")));
    }
    const auto objects = skin.objects();
    ASSERT_EQ(objects.size() + 4, skin.sections.size());
    for (size_t i = 0; i < objects.size(); ++i)
    {
        char header[16];
        std::snprintf(header, sizeof header, "[Obj%05zu]", i + 1);
        EXPECT_EQ(objects[i]->header, header);
        EXPECT_EQ(&skin.sections[i + 2], objects[i]);
    }
    EXPECT_EQ(skin.sections[skin.sections.size() - 2].header, "[Thumbnail]");
    EXPECT_EQ(skin.sections.back().header, "[End]");
    EXPECT_EQ(skin.lines.back(), "[End]");
    for (size_t i = skin.lines.size() - 2; skin.lines[i] != "[Thumbnail]"; --i)
        EXPECT_EQ(skin.lines[i], "") << "only empty lines follow [Thumbnail]";
}

TEST_P(SkinText, EveryObjectCarriesTheFiveKeysOnce)
{
    // A section with fewer or more of the five would make the reader skip it, or place a
    // component from a name left over from the section before.
    const std::regex number("-?[0-9]+\\.[0-9]{6}");
    for (const Section* s : skin.objects())
    {
        SCOPED_TRACE(s->header + " " + s->value("Name"));
        for (const char* key : {"Name", "X0", "Y0", "X1", "Y1"})
            EXPECT_EQ(s->count(key), 1) << key;
        for (const char* key : {"X0", "Y0", "X1", "Y1"})
            EXPECT_TRUE(std::regex_match(s->value(key), number)) << key << "=" << s->value(key);
        const Box b = s->box();
        EXPECT_LT(b[0], b[2]);
        EXPECT_LT(b[1], b[3]);
        EXPECT_GE(b[0], 0.0);
        EXPECT_GE(b[1], 0.0);
        EXPECT_LE(b[2], GetParam().width);
        EXPECT_LE(b[3], 165.0);
        for (const auto& kv : s->keys)
            EXPECT_FALSE(kv.first.empty() || kv.first[0] == ' ' || kv.first[0] == '\t');
    }
}

TEST_P(SkinText, PlacesEveryControlAtItsExactCorners)
{
    const SkinCase& c = GetParam();
    std::map<std::string, int> ui_names;
    for (const Section* s : skin.objects())
        if (s->value("Name").rfind("ui_", 0) == 0)
            ++ui_names[s->value("Name")];

    for (const auto& [name, box] : c.placed)
    {
        const auto found = skin.named(name);
        ASSERT_EQ(found.size(), 1u) << name;
        EXPECT_EQ(found[0]->box(), box) << name;
        EXPECT_EQ(found[0]->value("Type"), "Group") << name;
    }
    // nothing else of the "ui_" family: the reader would place a component by it
    for (const auto& [name, count] : ui_names)
        EXPECT_TRUE(c.placed.count(name)) << name << " is no placed object of this view";
    EXPECT_EQ(ui_names.size(), c.placed.size());
}

TEST_P(SkinText, EachImageControlIsAGroupWithOneImageOfItsBox)
{
    const auto objects = skin.objects();
    for (size_t i = 0; i < objects.size(); ++i)
    {
        const std::string name = objects[i]->value("Name");
        if (name.rfind("ui_", 0) != 0 || name == "ui_optProgress" || name == "ui_gain_text")
            continue;
        ASSERT_LT(i + 1, objects.size());
        EXPECT_EQ(objects[i + 1]->value("Name"), "Image") << name;
        EXPECT_EQ(objects[i + 1]->value("Parent"), name);
        EXPECT_EQ(objects[i + 1]->box(), objects[i]->box()) << name;
    }
}

TEST_P(SkinText, CarriesTheBackgroundsDesignObjects)
{
    const SkinCase& c = GetParam();
    const auto objects = skin.objects();
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects[0]->value("Name"), "Background");
    EXPECT_EQ(objects[0]->box(), (Box{0, 0, double(c.width), 165}));

    const auto frame = skin.named("Frame");
    ASSERT_EQ(frame.size(), 1u);
    EXPECT_EQ(frame[0]->box(), (Box{7, 7, double(c.width - 7), 160}));
    EXPECT_EQ(frame[0]->value("Parent"), "Background");

    const auto title = skin.named("SIGNFLUX");
    ASSERT_EQ(title.size(), 1u);
    EXPECT_EQ(title[0]->box()[0], 18.0);
    EXPECT_EQ(title[0]->box()[1], 15.0);
    EXPECT_EQ(title[0]->value("FontSize"), "17");
    EXPECT_EQ(title[0]->value("FontBold"), "1");

    for (const auto& [name, box] : c.panels)
    {
        const auto panel = skin.named(name);
        ASSERT_EQ(panel.size(), 1u) << name;
        EXPECT_EQ(panel[0]->box(), box) << name;
        EXPECT_EQ(panel[0]->value("Type"), "Group");
    }

    for (const Caption& cap : c.captions)
    {
        bool found = false;
        for (const Section* s : skin.objects())
            if (s->value("Type") == "Text" && s->value("Text") == cap.text && s->box()[0] == cap.x &&
                s->box()[1] == cap.y)
            {
                found = true;
                EXPECT_EQ(s->value("FontSize"), std::to_string(cap.size)) << cap.text;
                EXPECT_EQ(s->value("FontName"), "Arial") << cap.text;
                EXPECT_EQ(s->value("Visible"), "1") << cap.text;
            }
        EXPECT_TRUE(found) << "caption " << cap.text << " at " << cap.x << ", " << cap.y;
    }
}

INSTANTIATE_TEST_SUITE_P(EmbeddedSkins, SkinText, testing::ValuesIn(skin_cases()),
                         [](const testing::TestParamInfo<SkinCase>& info)
                         {
                             std::string n = info.param.name;
                             return n.substr(0, n.find('.'));
                         });
