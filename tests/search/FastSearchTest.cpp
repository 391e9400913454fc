// "Fast-Simple" (the greedy search) and canonicalizePolarities.

#include "SearchTestSupport.h"

#include "search/CanonicalPolarities.h"

#include <functional>

using namespace searchtest;

namespace
{
// The greedy rule in exact integer arithmetic (for integer matrices, where every float operation
// of the search is exact): seed with the first pair of largest |M|, then add the unplaced track
// of largest |sum over placed tracks|, lowest index on ties, +1 on a sum >= 0.
Outcome greedy_model(std::size_t n, const std::vector<float>& m)
{
    std::vector<long long> w(n, 0);
    long long gains = 0;
    if (n == 1)
        w[0] = 1;
    else
    {
        std::size_t p = 1, q = 0;
        long long c = 0;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (std::llabs(static_cast<long long>(at(m, i, j))) > std::llabs(c))
                {
                    c = static_cast<long long>(at(m, i, j));
                    p = i;
                    q = j;
                }
        w[q] = 1;
        w[p] = c >= 0 ? 1 : -1;
        gains = std::llabs(c);
    }
    for (std::size_t k = 2; k < n; ++k)
    {
        long long bestSum = 0;
        std::size_t best = n;
        for (std::size_t t = 0; t < n; ++t)
        {
            if (w[t] != 0)
                continue;
            long long sum = 0;
            for (std::size_t u = 0; u < n; ++u)
                sum += w[u] * static_cast<long long>(at(m, t, u));
            if (best == n || std::llabs(sum) > std::llabs(bestSum))
            {
                best = t;
                bestSum = sum;
            }
        }
        w[best] = bestSum >= 0 ? 1 : -1;
        gains += std::llabs(bestSum);
    }
    Outcome r;
    r.polarities.assign(w.begin(), w.end());
    r.bestValue = 4.0f * static_cast<float>(gains);
    return r;
}

// The progress total as the search defines it, in wrapping unsigned 64-bit arithmetic.
std::uint64_t total_work(std::uint64_t n)
{
    return n * (n - 1) / 2 + ((n * n - 7) * n + 6) / 3;
}
} // namespace

TEST(FastSearch, WorkedExampleOfThreeTracks)
{
    std::vector<float> m = {1.0f, 0.5f, 1.0f, -0.8f, 0.1f, 1.0f};
    const Outcome run = run_search("Fast-Simple", 3, m);
    EXPECT_EQ(run.polarities, (std::vector<int>{1, 1, -1}));
    EXPECT_EQ(run.reports, (std::vector<float>{3.0f / 7.0f, 1.0f}));
    const float step = 0.0f + 1.0f * 0.5f + -1.0f * 0.1f;
    EXPECT_EQ(run.bestValue, 4.0f * (0.8f + step));
}

TEST(FastSearch, OneAndTwoTracks)
{
    const Outcome one = run_search("Fast-Simple", 1, {3.0f});
    EXPECT_EQ(one.polarities, std::vector<int>{1});
    EXPECT_EQ(one.bestValue, 0.0f);
    // The total work of one track is 0: the single report says the search is done.
    EXPECT_EQ(one.reports, std::vector<float>{1.0f});

    const Outcome pos = run_search("Fast-Simple", 2, {1.0f, 0.25f, 1.0f});
    EXPECT_EQ(pos.polarities, (std::vector<int>{1, 1}));
    EXPECT_EQ(pos.bestValue, 1.0f);
    EXPECT_EQ(pos.reports, std::vector<float>{1.0f});
    EXPECT_EQ(run_search("Fast-Simple", 2, {1.0f, -0.25f, 1.0f}).polarities, (std::vector<int>{1, -1}));
    EXPECT_EQ(run_search("Fast-Simple", 2, {1.0f, 0.0f, 1.0f}).polarities, (std::vector<int>{1, 1}));
}

TEST(FastSearch, SilentTracksAllKeep)
{
    const std::size_t n = 6;
    const Outcome run = run_search("Fast-Simple", n, std::vector<float>(n * (n + 1) / 2, 0.0f));
    EXPECT_EQ(run.polarities, std::vector<int>(n, 1));
    EXPECT_EQ(run.bestValue, 0.0f);
}

