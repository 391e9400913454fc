// The vectorised full search ("Full-AVX", "Full-SSE2"): optimum against brute force and against
// the scalar Gray search, results independent of the thread count, progress and cancellation,
// ties, the share split, and the handling of bad calls and throwing callbacks.

#include "FullSearchTestSupport.h"

#include "search/CpuFeatures.h"
#include "search/Factories.h"
#include "search/FullGenericAlgorithm.h"
#include "search/FullGenericKernel.h"
#include "search/Plugin.h"

#include "../support/ThreadCount.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

using namespace fullsearch_test;
using Flipsearch::FlipOpt::FullGenericAlgorithm;
using Flipsearch::FlipOpt::set_full_search_hardware_threads;

namespace
{
std::uint64_t index_of(const std::vector<int>& s)
{
    std::uint64_t index = 0;
    for (std::size_t t = 0; t + 1 < s.size(); ++t)
        if (s[t] > 0)
            index |= std::uint64_t(1) << t;
    return index;
}

std::uint32_t inverse_gray(std::uint32_t g)
{
    for (unsigned shift = 1; shift < 32; shift <<= 1)
        g ^= g >> shift;
    return g;
}

// Position of a candidate in the search's visiting order: unit, Gray step, vector, lane.
template <class V>
std::tuple<std::uint64_t, std::uint32_t, unsigned, unsigned> visit_order(std::uint64_t index)
{
    constexpr unsigned G = Flipsearch::FlipOpt::details_::full_search_traits<V>::grayTracks;
    return {index >> 18, inverse_gray(static_cast<std::uint32_t>(index & ((1u << G) - 1))),
            static_cast<unsigned>((index >> 15) & 7u),
            static_cast<unsigned>((index >> G) & ((1u << (15 - G)) - 1))};
}

using test_support::settled_threads;
using test_support::threads_down_to;

struct run_t
{
    std::vector<int> polarities;
    float bestValue = 0.0f;
    std::vector<float> reports;
};

template <class V>
run_t run_search(
    const std::shared_ptr<Corr>& corr, unsigned threads,
    const std::function<bool(float)>& answer = [](float) { return true; })
{
    set_full_search_hardware_threads(threads);
    FullGenericAlgorithm<V> search;
    search.setup(corr);
    run_t run;
    const auto caller = std::this_thread::get_id();
    search.process(corr,
                   [&](float f)
                   {
                       EXPECT_EQ(std::this_thread::get_id(), caller) << "progress called on another thread";
                       run.reports.push_back(f);
                       return answer(f);
                   });
    run.polarities = search.polarities;
    run.bestValue = search.bestValue;
    return run;
}
} // namespace

template <class V>
class FullSearch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (std::is_same_v<V, vector_ops::avx> && !Flipsearch::cpu_has_avx())
            GTEST_SKIP() << "processor without AVX";
    }
    void TearDown() override { set_full_search_hardware_threads(0); }
};

TYPED_TEST_SUITE(FullSearch, VectorUnits, VectorUnitNames);

TYPED_TEST(FullSearch, FindsTheBruteForceMaximumFor19To24Tracks)
{
    for (std::size_t n = 19; n <= 24; ++n)
    {
        for (unsigned seed : {1u, 2u})
        {
            const auto corr = random_gram(n, static_cast<unsigned>(100 * n + seed));
            const run_t run = run_search<TypeParam>(corr, 0);
            const double truth = brute_force_max(*corr);
            const double found = energy(*corr, run.polarities);
            const double tolerance = 2e-6 * magnitude(*corr);
            EXPECT_NEAR(found, truth, tolerance) << "n = " << n << ", seed " << seed;
            // The running values drift by rounding along the Gray walk.
            EXPECT_NEAR(run.bestValue, found, 1e-4 * found) << "n = " << n;
            EXPECT_EQ(run.polarities.back(), -1);
        }
    }
}

TYPED_TEST(FullSearch, FindsAPlantedOptimumExactly)
{
    std::mt19937 rng(7);
    for (std::size_t n : {19u, 21u, 26u})
    {
        std::vector<int> pattern(n);
        for (auto& p : pattern)
            p = (rng() & 1u) != 0 ? 1 : -1;
        pattern.back() = -1;
        const auto corr = rank_one(pattern, static_cast<unsigned>(n));
        const run_t run = run_search<TypeParam>(corr, 0);
        EXPECT_EQ(run.polarities, pattern) << "n = " << n;
    }
}

