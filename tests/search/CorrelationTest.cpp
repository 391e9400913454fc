// The correlation accumulators "Simple", "SSE2" and "AVX": bit for bit against scalar models of
// their order of operations, packing, tails, silent and negative tracks, normalisations.

#include "SearchTestSupport.h"

#include "search/CpuFeatures.h"

#include <cmath>
#include <cstring>

using namespace searchtest;
using Flipsearch::Correlation::Algorithm;

namespace
{
// Tracks stored 32-byte aligned (plus an optional offset), with their channel pointers.
struct Signals
{
    std::size_t n = 0, samples = 0, stride = 0;
    std::vector<float> storage;
    std::vector<const float*> channels;

    Signals(std::size_t tracks, std::size_t nSamples, std::size_t offset = 0)
        : n(tracks), samples(nSamples), stride((nSamples + offset + 8 + 7) / 8 * 8),
          storage(tracks * stride + 8, 0.0f)
    {
        float* base = storage.data();
        while (reinterpret_cast<std::uintptr_t>(base) % 32 != 0)
            ++base;
        for (std::size_t i = 0; i < n; ++i)
            channels.push_back(base + i * stride + offset);
    }
    float* track(std::size_t i) { return const_cast<float*>(channels[i]); }

    void randomise(std::mt19937& rng)
    {
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t t = 0; t < samples; ++t)
                track(i)[t] = d(rng);
    }
};

// The accumulated state a model keeps, compared field by field.
struct State
{
    std::vector<float> matrix, peaks;
    std::uint64_t count = 0;

    explicit State(std::size_t n) : matrix(n * (n + 1) / 2, 0.0f), peaks(n, 0.0f) {}
};

void update_peaks(State& s, const Signals& x, std::size_t from, std::size_t to)
{
    for (std::size_t i = 0; i < x.n; ++i)
        for (std::size_t t = from; t < to; ++t)
            s.peaks[i] = std::max(s.peaks[i], std::fabs(x.channels[i][t]));
}

// The vectorised order: W lanes per pair over the whole vectors, folded in the unit's order and
// added; then the tail samples summed from 0 and added.
void vector_model(State& s, const Signals& x, std::size_t W)
{
    s.count += x.samples;
    const std::size_t blocked = x.samples / W * W;
    for (std::size_t i = 0; i < x.n; ++i)
    {
        for (std::size_t j = 0; j <= i; ++j)
        {
            float& e = at(s.matrix, i, j);
            if (blocked > 0)
            {
                float lane[8] = {};
                for (std::size_t t = 0; t < blocked; ++t)
                    lane[t % W] = lane[t % W] + x.channels[i][t] * x.channels[j][t];
                e += W == 8 ? ((lane[0] + lane[1]) + (lane[4] + lane[5])) +
                                  ((lane[2] + lane[3]) + (lane[6] + lane[7]))
                            : (lane[0] + lane[2]) + (lane[1] + lane[3]);
            }
            if (blocked < x.samples)
            {
                float tail = 0.0f;
                for (std::size_t t = blocked; t < x.samples; ++t)
                    tail = tail + x.channels[i][t] * x.channels[j][t];
                e += tail;
            }
        }
    }
    update_peaks(s, x, 0, x.samples);
}

// The scalar reference's order: two 4-lane sums over 8-sample blocks, folded, then the rest added
// into the same sum, which is added once.
void simple_model(State& s, const Signals& x)
{
    s.count += x.samples;
    const std::size_t blocked = x.samples / 8 * 8;
    for (std::size_t i = 0; i < x.n; ++i)
    {
        for (std::size_t j = 0; j <= i; ++j)
        {
            float p[4] = {}, q[4] = {};
            for (std::size_t t = 0; t < blocked; ++t)
            {
                float& lane = (t % 8 < 4) ? p[t % 4] : q[t % 4];
                lane = lane + x.channels[i][t] * x.channels[j][t];
            }
            float r[4];
            for (int l = 0; l < 4; ++l)
                r[l] = q[l] + p[l];
            float sum = (r[0] + r[2]) + (r[1] + r[3]);
            for (std::size_t t = blocked; t < x.samples; ++t)
                sum = x.channels[i][t] * x.channels[j][t] + sum;
            at(s.matrix, i, j) += sum;
        }
    }
    update_peaks(s, x, 0, x.samples);
}

