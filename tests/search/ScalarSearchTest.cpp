// The exhaustive scalar searches "Full-Simple", "Full-Gray" and "Full-Gray2": optimum against
// brute force, the first-visited rule on exact matrices, progress reports and stopping.

#include "SearchTestSupport.h"

#include <functional>

using namespace searchtest;

namespace
{
struct Variant
{
    std::string name;
    std::size_t minTracks;
    int lastSign;
};

const Variant variants[] = {{"Full-Simple", 1, 1}, {"Full-Gray", 1, -1}, {"Full-Gray2", 7, -1}};

std::uint32_t gray(std::uint32_t i)
{
    return i ^ (i >> 1);
}

// The candidate indices of a search in its visiting order, the first `visited` of them.
std::vector<std::uint64_t> visiting_order(const std::string& name, std::size_t n, std::uint64_t visited)
{
    const std::uint64_t count = std::uint64_t(1) << (n - 1);
    std::vector<std::uint64_t> order;
    for (std::uint64_t i = 0; i < count && i < visited; ++i)
    {
        if (name == "Full-Simple")
            order.push_back(i);
        else if (name == "Full-Gray")
            order.push_back(gray(static_cast<std::uint32_t>(i)));
        else
            order.push_back((i & ~std::uint64_t(63)) | gray(static_cast<std::uint32_t>(i & 63)));
    }
    return order;
}

// Exact expectation on an integer matrix: the first candidate in visiting order whose energy is
// strictly above every earlier one and above 0; index 0 when none is.
Outcome expected_on_exact(const Variant& v, std::size_t n, const std::vector<float>& m, std::uint64_t visited)
{
    double best = 0.0;
    std::uint64_t bestIndex = 0;
    for (const std::uint64_t index : visiting_order(v.name, n, visited))
    {
        const double e = energy(m, signs_of(index, n, v.lastSign));
        if (e > best)
        {
            best = e;
            bestIndex = index;
        }
    }
    Outcome r;
    r.polarities = signs_of(bestIndex, n, v.lastSign);
    r.bestValue = static_cast<float>(best);
    return r;
}
} // namespace

TEST(ScalarSearch, FindsTheTrueMaximumOnRandomMatrices)
{
    std::mt19937 rng(20240611);
    for (std::size_t n = 1; n <= 20; ++n)
    {
        const auto m = random_matrix(n, rng);
        const double truth = brute_force_max(m, n);
        const double tolerance = 2e-5 * magnitude(m, n);
        for (const auto& v : variants)
        {
            if (n < v.minTracks)
                continue;
            SCOPED_TRACE(v.name + " n=" + std::to_string(n));
            const Outcome run = run_search(v.name, n, m);
            ASSERT_EQ(run.polarities.size(), n);
            EXPECT_EQ(run.polarities.back(), v.lastSign);
            for (int s : run.polarities)
                EXPECT_TRUE(s == 1 || s == -1);
            const double found = energy(m, run.polarities);
            EXPECT_NEAR(found, truth, tolerance);
            // Full-Gray carries its value across up to 2^19 updates: its rounding drifts further.
            EXPECT_NEAR(run.bestValue, found, v.name == "Full-Gray" ? 50 * tolerance : tolerance);
        }
    }
}

TEST(ScalarSearch, KeepsTheFirstVisitedMaximumOnExactMatrices)
{
    std::mt19937 rng(7);
    for (int range : {1, 2})
    {
        for (std::size_t n = 1; n <= 12; ++n)
        {
            for (int repeat = 0; repeat < 4; ++repeat)
            {
                const auto m = integer_matrix(n, range, rng);
                for (const auto& v : variants)
                {
                    if (n < v.minTracks)
                        continue;
                    SCOPED_TRACE(v.name + " n=" + std::to_string(n));
                    const Outcome want = expected_on_exact(v, n, m, UINT64_MAX);
                    const Outcome got = run_search(v.name, n, m);
                    EXPECT_EQ(got.polarities, want.polarities);
                    EXPECT_EQ(got.bestValue, want.bestValue);
                }
            }
        }
    }
}

TEST(ScalarSearch, SilentTracksKeepIndexZero)
{
    for (const auto& v : variants)
    {
        const std::size_t n = 8;
        const Outcome run = run_search(v.name, n, std::vector<float>(n * (n + 1) / 2, 0.0f));
        std::vector<int> want(n, -1);
        want.back() = v.lastSign;
        EXPECT_EQ(run.polarities, want) << v.name;
        EXPECT_EQ(run.bestValue, 0.0f) << v.name;
    }
}

TEST(ScalarSearch, OneTrack)
{
    EXPECT_EQ(run_search("Full-Simple", 1, {2.5f}).polarities, std::vector<int>{1});
    EXPECT_EQ(run_search("Full-Simple", 1, {2.5f}).bestValue, 2.5f);
    EXPECT_EQ(run_search("Full-Simple", 1, {2.5f}).reports, std::vector<float>{0.0f});
    EXPECT_EQ(run_search("Full-Gray", 1, {2.5f}).polarities, std::vector<int>{-1});
    EXPECT_EQ(run_search("Full-Gray", 1, {2.5f}).bestValue, 2.5f);
    EXPECT_EQ(run_search("Full-Gray", 1, {2.5f}).reports, std::vector<float>{0.0f});
    EXPECT_EQ(run_search("Full-Gray", 1, {0.0f}).bestValue, 0.0f);
}