namespace
{
// The search on `threads[0]` hardware threads gives the reference; every other count must give the
// identical sign vector and the bit-identical value.
template <class V>
void expect_same_whatever_the_threads(std::size_t n, const std::vector<unsigned>& threads)
{
    const auto corr = random_gram(n, static_cast<unsigned>(n));
    const run_t reference = run_search<V>(corr, threads.front());
    for (unsigned t : threads)
    {
        const run_t run = run_search<V>(corr, t);
        EXPECT_EQ(run.polarities, reference.polarities) << "n = " << n << ", " << t << " threads";
        EXPECT_EQ(std::memcmp(&run.bestValue, &reference.bestValue, sizeof(float)), 0)
            << "n = " << n << ", " << t << " threads: " << run.bestValue << " vs " << reference.bestValue;
    }
}
} // namespace

TYPED_TEST(FullSearch, SameResultWhateverTheThreadCount28)
{
    expect_same_whatever_the_threads<TypeParam>(28, {1, 2, 3, 4, 5, 7, 16, 24});
}

TYPED_TEST(FullSearch, SameResultWhateverTheThreadCount29)
{
    expect_same_whatever_the_threads<TypeParam>(29, {1, 3, 6});
}

TYPED_TEST(FullSearch, SameResultWhateverTheThreadCount30)
{
    expect_same_whatever_the_threads<TypeParam>(30, {2, 5});
}

TYPED_TEST(FullSearch, AllZeroMatrixKeepsEveryTrackInverted)
{
    const auto corr = empty_correlation(20);
    const run_t run = run_search<TypeParam>(corr, 0);
    EXPECT_EQ(run.polarities, std::vector<int>(20, -1));
    EXPECT_EQ(run.bestValue, 1.17549435e-38f * 4.0f);
}

TYPED_TEST(FullSearch, ValuesThatAreNotNumbersAreNeverTaken)
{
    // A NaN in the matrix makes every running value NaN: nothing beats the start value.
    const auto corr = random_gram(21, 3);
    at(*corr, 14, 3) = std::numeric_limits<float>::quiet_NaN();
    const run_t run = run_search<TypeParam>(corr, 0);
    EXPECT_EQ(run.polarities, std::vector<int>(21, -1));
    EXPECT_EQ(run.bestValue, 1.17549435e-38f * 4.0f);
}

TYPED_TEST(FullSearch, NineteenTracksAreOneUnitWithTwoReports)
{
    const auto corr = random_gram(19, 5);
    const run_t run = run_search<TypeParam>(corr, 8);
    EXPECT_EQ(run.reports, (std::vector<float>{0.0f, 1.0f}));
}

TYPED_TEST(FullSearch, ProgressReportsOfShareZero)
{
    // 27 tracks: 256 units, one share whatever the threads.
    EXPECT_EQ(run_search<TypeParam>(random_gram(27, 1), 8).reports, (std::vector<float>{0.0f, 1.0f}));
    // 28 tracks on one thread: 512 units, a report every 256.
    EXPECT_EQ(run_search<TypeParam>(random_gram(28, 1), 1).reports, (std::vector<float>{0.0f, 0.5f, 1.0f}));
    // 28 tracks, 3 shares: share 0 holds 171 units, one report.
    EXPECT_EQ(run_search<TypeParam>(random_gram(28, 1), 3).reports, (std::vector<float>{0.0f, 1.0f}));
    // 29 tracks, 3 shares: share 0 holds 341 units.
    EXPECT_EQ(run_search<TypeParam>(random_gram(29, 1), 3).reports,
              (std::vector<float>{0.0f, 256.0f / 341.0f, 1.0f}));
}