std::vector<std::string> available()
{
    std::vector<std::string> names = {"Simple", "SSE2"};
    if (Flipsearch::cpu_has_avx())
        names.push_back("AVX");
    return names;
}

void apply_model(const std::string& name, State& s, const Signals& x)
{
    if (name == "Simple")
        simple_model(s, x);
    else
        vector_model(s, x, name == "AVX" ? 8 : 4);
}

void expect_identical(const Algorithm& a, const State& s)
{
    ASSERT_EQ(a.matrix.size(), s.matrix.size());
    EXPECT_EQ(0, std::memcmp(a.matrix.data(), s.matrix.data(), s.matrix.size() * sizeof(float)));
    for (std::size_t k = 0; k < s.matrix.size(); ++k)
        if (a.matrix[k] != s.matrix[k])
        {
            ADD_FAILURE() << "first difference at packed index " << k << ": " << a.matrix[k] << " vs "
                          << s.matrix[k];
            break;
        }
    EXPECT_EQ(a.peaks, s.peaks);
    EXPECT_EQ(a.sampleCount, s.count);
}
} // namespace

TEST(Correlation, EachImplementationFollowsItsOrderBitForBit)
{
    std::mt19937 rng(99);
    // Track counts around the groups of three and the panels; sample counts around the vector
    // width and the tiles.
    const std::size_t trackCounts[] = {1, 2, 3, 4, 5, 6, 7, 8, 13, 26, 75, 77};
    const std::size_t sampleCounts[] = {0, 1, 3, 4, 7, 8, 9, 13, 64, 1031, 4096, 9005};
    for (const auto& name : available())
    {
        for (std::size_t n : trackCounts)
        {
            for (std::size_t samples : sampleCounts)
            {
                if (n > 26 && samples != 9005 && samples != 13)
                    continue;
                SCOPED_TRACE(name + " n=" + std::to_string(n) + " samples=" + std::to_string(samples));
                auto corr = make_correlation(name);
                corr->process_setup(n);
                State model(n);
                // Two chunks: each chunk's sums are added to the matrix once.
                for (int chunk = 0; chunk < 2; ++chunk)
                {
                    Signals x(n, samples);
                    x.randomise(rng);
                    corr->process_presentChunk(samples, x.channels.data());
                    apply_model(name, model, x);
                }
                expect_identical(*corr, model);
            }
        }
    }
}

TEST(Correlation, UnalignedChannelsGiveTheSameResult)
{
    std::mt19937 rng(5);
    for (const auto& name : available())
    {
        Signals x(7, 1000, 1);
        x.randomise(rng);
        auto corr = make_correlation(name);
        corr->process_setup(7);
        corr->process_presentChunk(1000, x.channels.data());
        State model(7);
        apply_model(name, model, x);
        SCOPED_TRACE(name);
        expect_identical(*corr, model);
    }
}

TEST(Correlation, PackingOfConstantTracks)
{
    // Track i holds the constant i + 1: element (i, j) = (i + 1)(j + 1) x samples, exactly.
    const std::size_t n = 5, samples = 4099;
    Signals x(n, samples);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t t = 0; t < samples; ++t)
            x.track(i)[t] = static_cast<float>(i + 1);
    for (const auto& name : available())
    {
        auto corr = make_correlation(name);
        corr->process_setup(n);
        corr->process_presentChunk(samples, x.channels.data());
        std::vector<float> want;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j <= i; ++j)
                want.push_back(static_cast<float>((i + 1) * (j + 1) * samples));
        EXPECT_EQ(corr->matrix, want) << name;
        EXPECT_EQ(corr->peaks, (std::vector<float>{1, 2, 3, 4, 5})) << name;
        EXPECT_EQ(corr->sampleCount, samples) << name;
    }
}

