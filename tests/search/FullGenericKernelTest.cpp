// The Gray-code kernel of the vectorised full search: start values against the energy, and the
// vector step loop against a scalar walk that adds the same terms in the same order, bit for bit.

#include "FullSearchTestSupport.h"

#include "search/CpuFeatures.h"
#include "search/FullGenericAlgorithm.h"
#include "search/FullGenericKernel.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace fullsearch_test;
using Flipsearch::FlipOpt::FullGenericAlgorithm;
using Flipsearch::FlipOpt::FullGenericKernel;

namespace
{
// The matrix, masks and block sum a share gets, and a kernel over them.
template <class V>
struct share_fixture
{
    using algorithm_t = FullGenericAlgorithm<V>;
    static constexpr unsigned W = FullGenericKernel<V>::W;
    static constexpr unsigned G = FullGenericKernel<V>::G;

    explicit share_fixture(const std::shared_ptr<Corr>& c)
        : corr(c), mat(*c, c->nTracks), base(algorithm_t::block_sum(mat))
    {
        algorithm_t::fill_sign_masks(masks);
    }

    float m(std::size_t i, std::size_t j) const { return mat.data[i * mat.stride + j]; }

    std::shared_ptr<Corr> corr;
    typename algorithm_t::simple_aligned_mat mat;
    alignas(32) float masks[24];
    float base;
};

// A scalar walk through the 2^G Gray steps of unit u from the kernel's start values: each lane of
// each vector receives the step's terms one addition at a time, in the kernel's order, and the
// scan takes the first value strictly above the best.
template <class V>
void scalar_unit(const share_fixture<V>& f, const FullGenericKernel<V>& kernel, std::uint64_t u,
                 std::uint64_t& bestIndex, float& bestValue)
{
    constexpr unsigned W = share_fixture<V>::W;
    constexpr unsigned G = share_fixture<V>::G;
    const std::size_t n = f.mat.size;

    float h[G];
    for (unsigned k = 0; k < G; ++k)
    {
        float sum = 0.0f;
        for (std::size_t r = 18; r < n; ++r)
            sum = ((u >> (r - 18)) & 1u) != 0 ? sum + f.m(r, k) : sum - f.m(r, k);
        h[k] = sum;
    }

    float v[8][W];
    for (unsigned w = 0; w < 8; ++w)
        for (unsigned lane = 0; lane < W; ++lane)
            v[w][lane] = kernel.start_value(w, lane);

    const auto scan = [&](std::uint32_t code)
    {
        for (unsigned w = 0; w < 8; ++w)
            for (unsigned lane = 0; lane < W; ++lane)
                if (v[w][lane] > bestValue)
                {
                    bestValue = v[w][lane];
                    bestIndex = (u << 18) | (std::uint64_t(w) << 15) | (std::uint64_t(lane) << G) | code;
                }
    };

    scan(0);
    for (std::uint32_t i = 1; i < (1u << G); ++i)
    {
        const unsigned k = static_cast<unsigned>(__builtin_ctz(i));
        const std::uint32_t code = i ^ (i >> 1);
        const float sigma = ((code >> k) & 1u) != 0 ? 1.0f : -1.0f;
        for (unsigned w = 0; w < 8; ++w)
            for (unsigned lane = 0; lane < W; ++lane)
            {
                float x = v[w][lane];
                for (unsigned t = 0; t < G; ++t)
                    x = x + sigma * (((code >> t) & 1u) != 0 ? 1.0f : -1.0f) * f.m(k, t);
                x = x + -f.m(k, k);
                for (unsigned a = G; a < 15; ++a)
                    x = x + sigma * (((lane >> (a - G)) & 1u) != 0 ? 1.0f : -1.0f) * f.m(k, a);
                for (unsigned t = 15; t < 18; ++t)
                    x = x + sigma * (((w >> (t - 15)) & 1u) != 0 ? 1.0f : -1.0f) * f.m(k, t);
                x = x + sigma * h[k];
                v[w][lane] = x;
            }
        scan(code);
    }
}
} // namespace

template <class V>
class FullKernel : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (std::is_same_v<V, vector_ops::avx> && !Flipsearch::cpu_has_avx())
            GTEST_SKIP() << "processor without AVX";
    }
};

TYPED_TEST_SUITE(FullKernel, VectorUnits, VectorUnitNames);