TYPED_TEST(FullSearch, StopKeepsTheBestFoundSoFar)
{
    // The planted optimum has track 26 at +1, so it lies in unit 256 or above: a search stopped at
    // its second report (after units 0 .. 255) cannot have seen it.
    std::vector<int> pattern(28);
    std::mt19937 rng(11);
    for (auto& p : pattern)
        p = (rng() & 1u) != 0 ? 1 : -1;
    pattern[26] = 1;
    pattern[27] = -1;
    const auto corr = rank_one(pattern, 3);

    const run_t full = run_search<TypeParam>(corr, 1);
    EXPECT_EQ(full.polarities, pattern);

    int calls = 0;
    const run_t stopped = run_search<TypeParam>(corr, 1, [&](float) { return ++calls < 2; });
    EXPECT_EQ(stopped.reports, (std::vector<float>{0.0f, 0.5f, 1.0f}));
    EXPECT_EQ(stopped.polarities[26], -1);
    EXPECT_LT(energy(*corr, stopped.polarities), energy(*corr, pattern));

    // It is exactly the best of the first 256 units.
    FullGenericAlgorithm<TypeParam> search;
    search.setup(corr);
    const typename FullGenericAlgorithm<TypeParam>::simple_aligned_mat mat(*corr, 28);
    alignas(32) float masks[24];
    FullGenericAlgorithm<TypeParam>::fill_sign_masks(masks);
    std::uint64_t index = 0;
    float value = 0.0f;
    search.process_th(
        0, 256, mat, masks, FullGenericAlgorithm<TypeParam>::block_sum(mat), [](float) { return true; },
        index, value);
    EXPECT_EQ(index_of(stopped.polarities), index);
    EXPECT_EQ(stopped.bestValue, value * 4.0f);
}

TYPED_TEST(FullSearch, StopAtTheFirstReport)
{
    // One share: nothing is visited, every track stays -1, progress(1) is still called.
    const run_t one = run_search<TypeParam>(random_gram(22, 4), 1, [](float) { return false; });
    EXPECT_EQ(one.reports, (std::vector<float>{0.0f, 1.0f}));
    EXPECT_EQ(one.polarities, std::vector<int>(22, -1));
    EXPECT_EQ(one.bestValue, 1.17549435e-38f * 4.0f);

    // Several shares: share 0 visits nothing, the workers stop at their next report; the result is
    // a candidate they saw, reported with its own energy.
    const auto corr = random_gram(30, 4);
    const run_t several = run_search<TypeParam>(corr, 4, [](float) { return false; });
    EXPECT_EQ(several.reports, (std::vector<float>{0.0f, 1.0f}));
    ASSERT_EQ(several.polarities.size(), 30u);
    EXPECT_EQ(several.polarities.back(), -1);
    if (several.polarities != std::vector<int>(30, -1))
    {
        const double e = energy(*corr, several.polarities);
        EXPECT_NEAR(several.bestValue, e, 1e-4 * e);
    }
}

TYPED_TEST(FullSearch, TiesGoToTheFirstCandidateVisited)
{
    // A silent track leaves two candidates with exactly the same energy, differing only in that
    // track: a Gray track, a lane track, a vector track or a unit track. The matrix holds small
    // integers, so the running values are exact along every path and the tie is exact.
    constexpr unsigned G = Flipsearch::FlipOpt::details_::full_search_traits<TypeParam>::grayTracks;
    std::mt19937 rng(99);
    struct case_t
    {
        std::size_t n;
        std::vector<std::size_t> silent;
    };
    // 28 tracks: units split over shares, ties across units.
    const case_t cases[] = {{21, {0, 5, G - 1, G, 14, 15, 17, 18, 19}}, {28, {18, 25}}};
    for (const case_t& c : cases)
    {
        const std::size_t n = c.n;
        for (std::size_t silent : c.silent)
        {
            std::vector<int> pattern(n);
            for (auto& p : pattern)
                p = (rng() & 1u) != 0 ? 1 : -1;
            pattern.back() = -1;
            const auto corr = rank_one(pattern, static_cast<unsigned>(silent), {silent});
            const std::uint64_t plus = index_of(pattern) | (std::uint64_t(1) << silent);
            const std::uint64_t minus = index_of(pattern) & ~(std::uint64_t(1) << silent);
            const std::uint64_t first =
                visit_order<TypeParam>(plus) < visit_order<TypeParam>(minus) ? plus : minus;
            for (unsigned threads : {1u, 3u})
            {
                const run_t run = run_search<TypeParam>(corr, threads);
                EXPECT_EQ(index_of(run.polarities), first)
                    << "n = " << n << ", silent track " << silent << ", " << threads << " threads";
            }
        }
    }
}

