// The algorithm registries: the order the static records produce in this binary, the records'
// texts and limits, the ordering rule, tag names, the choice for a job of n tracks, and the
// processor test with AVX reported missing.

#include "SearchTestSupport.h"

#include "search/CpuFeatures.h"
#include "search/PluginChoice.h"
#include "search/VectorRecords.h"

#include <algorithm>

using namespace searchtest;
using Flipsearch::Factory;
namespace Correlation = Flipsearch::Correlation;
namespace FlipOpt = Flipsearch::FlipOpt;

namespace
{
template <class P>
std::vector<std::string> names(const std::vector<P*>& plugins)
{
    std::vector<std::string> out;
    for (const P* p : plugins)
        out.push_back(p->name());
    return out;
}

std::string name_or_none(const Flipsearch::Plugin<Correlation::Algorithm, Flipsearch::details_::empty_t>* p)
{
    return p ? p->name() : "none";
}

std::string name_or_none(const FlipOpt::Plugin* p)
{
    return p ? p->name() : "none";
}

unsigned withAvx()
{
    return 1u << 28;
}

unsigned withoutAvx()
{
    return ~(1u << 28);
}

// Restores the processor's own CPUID query when a test ends.
struct QueryGuard
{
    explicit QueryGuard(Flipsearch::cpuid_query_t q) { Flipsearch::set_cpuid_query(q); }
    ~QueryGuard() { Flipsearch::set_cpuid_query(nullptr); }
};

// A correlation record of a given priority, registered nowhere by itself.
struct Dummy : Correlation::Plugin
{
    std::string label;
    int prio;
    Dummy(std::string l, int p) : label(std::move(l)), prio(p) {}
    std::string name() const override { return label; }
    std::string description() const override { return {}; }
    bool enabled() const override { return true; }
    std::string disableReason() const override { return {}; }
    int priority() const override { return prio; }
    unsigned min_tracks() const override { return 1; }
    unsigned tags() const override { return 0; }
    Correlation::Algorithm::ptr_t getInstance() const override { return nullptr; }
};
} // namespace

TEST(Registry, StaticRecordsStandInPriorityOrder)
{
    const auto& corr = Factory<Correlation::Plugin>::get_inst().plugins;
    const auto& search = Factory<FlipOpt::Plugin>::get_inst().plugins;
    EXPECT_EQ(names(corr), (std::vector<std::string>{"AVX", "SSE2", "Simple"}));
    EXPECT_EQ(names(search), (std::vector<std::string>{"Full-AVX", "Full-SSE2", "Full-Gray2", "Full-Simple",
                                                       "Full-Gray", "Fast-Simple"}));
}

TEST(Registry, RecordsCarryTheirTextsAndLimits)
{
    const bool avx = Flipsearch::cpu_has_avx();
    struct Want
    {
        const char* name;
        const char* description;
        unsigned tags;
        int priority;
        unsigned minTracks, maxTracks;
        bool enabled;
    };
    const Want corr[] = {{"AVX", "Add AVX vectorization", 2, 20, avx ? 1u : 0u, 0, avx},
                         {"SSE2", "Add SSE2 vectorization", 1, 10, 1, 0, true},
                         {"Simple", "Simple, slow implementation", 0, 0, 1, 0, true}};
    for (const auto& w : corr)
    {
        const auto* p = correlation_record(w.name);
        ASSERT_NE(p, nullptr) << w.name;
        EXPECT_EQ(p->description(), w.description);
        EXPECT_EQ(p->tags(), w.tags) << w.name;
        EXPECT_EQ(p->priority(), w.priority) << w.name;
        EXPECT_EQ(p->min_tracks(), w.minTracks) << w.name;
        EXPECT_EQ(p->enabled(), w.enabled) << w.name;
        EXPECT_EQ(p->disableReason(), w.enabled ? "" : "CPU missing AVX support") << w.name;
        if (w.enabled)
        {
            EXPECT_TRUE(p->getInstance()) << w.name;
        }
    }
    const Want search[] = {
        {"Full-AVX", "Add AVX vectorization", 14, 20, avx ? 19u : 0u, avx ? 64u : 0u, avx},
        {"Full-SSE2", "Add SSE2 vectorization", 13, 10, 19, 64, true},
        {"Full-Gray2", "Full algorithm w/ Gray code + lookup table for high bits", 8, 2, 7, 32, true},
        {"Full-Simple", "Simple implementation of Full algorithm", 8, 1, 0, 32, true},
        {"Full-Gray", "Full algorithm w/ Gray code", 8, 1, 0, 32, true},
        {"Fast-Simple", "Simple implementation of Fast algorithm", 16, 1, 1, 999, true}};
    for (const auto& w : search)
    {
        const auto* p = search_record(w.name);
        ASSERT_NE(p, nullptr) << w.name;
        EXPECT_EQ(p->description(), w.description);
        EXPECT_EQ(p->tags(), w.tags) << w.name;
        EXPECT_EQ(p->priority(), w.priority) << w.name;
        EXPECT_EQ(p->min_tracks(), w.minTracks) << w.name;
        EXPECT_EQ(p->max_tracks(), w.maxTracks) << w.name;
        EXPECT_EQ(p->enabled(), w.enabled) << w.name;
        if (w.enabled)
        {
            EXPECT_TRUE(p->getInstance()) << w.name;
        }
    }
}

