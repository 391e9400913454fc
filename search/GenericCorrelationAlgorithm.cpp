#include "search/GenericCorrelationAlgorithm.h"

#include "search/Factories.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace
{
namespace sse2_kernels
{
// SSE2 is part of every x86-64 processor: no attribute needed.
#define FSUM_KERNEL_TARGET
struct Ops
{
    static constexpr std::size_t W = 4;
    using reg = __m128;
    static reg load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, reg v) { _mm_storeu_ps(p, v); }
    static reg set1(float v) { return _mm_set1_ps(v); }
    static reg add(reg a, reg b) { return _mm_add_ps(a, b); }
    static reg mul(reg a, reg b) { return _mm_mul_ps(a, b); }
    static reg max(reg a, reg b) { return _mm_max_ps(a, b); }
    static reg abs(reg a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
};
#include "search/CorrelationKernels.inc"
#undef FSUM_KERNEL_TARGET
} // namespace sse2_kernels

namespace avx_kernels
{
// AVX code is compiled for AVX function by function, so that nothing else in the library (the
// standard library's inline functions included) uses AVX instructions.
#define FSUM_KERNEL_TARGET __attribute__((target("avx")))
#define FSUM_AVX_OP __attribute__((target("avx"), always_inline)) static inline
struct Ops
{
    static constexpr std::size_t W = 8;
    using reg = __m256;
    FSUM_AVX_OP reg load(const float* p) { return _mm256_loadu_ps(p); }
    FSUM_AVX_OP void store(float* p, reg v) { _mm256_storeu_ps(p, v); }
    FSUM_AVX_OP reg set1(float v) { return _mm256_set1_ps(v); }
    FSUM_AVX_OP reg add(reg a, reg b) { return _mm256_add_ps(a, b); }
    FSUM_AVX_OP reg mul(reg a, reg b) { return _mm256_mul_ps(a, b); }
    FSUM_AVX_OP reg max(reg a, reg b) { return _mm256_max_ps(a, b); }
    FSUM_AVX_OP reg abs(reg a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
};
#include "search/CorrelationKernels.inc"
#undef FSUM_AVX_OP
#undef FSUM_KERNEL_TARGET
} // namespace avx_kernels

template <class V>
struct kernels_for;
template <>
struct kernels_for<vector_ops::sse2>
{
    using type = sse2_kernels::Kernels;
};
template <>
struct kernels_for<vector_ops::avx>
{
    using type = avx_kernels::Kernels;
};

// Samples per tile and groups of three tracks per panel: for each pair of panels every tile of
// their tracks is read from the second-level cache by all group pairs while the accumulators of
// the panel pair stay there too. Measured best on 1 MB second-level caches; any values give the
// same results.
constexpr std::size_t tileSamples = 4096;
constexpr std::size_t panelGroups = 16;
// From this many panel pairs on (more than 48 tracks) a chunk is shared among threads: an offline
// render of many tracks delivers units faster than one core correlates them.
constexpr std::size_t minParallelPanelPairs = 3;
constexpr unsigned defaultMaxCorrelationThreads = 8;
std::atomic<unsigned> maxCorrelationThreads{defaultMaxCorrelationThreads};

// Runs work on the calling thread and on up to items - 1 more threads (no more than the hardware
// has), and returns when every run has returned. A thread that cannot start leaves its share to
// the others; an exception from work is rethrown after every thread has been joined.
template <class Work>
void run_on_threads(const Work& work, std::size_t items)
{
    const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t helpers = std::min<std::size_t>({items, hardware, maxCorrelationThreads}) - 1;
    std::vector<std::thread> threads;
    std::exception_ptr failure;
    std::mutex failureMutex;
    const auto guarded = [&]
    {
        try
        {
            work();
        }
        catch (...)
        {
            const std::lock_guard<std::mutex> lock(failureMutex);
            if (!failure)
                failure = std::current_exception();
        }
    };
    try
    {
        threads.reserve(helpers);
        for (std::size_t t = 0; t < helpers; ++t)
            threads.emplace_back(guarded);
    }
    catch (const std::exception&)
    {
        // Fewer threads: the ones running and the caller share all the work.
    }
    guarded();
    for (auto& thread : threads)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);
}

// Floats of one accumulator slot: nine pairs.
template <std::size_t W>
constexpr std::size_t slotFloats = 9 * W;
} // namespace

void set_correlation_max_threads(unsigned threads)
{
    maxCorrelationThreads = threads == 0 ? defaultMaxCorrelationThreads : threads;
}

template <class V>
float GenericCorrelationAlgorithm<V>::reduce(const float* a)
{
    if constexpr (W == 8)
        return ((a[0] + a[1]) + (a[4] + a[5])) + ((a[2] + a[3]) + (a[6] + a[7]));
    else
        return (a[0] + a[2]) + (a[1] + a[3]);
}

template <class V>
void GenericCorrelationAlgorithm<V>::process_diag(const float* const* tracks, unsigned count,
                                                  std::size_t begin, std::size_t end, float* acc) const
{
    using K = typename kernels_for<V>::type;
    switch (count)
    {
    case 1:
        K::template tri<1>(tracks, begin, end, acc);
        break;
    case 2:
        K::template tri<2>(tracks, begin, end, acc);
        break;
    case 3:
        K::template tri<3>(tracks, begin, end, acc);
        break;
    default:
        throw std::logic_error("process_diag: 1 to 3 tracks");
    }
}