TYPED_TEST(FullSearch, FewerThan19TracksAreRefused)
{
    for (std::size_t n : {0u, 1u, 18u})
    {
        const auto corr = random_gram(std::max<std::size_t>(n, 1), 1);
        corr->process_setup(n);
        FullGenericAlgorithm<TypeParam> search;
        search.setup(corr);
        try
        {
            search.process(corr, [](float) { return true; });
            FAIL() << n << " tracks accepted";
        }
        catch (const std::invalid_argument& e)
        {
            const std::string what = e.what();
            EXPECT_NE(what.find(std::to_string(n)), std::string::npos) << what;
            EXPECT_NE(what.find("19"), std::string::npos) << what;
        }
        EXPECT_EQ(search.polarities, std::vector<int>(n, 0));
    }
}

TYPED_TEST(FullSearch, BadCallsThrowBeforeAnyWork)
{
    // A correlation object with fewer tracks than setup saw.
    const auto big = random_gram(20, 1);
    const auto small = random_gram(19, 1);
    FullGenericAlgorithm<TypeParam> search;
    search.setup(big);
    EXPECT_THROW(search.process(small, [](float) { return true; }), std::invalid_argument);
    EXPECT_THROW(search.process(nullptr, [](float) { return true; }), std::invalid_argument);

    // An empty callback.
    EXPECT_THROW(search.process(big, {}), std::bad_function_call);
    EXPECT_EQ(search.polarities, std::vector<int>(20, 0));
}

TYPED_TEST(FullSearch, TracksBeyondTheSixtyFourthAreInverted)
{
    const auto corr = random_gram(66, 1, 4);
    const run_t run = run_search<TypeParam>(corr, 1, [](float) { return false; });
    EXPECT_EQ(run.polarities, std::vector<int>(66, -1));
}

TYPED_TEST(FullSearch, ThrowingCallbackLeavesNoWorkerRunning)
{
    const auto corr = random_gram(30, 2);
    const unsigned before = settled_threads();
    for (int throwAt : {1, 2})
    {
        FullGenericAlgorithm<TypeParam> search;
        search.setup(corr);
        set_full_search_hardware_threads(4);
        int calls = 0;
        EXPECT_THROW(search.process(corr,
                                    [&](float)
                                    {
                                        if (++calls == throwAt)
                                            throw std::runtime_error("cancelled by the host");
                                        return true;
                                    }),
                     std::runtime_error);
        EXPECT_EQ(threads_down_to(before), before)
            << "a worker outlived process (throw at call " << throwAt << ")";
        EXPECT_EQ(search.polarities, std::vector<int>(30, 0));
    }
}

namespace
{
// Virtual memory of this process in bytes.
std::uint64_t virtual_size()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    std::uint64_t kib = 0;
    while (status >> key)
        if (key == "VmSize:" && status >> kib)
            break;
    return kib * 1024;
}
} // namespace

TYPED_TEST(FullSearch, WorkerThatCannotStartStopsTheOthers)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers need more address space than the limit below leaves";
#else
    const auto corr = random_gram(30, 6);
    FullGenericAlgorithm<TypeParam> search;
    search.setup(corr);
    set_full_search_hardware_threads(16);
    const unsigned before = settled_threads();

    // Room for the stacks of about two workers: the third cannot start.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = virtual_size() + (20u << 20);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    std::string what;
    try
    {
        search.process(corr, [](float) { return true; });
    }
    catch (const std::system_error& e)
    {
        what = e.what();
    }
    setrlimit(RLIMIT_AS, &old);

    EXPECT_NE(what.find("thread constructor failed"), std::string::npos) << what;
    EXPECT_EQ(threads_down_to(before), before) << "a worker outlived process";
    EXPECT_EQ(search.polarities, std::vector<int>(30, 0));
#endif
}

TYPED_TEST(FullSearch, AlignedMatrixIsAPaddedSymmetricCopy)
{
    using traits = Flipsearch::FlipOpt::details_::full_search_traits<TypeParam>;
    const auto corr = random_gram(35, 3);
    const typename FullGenericAlgorithm<TypeParam>::simple_aligned_mat mat(*corr, 35);
    EXPECT_EQ(mat.size, 35u);
    EXPECT_EQ(mat.stride, (std::is_same_v<TypeParam, vector_ops::avx> ? 64u : 48u));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(mat.data) % traits::alignment, 0u);
    for (std::size_t i = 0; i < 35; ++i)
        for (std::size_t j = 0; j < mat.stride; ++j)
            EXPECT_EQ(mat.data[i * mat.stride + j], j < 35 ? at(*corr, i, j) : 0.0f) << i << ", " << j;
    EXPECT_THROW((typename FullGenericAlgorithm<TypeParam>::simple_aligned_mat(*corr, 36)),
                 std::invalid_argument);
}