TEST(Registry, EqualPrioritiesStandInReverseRegistrationOrder)
{
    Factory<Correlation::Plugin> f;
    Dummy x("X", 5), y("Y", 5), high("high", 6), low("low", 4), neg("neg", -1);
    f.reg_internal(&x);
    f.reg_internal(&y);
    f.reg_internal(&neg);
    f.reg_internal(&high);
    f.reg_internal(&low);
    EXPECT_EQ(names(f.plugins), (std::vector<std::string>{"high", "Y", "X", "low", "neg"}));
    Dummy stranger("stranger", 5);
    f.unreg_internal(&stranger);
    f.unreg_internal(&y);
    EXPECT_EQ(names(f.plugins), (std::vector<std::string>{"high", "X", "low", "neg"}));
}

TEST(Registry, TagNames)
{
    const auto* corr = correlation_record("SSE2");
    const auto* search = search_record("Full-SSE2");
    ASSERT_TRUE(corr && search);
    EXPECT_EQ(corr->tagName(1), "Uses SSE2");
    EXPECT_EQ(corr->tagName(2), "Uses AVX");
    EXPECT_EQ(corr->tagName(4), "Uses multiple cores/processors");
    EXPECT_EQ(corr->tagName(8), "");
    EXPECT_EQ(corr->tagName(16), "");
    EXPECT_EQ(search->tagName(8), "Full-search algorithm");
    EXPECT_EQ(search->tagName(16), "Fast-search algorithm");
    EXPECT_EQ(search->tagName(13), "Uses multiple cores/processors");
    EXPECT_EQ(search->tagName(24), "Full-search algorithm");
    EXPECT_EQ(search->tagName(0), "");
    EXPECT_EQ(search->tagName(32), "");
}

TEST(Registry, ChoiceForEachTrackCount)
{
    const bool avx = Flipsearch::cpu_has_avx();
    const std::string corr = avx ? "AVX" : "SSE2";
    const std::string vector = avx ? "Full-AVX" : "Full-SSE2";
    struct Want
    {
        unsigned n;
        std::string full, fast;
    };
    const Want table[] = {{1, "Full-Simple", "Fast-Simple"},
                          {6, "Full-Simple", "Fast-Simple"},
                          {7, "Full-Gray2", "Fast-Simple"},
                          {18, "Full-Gray2", "Fast-Simple"},
                          {19, vector, "Fast-Simple"},
                          {64, vector, "Fast-Simple"},
                          {65, "none", "Fast-Simple"},
                          {999, "none", "Fast-Simple"},
                          {1000, "none", "none"}};
    for (const auto& w : table)
    {
        EXPECT_EQ(name_or_none(Flipsearch::choose_correlation(w.n)), corr) << w.n;
        EXPECT_EQ(name_or_none(Flipsearch::choose_search(w.n, Flipsearch::TAG_FULL)), w.full) << w.n;
        EXPECT_EQ(name_or_none(Flipsearch::choose_search(w.n, Flipsearch::TAG_FAST)), w.fast) << w.n;
    }
}