TEST(Correlation, SilentAndNegativeTracks)
{
    std::mt19937 rng(17);
    const std::size_t n = 4, samples = 515;
    Signals x(n, samples);
    x.randomise(rng);
    for (std::size_t t = 0; t < samples; ++t)
    {
        x.track(1)[t] = 0.0f;
        x.track(2)[t] = -std::fabs(x.track(2)[t]) - 0.25f;
    }
    x.track(2)[300] = -3.0f;
    for (const auto& name : available())
    {
        for (unsigned norm : {0u, 1u, 2u, 3u})
        {
            SCOPED_TRACE(name + " norm " + std::to_string(norm));
            auto corr = make_correlation(name);
            corr->process_setup(n);
            corr->process_presentChunk(samples, x.channels.data());
            // Every implementation keeps the largest magnitude, also of a track below zero.
            EXPECT_EQ(corr->peaks[1], 0.0f);
            EXPECT_EQ(corr->peaks[2], 3.0f);
            const std::vector<float> before = corr->matrix;
            const std::vector<float> peaksBefore = corr->peaks;
            corr->process_finished(static_cast<Algorithm::norm_t>(norm));
            for (std::size_t j = 0; j < n; ++j)
                EXPECT_EQ(at(corr->matrix, 1, j), 0.0f);
            if (norm == 0 || norm == 3)
            {
                EXPECT_EQ(corr->matrix, before);
                EXPECT_EQ(corr->peaks, peaksBefore);
            }
            else if (norm == 1)
            {
                EXPECT_EQ(corr->peaks[0], 1.0f);
                EXPECT_EQ(corr->peaks[1], 0.0f);
                EXPECT_EQ(corr->peaks[2], 1.0f);
                // (C * w_i) * w_j with w = 1 / peak.
                EXPECT_EQ(at(corr->matrix, 2, 0),
                          (at(before, 2, 0) * (1.0f / 3.0f)) * (1.0f / peaksBefore[0]));
            }
            else
            {
                for (std::size_t i : {0u, 2u, 3u})
                    EXPECT_NEAR(at(corr->matrix, i, i), static_cast<float>(samples), samples * 1e-5f);
            }
        }
    }
}

TEST(Correlation, ImplementationsAgreeWithinRounding)
{
    std::mt19937 rng(123);
    const std::size_t n = 11, samples = 65536;
    Signals x(n, samples);
    x.randomise(rng);
    std::vector<std::vector<float>> results;
    for (const auto& name : available())
    {
        auto corr = make_correlation(name);
        corr->process_setup(n);
        corr->process_presentChunk(samples, x.channels.data());
        corr->process_finished(Algorithm::NORM_RMS);
        results.push_back(corr->matrix);
    }
    for (std::size_t r = 1; r < results.size(); ++r)
        for (std::size_t k = 0; k < results[0].size(); ++k)
            EXPECT_NEAR(results[r][k], results[0][k], 2e-4f * samples) << k;
}

TEST(Correlation, NoTracksOnlyCounts)
{
    for (const auto& name : available())
    {
        auto corr = make_correlation(name);
        corr->process_setup(0);
        corr->process_presentChunk(100, nullptr);
        corr->process_finished(Algorithm::NORM_RMS);
        EXPECT_EQ(corr->sampleCount, 100u);
        EXPECT_TRUE(corr->matrix.empty());
    }
}

TEST(Correlation, SecondRunStartsFromNothing)
{
    std::mt19937 rng(3);
    Signals x(3, 100);
    x.randomise(rng);
    for (const auto& name : available())
    {
        auto corr = make_correlation(name);
        corr->process_setup(3);
        corr->process_presentChunk(100, x.channels.data());
        corr->process_setup(2);
        EXPECT_EQ(corr->matrix, std::vector<float>(3, 0.0f)) << name;
        EXPECT_EQ(corr->peaks, std::vector<float>(2, 0.0f)) << name;
        EXPECT_EQ(corr->sampleCount, 0u) << name;
    }
}

TEST(Correlation, SamplesThatAreNotNumbersNeverBecomePeaks)
{
    for (std::size_t at : {0u, 5u, 17u})
    {
        Signals x(1, 19);
        x.track(0)[at] = std::nanf("");
        x.track(0)[at + 1] = -7.0f;
        for (const auto& name : available())
        {
            auto corr = make_correlation(name);
            corr->process_setup(1);
            corr->process_presentChunk(19, x.channels.data());
            EXPECT_EQ(corr->peaks[0], 7.0f) << name << " " << at;
        }
    }
}