TEST(FullSearchShares, SplitRule)
{
    using A = FullGenericAlgorithm<vector_ops::sse2>;
    EXPECT_EQ(A::share_count(512, 3), 3u);
    EXPECT_EQ(A::share_begin(512, 3, 0), 0u);
    EXPECT_EQ(A::share_begin(512, 3, 1), 171u);
    EXPECT_EQ(A::share_begin(512, 3, 2), 341u);
    EXPECT_EQ(A::share_begin(512, 3, 3), 512u);

    EXPECT_EQ(A::share_count(512, 24), 16u);
    EXPECT_EQ(A::share_count(512, 16), 16u);
    EXPECT_EQ(A::share_count(256, 8), 1u);
    EXPECT_EQ(A::share_count(std::uint64_t(1) << 45, 1), 1u);
    EXPECT_EQ(A::share_count(std::uint64_t(1) << 45, 0), 1u);

    // Contiguous, ascending, covering, sizes within one unit.
    for (std::uint64_t units :
         {std::uint64_t(512), std::uint64_t(1000), std::uint64_t(4097), std::uint64_t(1) << 45})
        for (unsigned shares = 2; shares <= 16; ++shares)
        {
            std::uint64_t smallest = ~std::uint64_t(0);
            std::uint64_t largest = 0;
            EXPECT_EQ(A::share_begin(units, shares, 0), 0u);
            EXPECT_EQ(A::share_begin(units, shares, shares), units);
            for (unsigned t = 0; t < shares; ++t)
            {
                const std::uint64_t size =
                    A::share_begin(units, shares, t + 1) - A::share_begin(units, shares, t);
                smallest = std::min(smallest, size);
                largest = std::max(largest, size);
            }
            EXPECT_LE(largest - smallest, 1u) << units << " units, " << shares << " shares";
        }
}

namespace
{
const Flipsearch::FlipOpt::Plugin* find_search(const std::string& name)
{
    for (const auto* p : Flipsearch::Factory<Flipsearch::FlipOpt::Plugin>::get_inst().plugins)
        if (p->name() == name)
            return p;
    return nullptr;
}

std::vector<int> run_registered(const std::string& name, const std::shared_ptr<Corr>& corr)
{
    const auto search = find_search(name)->getInstance();
    search->setup(corr);
    search->process(corr, [](float) { return true; });
    return search->polarities;
}
} // namespace

namespace
{
// The vectorised searches on several threads and, when `withScalar`, the scalar "Full-Gray2" find
// the same optimum energy for a random n-track matrix.
void expect_same_optimum(std::size_t n, bool withScalar)
{
    set_full_search_hardware_threads(4);
    const auto corr = random_gram(n, static_cast<unsigned>(7 * n));
    const double tolerance = 2e-6 * magnitude(*corr);
    const double reference = energy(*corr, run_registered("Full-SSE2", corr));
    if (Flipsearch::cpu_has_avx())
    {
        EXPECT_NEAR(energy(*corr, run_registered("Full-AVX", corr)), reference, tolerance) << "n = " << n;
    }
    // E(s) = E(-s): the scalar search may return either sign of the optimum.
    if (withScalar)
    {
        EXPECT_NEAR(energy(*corr, run_registered("Full-Gray2", corr)), reference, tolerance) << "n = " << n;
    }
    set_full_search_hardware_threads(0);
}
} // namespace

// The scalar search visits about 7e7 candidates per second: 28 and 29 tracks keep it to a few
// seconds; 30 tracks compares the two vector units only.
TEST(FullSearchCrossCheck, AgreesWithTheScalarGraySearchAt28Tracks)
{
    if (find_search("Full-Gray2") == nullptr)
        GTEST_SKIP() << "\"Full-Gray2\" is not registered in this build";
    expect_same_optimum(28, true);
}

TEST(FullSearchCrossCheck, AgreesWithTheScalarGraySearchAt29Tracks)
{
    if (find_search("Full-Gray2") == nullptr)
        GTEST_SKIP() << "\"Full-Gray2\" is not registered in this build";
    expect_same_optimum(29, true);
}

TEST(FullSearchCrossCheck, AvxAndSse2AgreeAt30Tracks)
{
    expect_same_optimum(30, false);
}
