// The correlation base class: setup, weights and both normalisations.

#include "search/CorrelationAlgorithm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using Flipsearch::Correlation::Algorithm;

namespace
{
// The base class accumulates nothing; tests fill the matrix by hand.
class Filled : public Algorithm
{
};

std::unique_ptr<Filled> make(std::size_t n)
{
    auto a = std::make_unique<Filled>();
    a->process_setup(n);
    return a;
}
} // namespace

TEST(CorrelationBase, SetupSizesMatrixAndPeaks)
{
    Filled a;
    EXPECT_EQ(a.nTracks, 0u);
    EXPECT_TRUE(a.matrix.empty());
    EXPECT_EQ(a.sampleCount, 0u);

    a.process_setup(4);
    EXPECT_EQ(a.nTracks, 4u);
    ASSERT_EQ(a.matrix.size(), 10u);
    ASSERT_EQ(a.peaks.size(), 4u);
    for (float v : a.matrix)
        EXPECT_EQ(v, 0.0f);

    const float* chans[4] = {};
    a.process_presentChunk(17, chans);
    a.process_presentChunk(0, chans);
    EXPECT_EQ(a.sampleCount, 17u);

    a.teardown();
    EXPECT_EQ(a.nTracks, 0u);
    EXPECT_TRUE(a.matrix.empty());
    EXPECT_EQ(a.peaks.size(), 4u);
    EXPECT_EQ(a.sampleCount, 17u);
}

TEST(CorrelationBase, WeightsScaleInOrder)
{
    Filled a;
    a.process_setup(2);
    a.matrix = {4.0f, 6.0f, 9.0f};
    a.peaks = {2.0f, 3.0f};
    const float w[2] = {0.5f, 1.0f / 3.0f};
    a.process_finished(w);
    EXPECT_EQ(a.matrix[0], (4.0f * w[0]) * w[0]);
    EXPECT_EQ(a.matrix[1], (6.0f * w[1]) * w[0]);
    EXPECT_EQ(a.matrix[2], (9.0f * w[1]) * w[1]);
    EXPECT_EQ(a.peaks[0], 1.0f);
    EXPECT_EQ(a.peaks[1], 3.0f * w[1]);
}

TEST(CorrelationBase, WeightingMultipliesByTheRowWeightFirst)
{
    // (C, w0, w1), C the element (1, 0): each row rounds differently in (C * w0) * w1 and
    // C * (w1 * w0) than in the fixed (C * w1) * w0.
    const float rows[][3] = {{0.7f, 0.31f, 1.0f / 7.0f}, {0.7f, 1.0f / 7.0f, 0.31f}};
    for (const auto& [c, w0, w1] : rows)
    {
        Filled a;
        a.process_setup(2);
        a.matrix = {c, c, c};
        const float w[2] = {w0, w1};
        a.process_finished(w);
        const float want = (c * w1) * w0;
        ASSERT_NE(want, (c * w0) * w1);
        ASSERT_NE(want, c * (w1 * w0));
        EXPECT_EQ(a.matrix[1], want) << "w0 " << w0;
        EXPECT_EQ(a.matrix[0], (c * w0) * w0);
        EXPECT_EQ(a.matrix[2], (c * w1) * w1);
    }
}

TEST(CorrelationBase, NormalisationsKeepSilentTracksAndUnknownSelectors)
{
    for (unsigned norm : {0u, 3u, 99u})
    {
        auto a = make(2);
        a->matrix = {4.0f, 1.0f, 0.0f};
        a->peaks = {2.0f, 0.0f};
        a->process_finished(static_cast<Algorithm::norm_t>(norm));
        EXPECT_EQ(a->matrix, (std::vector<float>{4.0f, 1.0f, 0.0f}));
        EXPECT_EQ(a->peaks, (std::vector<float>{2.0f, 0.0f}));
    }

    auto peak = make(2);
    peak->matrix = {4.0f, 1.0f, 0.0f};
    peak->peaks = {2.0f, 0.0f};
    peak->process_finished(Algorithm::NORM_PEAK);
    EXPECT_EQ(peak->matrix, (std::vector<float>{1.0f, 0.5f, 0.0f}));
    EXPECT_EQ(peak->peaks, (std::vector<float>{1.0f, 0.0f}));

    auto rms = make(2);
    rms->sampleCount = 4;
    rms->matrix = {16.0f, 2.0f, 0.0f};
    rms->peaks = {1.0f, 0.0f};
    rms->process_finished(Algorithm::NORM_RMS);
    // r0 = sqrt(16 / 4) = 2, silent track 1 keeps weight 1.
    EXPECT_EQ(rms->matrix, (std::vector<float>{4.0f, 1.0f, 0.0f}));
}

TEST(CorrelationBase, RmsNormalisationWithoutSamplesLeavesMatrixFinite)
{
    auto a = make(2);
    a->process_finished(Algorithm::NORM_RMS);
    for (float v : a->matrix)
        EXPECT_TRUE(std::isfinite(v));
}
