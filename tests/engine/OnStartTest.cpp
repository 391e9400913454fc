// Load and unload hooks: the banner and unload lines, the control-name table and the algorithm
// listing that every new manager writes to the log.

#include "EngineTestSupport.h"

#include "engine/OnStart.h"
#include "search/CpuFeatures.h"
#include "search/Plugin.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

using logtest::LevelScope;

namespace
{
const char* const LISTING = "void OnStart::on_start_dynamic()";

struct listed_t
{
    std::string name, description, range, enabled;
    int priority;
    std::string tags;
};

std::vector<std::string> block(const listed_t& p)
{
    return {"\t" + p.name,
            "\t\tDesc: " + p.description,
            "\t\tSupported Track Count: [" + p.range + "]",
            "\t\tEnabled: " + p.enabled,
            "\t\tPriority: " + std::to_string(p.priority),
            "\t\tTags:" + p.tags};
}

// A search record that registers itself for the length of a test.
class TestRecord : public Flipsearch::FlipOpt::Plugin
{
public:
    TestRecord(std::string name, bool enabled, unsigned tags, int priority)
        : Flipsearch::FlipOpt::Plugin(77), name_(std::move(name)), enabled_(enabled), tags_(tags),
          priority_(priority)
    {
        Flipsearch::Factory<Flipsearch::FlipOpt::Plugin>::reg(this);
    }
    ~TestRecord() override { Flipsearch::Factory<Flipsearch::FlipOpt::Plugin>::unreg(this); }

    std::string name() const override { return name_; }
    std::string description() const override { return "A record made by the test"; }
    bool enabled() const override { return enabled_; }
    std::string disableReason() const override { return enabled_ ? "" : "CPU missing AVX support"; }
    int priority() const override { return priority_; }
    unsigned min_tracks() const override { return 3; }
    unsigned tags() const override { return tags_; }
    std::shared_ptr<Flipsearch::FlipOpt::Algorithm> getInstance() const override { return nullptr; }

private:
    std::string name_;
    bool enabled_;
    unsigned tags_;
    int priority_;
};

// The lines of the listing's records written since 'skip' of them were there.
std::vector<std::string> listing_lines(std::size_t skip)
{
    auto texts = logtest::texts_of(LISTING);
    return {texts.begin() + static_cast<std::ptrdiff_t>(std::min(skip, texts.size())), texts.end()};
}
} // namespace

TEST(OnStart, BannerOnConstructionAndUnloadLineOnDestruction)
{
    testing::internal::CaptureStderr();
    auto hooks = std::make_unique<OnStart>();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(61, '=') + "\n");
    EXPECT_EQ(hooks->use_counter.load(), 0u);

    testing::internal::CaptureStdout();
    hooks.reset();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(
        out,
        std::regex(
            R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} --- Plugin unloading\n)")))
        << out;
}

TEST(OnStartListing, SkippedEntirelyBelowLevelTwo)
{
    const LevelScope level(1);
    const std::size_t before = logtest::texts_of(LISTING).size();
    OnStart::on_start_dynamic();
    EXPECT_EQ(logtest::texts_of(LISTING).size(), before);
}

TEST(OnStartListing, DisabledRecordShowsItsReasonAndTagsInBitOrder)
{
    const LevelScope level(2);
    const TestRecord disabled("Test-Disabled", false, 2 | 4 | 8, -1000);
    const TestRecord untagged("Test-Untagged", true, 0, -1001);
    const TestRecord sse2_full("Test-Tags9", true, 9, -1002);

    const std::size_t before = logtest::texts_of(LISTING).size();
    OnStart::on_start_dynamic();
    const auto lines = listing_lines(before);

    // The three lowest priorities stand last, in priority order.
    ASSERT_GE(lines.size(), 18u);
    std::vector<std::string> expected;
    for (const auto& p :
         {listed_t{"Test-Disabled", "A record made by the test", "3, 77", "No, CPU missing AVX support",
                   -1000, " Uses AVX Uses multiple cores/processors Full-search algorithm"},
          listed_t{"Test-Untagged", "A record made by the test", "3, 77", "Yes", -1001, ""},
          listed_t{"Test-Tags9", "A record made by the test", "3, 77", "Yes", -1002,
                   " Uses SSE2 Full-search algorithm"}})
        for (auto& line : block(p))
            expected.push_back(line);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 18, lines.end()), expected);
}

TEST(OnStartListing, ListsEveryRegisteredAlgorithmLineByLine)
{
    const auto& corr = Flipsearch::Factory<Flipsearch::Correlation::Plugin>::get_inst().plugins;
    const auto& search = Flipsearch::Factory<Flipsearch::FlipOpt::Plugin>::get_inst().plugins;
    ASSERT_EQ(corr.size() + search.size(), 9u) << "the nine built-in algorithms must all be registered";

    const bool avx = Flipsearch::cpu_has_avx();
    const std::string avx_state = avx ? "Yes" : "No, CPU missing AVX support";
    std::vector<std::string> expected{"Correlation Algorithms:"};
    for (const auto& p :
         {listed_t{"AVX", "Add AVX vectorization", avx ? "1, inf" : "0, inf", avx_state, 20, " Uses AVX"},
          listed_t{"SSE2", "Add SSE2 vectorization", "1, inf", "Yes", 10, " Uses SSE2"},
          listed_t{"Simple", "Simple, slow implementation", "1, inf", "Yes", 0, ""}})
        for (auto& line : block(p))
            expected.push_back(line);
    expected.push_back("FlipOpt Algorithms:");
    for (const auto& p :
         {listed_t{"Full-AVX", "Add AVX vectorization", avx ? "19, 64" : "0, 0", avx_state, 20,
                   " Uses AVX Uses multiple cores/processors Full-search algorithm"},
          listed_t{"Full-SSE2", "Add SSE2 vectorization", "19, 64", "Yes", 10,
                   " Uses SSE2 Uses multiple cores/processors Full-search algorithm"},
          listed_t{"Full-Gray2", "Full algorithm w/ Gray code + lookup table for high bits", "7, 32", "Yes",
                   2, " Full-search algorithm"},
          listed_t{"Full-Simple", "Simple implementation of Full algorithm", "0, 32", "Yes", 1,
                   " Full-search algorithm"},
          listed_t{"Full-Gray", "Full algorithm w/ Gray code", "0, 32", "Yes", 1, " Full-search algorithm"},
          listed_t{"Fast-Simple", "Simple implementation of Fast algorithm", "1, 999", "Yes", 1,
                   " Fast-search algorithm"}})
        for (auto& line : block(p))
            expected.push_back(line);

    const LevelScope level(2);
    const std::size_t before = logtest::texts_of(LISTING).size();
    OnStart::on_start_dynamic();
    const auto records = logtest::records_of(LISTING);
    EXPECT_EQ(listing_lines(before), expected);

    // One statement: every record carries the same time and level 2, counters consecutive.
    ASSERT_EQ(records.size(), before + expected.size());
    for (std::size_t i = before + 1; i < records.size(); ++i)
    {
        EXPECT_EQ(records[i].time, records[before].time);
        EXPECT_EQ(records[i].level, 2u);
        EXPECT_EQ(records[i].counter, records[i - 1].counter + 1);
    }
}
