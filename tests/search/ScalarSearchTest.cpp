// The exhaustive scalar searches "Full-Simple", "Full-Gray" and "Full-Gray2": optimum against
// brute force, the first-visited rule on exact matrices, progress reports and stopping; and their
// fixed order of float additions (with that of "Fast-Simple"), bit for bit.

#include "SearchTestSupport.h"

#include <functional>
#include <utility>

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

// Random symmetric matrix whose elements span 2^-8 to 2^8, so that sums taken in another order
// round differently.
std::vector<float> mixed_matrix(std::size_t n, std::mt19937& rng)
{
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-8, 8);
    std::vector<float> m(n * (n + 1) / 2);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
        {
            const float x = std::ldexp(mantissa(rng), exponent(rng));
            at(m, i, j) = i == j ? std::fabs(x) : x;
        }
    return m;
}

// Half the energy in the order of a full evaluation: 0.5 x the diagonal added in ascending order,
// then s_i s_j M(i, j) for the rows ascending and, in each, the columns ascending below it.
float half_energy_in_order(const std::vector<float>& m, const std::vector<int>& s)
{
    float diagonal = at(m, 0, 0);
    for (std::size_t i = 1; i < s.size(); ++i)
        diagonal = diagonal + at(m, i, i);
    float h = 0.5f * diagonal;
    for (std::size_t i = 1; i < s.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            h = h + static_cast<float>(s[i] * s[j]) * at(m, i, j);
    return h;
}

Outcome full_simple_in_order(std::size_t n, const std::vector<float>& m)
{
    float best = 0.0f;
    std::uint64_t bestIndex = 0;
    for (std::uint64_t i = 0; i < (std::uint64_t(1) << (n - 1)); ++i)
    {
        const float h = half_energy_in_order(m, signs_of(i, n, 1));
        if (h + h > best)
        {
            best = h + h;
            bestIndex = i;
        }
    }
    return {signs_of(bestIndex, n, 1), best, {}};
}

// The Gray-code searches: tracks 0 .. low-1 walked in Gray order inside each block, the others
// (the last at -1) set from the block number. Per block a full evaluation and the pull
// L[t] = sum of s_u M(u, t) over u >= low, ascending; per step the low tracks' terms ascending,
// -M(k, k), then s_k L[k]. With low = n - 1 (one block, L[t] = -M(n-1, t)) this is Full-Gray.
Outcome gray_in_order(std::size_t n, const std::vector<float>& m, std::size_t low)
{
    float best = 0.0f;
    std::uint64_t bestIndex = 0;
    for (std::uint64_t o = 0; o < (std::uint64_t(1) << (n - 1 - low)); ++o)
    {
        std::vector<int> s = signs_of(o << low, n, -1);
        const float h = half_energy_in_order(m, s);
        float v = (h + h) * 0.25f;
        std::vector<float> pull(low, 0.0f);
        for (std::size_t t = 0; t < low; ++t)
            for (std::size_t u = low; u < n; ++u)
                pull[t] = pull[t] + static_cast<float>(s[u]) * at(m, u, t);
        for (std::uint32_t i = 0; i < (1u << low); ++i)
        {
            if (i > 0)
            {
                const unsigned k = static_cast<unsigned>(__builtin_ctz(i));
                s[k] = -s[k];
                for (std::size_t t = 0; t < low; ++t)
                    v = s[k] == s[t] ? v + at(m, t, k) : v - at(m, t, k);
                v = v - at(m, k, k);
                v = s[k] > 0 ? v + pull[k] : v - pull[k];
            }
            if (v > best)
            {
                best = v;
                bestIndex = (o << low) | gray(i);
            }
        }
    }
    return {signs_of(bestIndex, n, -1), 4.0f * best, {}};
}

// Fast-Simple: each step's sums over the placed tracks ascending, the gains added step by step.
Outcome fast_in_order(std::size_t n, const std::vector<float>& m)
{
    std::vector<int> w(n, 0);
    std::size_t p = 1, q = 0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (std::fabs(at(m, i, j)) > std::fabs(at(m, p, q)))
            {
                p = i;
                q = j;
            }
    w[q] = 1;
    w[p] = at(m, p, q) >= 0.0f ? 1 : -1;
    float gains = std::fabs(at(m, p, q));
    for (std::size_t k = 2; k < n; ++k)
    {
        std::size_t chosen = n;
        float chosenSum = 0.0f;
        for (std::size_t t = 0; t < n; ++t)
        {
            if (w[t] != 0)
                continue;
            float sum = 0.0f;
            for (std::size_t u = 0; u < n; ++u)
                if (w[u] != 0)
                    sum = sum + static_cast<float>(w[u]) * at(m, t, u);
            if (chosen == n || std::fabs(sum) > std::fabs(chosenSum))
            {
                chosen = t;
                chosenSum = sum;
            }
        }
        w[chosen] = chosenSum >= 0.0f ? 1 : -1;
        gains = gains + std::fabs(chosenSum);
    }
    return {w, 4.0f * gains, {}};
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

TEST(ScalarSearch, AddsInTheFixedOrderBitForBit)
{
    using reference_t = Outcome (*)(std::size_t, const std::vector<float>&);
    const std::pair<const char*, reference_t> cases[] = {
        {"Full-Simple", full_simple_in_order},
        {"Full-Gray", [](std::size_t n, const std::vector<float>& m) { return gray_in_order(n, m, n - 1); }},
        {"Full-Gray2", [](std::size_t n, const std::vector<float>& m) { return gray_in_order(n, m, 6); }},
        {"Fast-Simple", fast_in_order}};
    std::mt19937 rng(17);
    for (std::size_t n : {9u, 12u})
        for (const auto& [name, reference] : cases)
        {
            const auto m = mixed_matrix(n, rng);
            const Outcome want = reference(n, m);
            const Outcome got = run_search(name, n, m);
            EXPECT_EQ(got.polarities, want.polarities) << name << " n=" << n;
            EXPECT_EQ(got.bestValue, want.bestValue) << name << " n=" << n;
        }
}