TEST(FastSearch, FollowsTheGreedyRuleExactly)
{
    std::mt19937 rng(42);
    for (std::size_t n = 1; n <= 40; ++n)
    {
        for (int range : {1, 3, 50})
        {
            SCOPED_TRACE("n=" + std::to_string(n) + " range=" + std::to_string(range));
            const auto m = integer_matrix(n, range, rng);
            const Outcome want = greedy_model(n, m);
            const Outcome got = run_search("Fast-Simple", n, m);
            EXPECT_EQ(got.polarities, want.polarities);
            EXPECT_EQ(got.bestValue, want.bestValue);
        }
    }
}

TEST(FastSearch, FindsTheOptimumOfSignedCopiesOfOneSignal)
{
    // Tracks that are signed, scaled copies of one signal: M = v v^T, best signs = signs of v.
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (std::size_t n = 2; n <= 16; ++n)
    {
        std::vector<float> v(n);
        for (auto& x : v)
            x = value(rng);
        std::vector<float> m(n * (n + 1) / 2);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j <= i; ++j)
                at(m, i, j) = v[i] * v[j];
        const Outcome run = run_search("Fast-Simple", n, m);
        EXPECT_NEAR(energy(m, run.polarities), brute_force_max(m, n), 1e-5 * magnitude(m, n)) << n;
    }
}

TEST(FastSearch, ReportsRiseToOneAndCannotBeStopped)
{
    std::mt19937 rng(4);
    for (std::size_t n : {2u, 3u, 5u, 17u, 64u})
    {
        const Outcome run = run_search("Fast-Simple", n, random_matrix(n, rng), 0);
        ASSERT_EQ(run.reports.size(), n - 1) << n;
        std::vector<float> want;
        std::uint64_t done = n * (n - 1) / 2;
        want.push_back(static_cast<float>(done) / static_cast<float>(total_work(n)));
        for (std::uint64_t k = 2; k < n; ++k)
        {
            done += 2 * (n - k) * k;
            want.push_back(static_cast<float>(done) / static_cast<float>(total_work(n)));
        }
        EXPECT_EQ(run.reports, want) << n;
        EXPECT_EQ(run.reports.back(), 1.0f) << n;
        for (int s : run.polarities)
            EXPECT_TRUE(s == 1 || s == -1);
    }
    EXPECT_EQ(total_work(5), 42u);
}

TEST(FastSearch, EmptyCallbackThrowsBeforeTheResult)
{
    std::mt19937 rng(2);
    auto search = make_search("Fast-Simple");
    auto corr = holding(5, random_matrix(5, rng));
    search->setup(corr);
    EXPECT_THROW(search->process(corr, std::function<bool(float)>()), std::bad_function_call);
    EXPECT_EQ(search->polarities, std::vector<int>(5, 0));
}

TEST(CanonicalPolarities, Examples)
{
    std::vector<float> s = {-1.0f, -1.0f, 1.0f};
    const float zeros[4] = {};
    Flipsearch::canonicalizePolarities(s.data(), s.size(), zeros, zeros);
    EXPECT_EQ(s, (std::vector<float>{1.0f, 1.0f, -1.0f}));

    s = {1.0f, -1.0f, -1.0f, 1.0f};
    const float b[] = {1.0f, 3.0f, 3.0f, 2.0f};
    const float a[] = {0.0f, 1.0f, 2.0f, 0.0f};
    Flipsearch::canonicalizePolarities(s.data(), s.size(), a, b);
    EXPECT_EQ(s, (std::vector<float>{-1.0f, 1.0f, 1.0f, -1.0f}));

    s = {1.0f, 1.0f, -1.0f};
    Flipsearch::canonicalizePolarities(s.data(), s.size(), zeros, zeros);
    EXPECT_EQ(s, (std::vector<float>{1.0f, 1.0f, -1.0f}));
}

TEST(CanonicalPolarities, TiesAndEmpty)
{
    // Equal keys everywhere: the lowest index decides.
    std::vector<float> s = {-1.0f, 1.0f};
    const float ones[] = {1.0f, 1.0f};
    Flipsearch::canonicalizePolarities(s.data(), s.size(), ones, ones);
    EXPECT_EQ(s, (std::vector<float>{1.0f, -1.0f}));

    // Equal b, equal a on the largest: the lower of the two.
    s = {1.0f, -1.0f, 1.0f, -1.0f};
    const float b[] = {0.0f, 5.0f, 5.0f, 1.0f};
    const float a[] = {9.0f, 2.0f, 2.0f, 9.0f};
    Flipsearch::canonicalizePolarities(s.data(), s.size(), a, b);
    EXPECT_EQ(s, (std::vector<float>{-1.0f, 1.0f, -1.0f, 1.0f}));

    Flipsearch::canonicalizePolarities(nullptr, 0, nullptr, nullptr);
}
