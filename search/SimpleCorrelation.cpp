// "Simple": the scalar reference correlation accumulator. It walks every pair of tracks on its
// own, with 4-float unaligned loads as its only speed-up, and keeps each track's largest
// magnitude as its peak.

#include "search/Plugin.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>

namespace
{
class Algorithm : public Flipsearch::Correlation::Algorithm
{
public:
    void process_presentChunk(std::size_t nSamples, const float* const* channels) override
    {
        Flipsearch::Correlation::Algorithm::process_presentChunk(nSamples, channels);
        const std::size_t n = nTracks;
        const std::size_t blocked = nSamples & ~std::size_t(7);

        for (std::size_t i = 0; i < n; ++i)
        {
            const float* x = channels[i];
            float* row = matrix.data() + packedIndex(i, 0);
            for (std::size_t j = 0; j <= i; ++j)
                row[j] += pairSum(x, channels[j], blocked, nSamples);
        }

        for (std::size_t i = 0; i < n; ++i)
        {
            const float* x = channels[i];
            float peak = peaks[i];
            for (std::size_t t = 0; t < nSamples; ++t)
                peak = std::max(peak, std::fabs(x[t]));
            peaks[i] = peak;
        }
    }

private:
    // Sum of x[t] * y[t]: two 4-lane partial sums over the 8-sample blocks below `blocked`
    // (samples 8k..8k+3 and 8k+4..8k+7), folded as (r0 + r2) + (r1 + r3), then every remaining
    // sample added in order.
    static float pairSum(const float* x, const float* y, std::size_t blocked, std::size_t nSamples)
    {
        __m128 p = _mm_setzero_ps();
        __m128 q = _mm_setzero_ps();
        for (std::size_t t = 0; t < blocked; t += 8)
        {
            p = _mm_add_ps(p, _mm_mul_ps(_mm_loadu_ps(x + t), _mm_loadu_ps(y + t)));
            q = _mm_add_ps(q, _mm_mul_ps(_mm_loadu_ps(x + t + 4), _mm_loadu_ps(y + t + 4)));
        }
        alignas(16) float r[4];
        _mm_store_ps(r, _mm_add_ps(q, p));
        float sum = (r[0] + r[2]) + (r[1] + r[3]);
        for (std::size_t t = blocked; t < nSamples; ++t)
            sum = x[t] * y[t] + sum;
        return sum;
    }
};

Flipsearch::PluginHelper<Algorithm, Flipsearch::Correlation::Plugin> plug_reg FLIPSEARCH_INIT_ORDER(1){
    "Simple", "Simple, slow implementation", 0u, 1u, 0};
} // namespace