TYPED_TEST(FullKernel, StartValuesAreAQuarterOfTheEnergy)
{
    constexpr unsigned W = share_fixture<TypeParam>::W;
    constexpr unsigned G = share_fixture<TypeParam>::G;
    for (std::size_t n : {19u, 23u, 40u, 64u})
    {
        const share_fixture<TypeParam> f(random_gram(n, static_cast<unsigned>(n)));
        FullGenericKernel<TypeParam> kernel(f.mat.data, f.mat.size, f.mat.stride, f.masks, f.base);
        const double tolerance = 1e-6 * magnitude(*f.corr);
        const std::uint64_t lastUnit = (std::uint64_t(1) << (n - 19)) - 1;
        for (std::uint64_t u : {std::uint64_t(0), lastUnit / 3, lastUnit})
        {
            kernel.prepare_unit(u);
            for (unsigned w = 0; w < 8; ++w)
                for (unsigned lane = 0; lane < W; ++lane)
                {
                    const std::uint64_t index =
                        (u << 18) | (std::uint64_t(w) << 15) | (std::uint64_t(lane) << G);
                    EXPECT_NEAR(4.0 * kernel.start_value(w, lane), energy(*f.corr, signs_of(index, n)),
                                tolerance)
                        << "n = " << n << ", unit " << u << ", vector " << w << ", lane " << lane;
                }
        }
    }
}

TYPED_TEST(FullKernel, VectorStepsMatchTheScalarWalkBitForBit)
{
    for (std::size_t n : {19u, 21u, 33u})
    {
        const share_fixture<TypeParam> f(random_gram(n, static_cast<unsigned>(3 * n)));
        FullGenericKernel<TypeParam> kernel(f.mat.data, f.mat.size, f.mat.stride, f.masks, f.base);
        for (std::uint64_t u : {std::uint64_t(0), (std::uint64_t(1) << (n - 19)) - 1})
        {
            std::uint64_t vectorIndex = 0;
            float vectorBest = Flipsearch::FlipOpt::details_::START_BEST_VALUE;
            kernel.search_unit(u, vectorIndex, vectorBest);

            std::uint64_t scalarIndex = 0;
            float scalarBest = Flipsearch::FlipOpt::details_::START_BEST_VALUE;
            kernel.prepare_unit(u);
            scalar_unit(f, kernel, u, scalarIndex, scalarBest);

            EXPECT_EQ(vectorIndex, scalarIndex) << "n = " << n << ", unit " << u;
            EXPECT_EQ(std::memcmp(&vectorBest, &scalarBest, sizeof(float)), 0)
                << "n = " << n << ", unit " << u << ": " << vectorBest << " vs " << scalarBest;
            // The running values drift by rounding along the Gray walk.
            const double e = energy(*f.corr, signs_of(vectorIndex, n));
            EXPECT_NEAR(4.0 * vectorBest, e, 1e-4 * e);
        }
    }
}

TYPED_TEST(FullKernel, StartValueAddsTheBlockSumBeforeThePull)
{
    // n = 19, unit 0 (track 18 at -1), zeros but M[18][18] = OO and M[18][0] = h: the pull on the
    // Gray tracks sums to -h and every later term of a start value adds zero, so each lane holds
    // ((OO + base) + -2 * -h) * 0.25. Each row rounds differently in the other two orders.
    const float rows[][3] = {{3.7f, -5.3f, 0.7f}, {0.6f, 2.1f, -1.9f}}; // OO, base, h
    for (const auto& [oo, base, h] : rows)
    {
        auto corr = empty_correlation(19);
        at(*corr, 18, 18) = oo;
        at(*corr, 18, 0) = h;
        share_fixture<TypeParam> f(corr);
        FullGenericKernel<TypeParam> kernel(f.mat.data, f.mat.size, f.mat.stride, f.masks, base);
        kernel.prepare_unit(0);

        const float pull = -2.0f * -h;
        const float want = ((oo + base) + pull) * 0.25f;
        ASSERT_NE(want, (oo + (base + pull)) * 0.25f);
        ASSERT_NE(want, ((oo + pull) + base) * 0.25f);
        for (unsigned w = 0; w < 8; ++w)
            for (unsigned lane = 0; lane < share_fixture<TypeParam>::W; ++lane)
                EXPECT_EQ(kernel.start_value(w, lane), want)
                    << "OO " << oo << ", vector " << w << ", lane " << lane;
    }
}