template <class V>
void GenericCorrelationAlgorithm<V>::process_blk(const float* const* gTracks, unsigned gCount,
                                                 const float* const* hTracks, std::size_t begin,
                                                 std::size_t end, float* acc) const
{
    using K = typename kernels_for<V>::type;
    switch (gCount)
    {
    case 1:
        K::template rect<1, 3>(gTracks, hTracks, begin, end, acc);
        break;
    case 2:
        K::template rect<2, 3>(gTracks, hTracks, begin, end, acc);
        break;
    case 3:
        K::template rect<3, 3>(gTracks, hTracks, begin, end, acc);
        break;
    default:
        throw std::logic_error("process_blk: 1 to 3 tracks");
    }
}

template <class V>
void GenericCorrelationAlgorithm<V>::accumulate_panels(const float* const* channels, std::size_t blocked,
                                                       std::size_t i0, std::size_t j0, std::size_t panel,
                                                       float* acc)
{
    const std::size_t n = nTracks;
    const std::size_t groups = (n + 2) / 3;
    const auto groupSize = [n](std::size_t g)
    { return static_cast<unsigned>(std::min<std::size_t>(3, n - 3 * g)); };
    constexpr std::size_t slot = slotFloats<W>;
    const std::size_t i1 = std::min(groups, i0 + panel);
    const std::size_t j1 = std::min(groups, j0 + panel);
    std::fill(acc, acc + panel * panel * slot, 0.0f);
    for (std::size_t t0 = 0; t0 < blocked; t0 += tileSamples)
    {
        const std::size_t t1 = std::min(blocked, t0 + tileSamples);
        for (std::size_t g = i0; g < i1; ++g)
        {
            const float* const* gTracks = channels + 3 * g;
            const std::size_t hEnd = std::min(j1, g + 1);
            for (std::size_t h = j0; h < hEnd; ++h)
            {
                float* a = acc + ((g - i0) * panel + (h - j0)) * slot;
                if (h == g)
                    process_diag(gTracks, groupSize(g), t0, t1, a);
                else
                    process_blk(gTracks, groupSize(g), channels + 3 * h, t0, t1, a);
            }
        }
    }

    for (std::size_t g = i0; g < i1; ++g)
    {
        const std::size_t hEnd = std::min(j1, g + 1);
        for (std::size_t h = j0; h < hEnd; ++h)
        {
            const float* a = acc + ((g - i0) * panel + (h - j0)) * slot;
            const unsigned rows = groupSize(g);
            for (unsigned r = 0; r < rows; ++r)
            {
                float* row = matrix.data() + packedIndex(3 * g + r, 3 * h);
                if (h == g)
                {
                    for (unsigned c = 0; c <= r; ++c)
                        row[c] += reduce(a + (r * (r + 1) / 2 + c) * W);
                }
                else
                {
                    for (unsigned c = 0; c < 3; ++c)
                        row[c] += reduce(a + (3 * r + c) * W);
                }
            }
        }
    }
}

template <class V>
void GenericCorrelationAlgorithm<V>::process_presentChunk(std::size_t nSamples, const float* const* channels)
{
    Algorithm::process_presentChunk(nSamples, channels);
    const std::size_t n = nTracks;
    if (n == 0 || nSamples == 0)
        return;
    const std::size_t blocked = nSamples & ~(W - 1);

    if (blocked > 0)
    {
        // Tracks 3g, 3g+1, 3g+2 form group g; the last group may hold fewer. The group pairs are
        // taken panel pair by panel pair; each panel pair owns its matrix elements, so panel pairs
        // may run on several threads without changing any element's order of operations.
        const std::size_t groups = (n + 2) / 3;
        const std::size_t panel = std::min(groups, panelGroups);
        std::vector<std::pair<std::size_t, std::size_t>> panelPairs;
        for (std::size_t i0 = 0; i0 < groups; i0 += panel)
            for (std::size_t j0 = 0; j0 <= i0; j0 += panel)
                panelPairs.emplace_back(i0, j0);

        std::atomic<std::size_t> next{0};
        const auto work = [&]
        {
            std::vector<float> acc(panel * panel * slotFloats<W>);
            for (std::size_t k = next++; k < panelPairs.size(); k = next++)
                accumulate_panels(channels, blocked, panelPairs[k].first, panelPairs[k].second, panel,
                                  acc.data());
        };
        run_on_threads(work, panelPairs.size() >= minParallelPanelPairs ? panelPairs.size() : 1);

        using K = typename kernels_for<V>::type;
        for (std::size_t i = 0; i < n; ++i)
            peaks[i] = K::peak(channels[i], blocked, peaks[i]);
    }

    if (blocked < nSamples)
    {
        for (std::size_t i = 0; i < n; ++i)
        {
            const float* x = channels[i];
            float* row = matrix.data() + packedIndex(i, 0);
            for (std::size_t j = 0; j <= i; ++j)
            {
                const float* y = channels[j];
                float sum = 0.0f;
                for (std::size_t t = blocked; t < nSamples; ++t)
                    sum += x[t] * y[t];
                row[j] += sum;
            }
            float peak = peaks[i];
            for (std::size_t t = blocked; t < nSamples; ++t)
                peak = std::max(peak, std::fabs(x[t]));
            peaks[i] = peak;
        }
    }
}

template class GenericCorrelationAlgorithm<vector_ops::avx>;
template class GenericCorrelationAlgorithm<vector_ops::sse2>;

std::shared_ptr<Flipsearch::Correlation::Algorithm> fsum2_corr_sse2_create()
{
    return std::make_shared<GenericCorrelationAlgorithm<vector_ops::sse2>>();
}

unsigned fsum2_corr_sse2_minTracks()
{
    return 1;
}

std::shared_ptr<Flipsearch::Correlation::Algorithm> fsum2_corr_avx_create()
{
    return std::make_shared<GenericCorrelationAlgorithm<vector_ops::avx>>();
}

unsigned fsum2_corr_avx_minTracks()
{
    return 1;
}
