#include "search/CorrelationAlgorithm.h"

#include <cmath>

namespace Flipsearch::Correlation
{
Algorithm::~Algorithm() = default;

void Algorithm::process_setup(std::size_t n)
{
    teardown();
    nTracks = n;
    matrix.assign(n * (n + 1) / 2, 0.0f);
    // A new run starts from nothing: stale peaks or counts of an earlier run would distort its
    // normalisation.
    peaks.assign(n, 0.0f);
    sampleCount = 0;
}

void Algorithm::process_presentChunk(std::size_t nSamples, const float* const*)
{
    sampleCount += nSamples;
}

void Algorithm::process_finished(const float* weights)
{
    for (std::size_t i = 0; i < nTracks; ++i)
    {
        float* row = matrix.data() + packedIndex(i, 0);
        for (std::size_t j = 0; j <= i; ++j)
            row[j] = (row[j] * weights[i]) * weights[j];
        peaks[i] *= weights[i];
    }
}

void Algorithm::teardown()
{
    nTracks = 0;
    matrix.clear();
}

void Algorithm::process_finished(norm_t norm)
{
    std::vector<float> w(nTracks, 1.0f);
    if (norm == NORM_PEAK)
    {
        for (std::size_t i = 0; i < nTracks; ++i)
            if (peaks[i] != 0.0f)
                w[i] = 1.0f / peaks[i];
    }
    else if (norm == NORM_RMS)
    {
        const float count = static_cast<float>(sampleCount);
        for (std::size_t i = 0; i < nTracks; ++i)
        {
            const float r = std::sqrt(matrix[packedIndex(i, i)] / count);
            // A silent track keeps weight 1; so does every track before any sample was seen
            // (0 / 0 is not a number and must not poison the matrix).
            if (r != 0.0f && std::isfinite(r))
                w[i] = 1.0f / r;
        }
    }
    process_finished(w.data());
}
} // namespace Flipsearch::Correlation