TEST(ScalarSearch, ProgressReportsAtTheirCadence)
{
    std::mt19937 rng(3);
    const auto reports = [&rng](const std::string& name, std::size_t n)
    { return run_search(name, n, random_matrix(n, rng)).reports; };
    EXPECT_EQ(reports("Full-Simple", 19), (std::vector<float>{0.0f}));
    EXPECT_EQ(reports("Full-Simple", 20), (std::vector<float>{0.0f, 0.5f}));
    EXPECT_EQ(reports("Full-Gray", 17), (std::vector<float>{0.0f}));
    EXPECT_EQ(reports("Full-Gray", 18), (std::vector<float>{0.0f, 0.5f}));
    EXPECT_EQ(reports("Full-Gray", 20),
              (std::vector<float>{0.0f, 0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 0.875f}));
    EXPECT_EQ(reports("Full-Gray2", 7), (std::vector<float>{0.0f, 1.0f}));
    EXPECT_EQ(reports("Full-Gray2", 16), (std::vector<float>{0.0f, 1.0f}));
    EXPECT_EQ(reports("Full-Gray2", 17), (std::vector<float>{0.0f, 0.5f, 1.0f}));
}

TEST(ScalarSearch, StopOnRequestKeepsTheBestSoFar)
{
    std::mt19937 rng(11);
    // (search, tracks, candidates visited when the second report answers false)
    const std::tuple<std::size_t, std::size_t, std::uint64_t> cases[] = {
        {0, 20, 262145}, {1, 18, 65536}, {2, 17, 512 * 64}};
    for (const auto& [which, n, visited] : cases)
    {
        const Variant& v = variants[which];
        SCOPED_TRACE(v.name);
        // A matrix whose optimum lies past the stop, so that stopping shows.
        std::vector<float> m;
        Outcome want;
        do
        {
            m = integer_matrix(n, 2, rng);
            want = expected_on_exact(v, n, m, visited);
        } while (want.bestValue == expected_on_exact(v, n, m, UINT64_MAX).bestValue);
        const Outcome got = run_search(v.name, n, m, 1);
        EXPECT_EQ(got.polarities, want.polarities);
        EXPECT_EQ(got.bestValue, want.bestValue);
        // Full-Gray2 still makes its closing report.
        EXPECT_EQ(got.reports.size(), v.name == "Full-Gray2" ? 3u : 2u);
    }

    // Stopped at the first report: Full-Simple has counted candidate 0, the Gray variants none.
    std::vector<float> m(8 * 9 / 2, 0.0f);
    for (std::size_t i = 0; i < 8; ++i)
        at(m, i, i) = 1.0f;
    const Outcome simple = run_search("Full-Simple", 8, m, 0);
    EXPECT_EQ(simple.bestValue, 8.0f);
    EXPECT_EQ(simple.polarities, (std::vector<int>{-1, -1, -1, -1, -1, -1, -1, 1}));
    for (const char* name : {"Full-Gray", "Full-Gray2"})
    {
        const Outcome gray = run_search(name, 8, m, 0);
        EXPECT_EQ(gray.bestValue, 0.0f) << name;
        EXPECT_EQ(gray.polarities, std::vector<int>(8, -1)) << name;
    }
}

TEST(ScalarSearch, EmptyCallbackThrowsBeforeAnyResult)
{
    std::mt19937 rng(5);
    for (const auto& v : variants)
    {
        auto search = make_search(v.name);
        auto corr = holding(9, random_matrix(9, rng));
        search->setup(corr);
        EXPECT_THROW(search->process(corr, std::function<bool(float)>()), std::bad_function_call) << v.name;
        EXPECT_EQ(search->polarities, std::vector<int>(9, 0)) << v.name;
    }
}

TEST(ScalarSearch, RefusesTrackCountsOutsideItsLimits)
{
    std::mt19937 rng(9);
    const auto attempt = [&rng](const std::string& name, std::size_t n)
    {
        auto search = make_search(name);
        auto corr = holding(n, random_matrix(n, rng));
        search->setup(corr);
        search->process(corr, [](float) { return true; });
    };
    EXPECT_THROW(attempt("Full-Gray2", 6), std::invalid_argument);
    EXPECT_THROW(attempt("Full-Simple", 33), std::invalid_argument);
    EXPECT_THROW(attempt("Full-Gray", 33), std::invalid_argument);

    // setup with one correlation, process with a smaller one: refused, not read past its end.
    auto search = make_search("Full-Gray");
    search->setup(holding(10, random_matrix(10, rng)));
    EXPECT_THROW(search->process(holding(4, random_matrix(4, rng)), [](float) { return true; }),
                 std::invalid_argument);
}

TEST(ScalarSearch, SetupClearsAndTeardownEmpties)
{
    std::mt19937 rng(1);
    auto search = make_search("Full-Gray2");
    auto corr = holding(8, random_matrix(8, rng));
    search->setup(corr);
    search->process(corr, [](float) { return true; });
    EXPECT_NE(search->bestValue, 0.0f);
    search->setup(corr);
    EXPECT_EQ(search->polarities, std::vector<int>(8, 0));
    EXPECT_EQ(search->bestValue, 0.0f);
    search->process(corr, [](float) { return true; });
    search->teardown();
    EXPECT_TRUE(search->polarities.empty());
    EXPECT_EQ(search->bestValue, 0.0f);
}
