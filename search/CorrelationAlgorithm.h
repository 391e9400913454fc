#pragma once

// The correlation interface: accumulates, chunk by chunk, the packed track-by-track matrix of sums
// of products, one peak per track and the sample count. One object serves one job and is used by
// one thread at a time (the engine's processing thread); it takes no lock.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Flipsearch::Correlation
{
class Algorithm
{
public:
    using ptr_t = std::shared_ptr<Algorithm>;

    // Selector of process_finished(norm_t): 1 normalises by peak, 2 by RMS, any other value
    // leaves the matrix unchanged. The engine passes its own normalisation number unchanged.
    enum norm_t : unsigned
    {
        NORM_OFF = 0,
        NORM_PEAK = 1,
        NORM_RMS = 2
    };

    // Packed lower triangle: element (i, j), j <= i, at index i(i+1)/2 + j.
    static constexpr std::size_t packedIndex(std::size_t i, std::size_t j) { return i * (i + 1) / 2 + j; }

    std::size_t nTracks = 0;
    std::vector<float> matrix;
    std::vector<float> peaks;
    std::uint64_t sampleCount = 0;

    Algorithm() = default;
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    virtual ~Algorithm();

    // Calls teardown(), then sizes the matrix and the peaks for nTracks tracks, all 0.0, and
    // restarts the sample count.
    virtual void process_setup(std::size_t nTracks);

    // channels[i] points at nSamples floats of track i. The base version only counts the samples;
    // every implementation calls it first and then accumulates the chunk.
    virtual void process_presentChunk(std::size_t nSamples, const float* const* channels);

    // Element (i, j) becomes (C_ij * w_i) * w_j and peak i becomes peak_i * w_i.
    virtual void process_finished(const float* weights);

    // Sets nTracks to 0 and empties the matrix; peaks and sampleCount stay.
    virtual void teardown();

    // Builds the per-track weights for the selector and calls the virtual overload.
    void process_finished(norm_t norm);
};
} // namespace Flipsearch::Correlation