TEST(Registry, WithoutAvxTheAvxRecordsStayListedButDisabled)
{
    QueryGuard guard(&withoutAvx);
    std::string reason = "untouched";
    EXPECT_FALSE(should_enable_avx_plugin(reason));
    EXPECT_EQ(reason, "CPU missing AVX support");
    reason = "untouched";
    EXPECT_TRUE(should_enable_sse2_plugin(reason));
    EXPECT_EQ(reason, "untouched");

    auto& corrList = Factory<Correlation::Plugin>::get_inst().plugins;
    auto& searchList = Factory<FlipOpt::Plugin>::get_inst().plugins;
    const auto corrBefore = corrList;
    const auto searchBefore = searchList;
    {
        // Built exactly as at load on a processor without AVX.
        Flipsearch::CorrelationRecord corr = Flipsearch::make_corr_avx_record();
        Flipsearch::SearchRecord full = Flipsearch::make_flipopt_full_avx_record();
        EXPECT_EQ(corr.name(), "AVX");
        EXPECT_FALSE(corr.enabled());
        EXPECT_EQ(corr.disableReason(), "CPU missing AVX support");
        EXPECT_EQ(corr.min_tracks(), 0u);
        EXPECT_EQ(corr.priority(), 20);
        EXPECT_EQ(corr.tags(), 2u);
        EXPECT_EQ(full.name(), "Full-AVX");
        EXPECT_FALSE(full.enabled());
        EXPECT_EQ(full.disableReason(), "CPU missing AVX support");
        EXPECT_EQ(full.min_tracks(), 0u);
        EXPECT_EQ(full.max_tracks(), 0u);
        EXPECT_EQ(full.priority(), 20);
        EXPECT_EQ(full.tags(), 14u);

        // They register in front of the records of equal priority built before them.
        ASSERT_EQ(corrList.size(), corrBefore.size() + 1);
        EXPECT_EQ(corrList.front(), &corr);
        ASSERT_EQ(searchList.size(), searchBefore.size() + 1);
        EXPECT_EQ(searchList.front(), &full);

        // A registry holding these in place of the load's AVX records, as on such a processor:
        // same places, and the choice falls to SSE2.
        auto corrAlone = corrBefore;
        std::replace(corrAlone.begin(), corrAlone.end(), corrBefore.front(),
                     static_cast<Correlation::Plugin*>(&corr));
        auto searchAlone = searchBefore;
        std::replace(searchAlone.begin(), searchAlone.end(), searchBefore.front(),
                     static_cast<FlipOpt::Plugin*>(&full));
        EXPECT_EQ(names(corrAlone), (std::vector<std::string>{"AVX", "SSE2", "Simple"}));
        for (unsigned n : {1u, 64u, 999u})
            EXPECT_EQ(name_or_none(Flipsearch::choose_correlation(corrAlone, n)), "SSE2") << n;
        for (unsigned n : {19u, 40u, 64u})
            EXPECT_EQ(name_or_none(Flipsearch::choose_search(searchAlone, n, Flipsearch::TAG_FULL)),
                      "Full-SSE2");
    }
    // Gone again when they are destroyed.
    EXPECT_EQ(corrList, corrBefore);
    EXPECT_EQ(searchList, searchBefore);
}

TEST(Registry, WithAvxTheAvxRecordsTakeTheirFactoryLimits)
{
    QueryGuard guard(&withAvx);
    std::string reason;
    EXPECT_TRUE(should_enable_avx_plugin(reason));
    EXPECT_EQ(reason, "");
    Flipsearch::CorrelationRecord corr = Flipsearch::make_corr_avx_record();
    Flipsearch::SearchRecord full = Flipsearch::make_flipopt_full_avx_record();
    EXPECT_TRUE(corr.enabled());
    EXPECT_EQ(corr.min_tracks(), 1u);
    EXPECT_TRUE(full.enabled());
    EXPECT_EQ(full.min_tracks(), 19u);
    EXPECT_EQ(full.max_tracks(), 64u);
}

TEST(Registry, EmptyFactoryThrows)
{
    Flipsearch::CorrelationRecord empty("Empty", "", std::function<Correlation::Algorithm::ptr_t()>(), 0, 1,
                                        -100, &should_enable_sse2_plugin);
    EXPECT_EQ(Factory<Correlation::Plugin>::get_inst().plugins.back(), &empty);
    EXPECT_THROW(empty.getInstance(), std::bad_function_call);
}
