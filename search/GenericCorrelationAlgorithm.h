#pragma once

// The vectorised correlation accumulators "SSE2" (4-float vectors) and "AVX" (8-float vectors).
// Every pair of tracks is summed in W lanes (lane l takes the samples l, l + W, l + 2W, ... in
// order), the lanes are folded in a fixed order and added once per chunk to the matrix element;
// the samples past the last whole vector are summed separately and added after. The tracks are
// taken in groups of three so that each loaded vector serves three products, and the samples in
// cache-sized tiles; neither changes any lane's order of operations. Peaks are the largest
// magnitudes. One object is used by one thread at a time (the engine's processing thread); from
// 49 tracks on, process_presentChunk shares a chunk's track pairs among up to 8 threads of its own
// (each matrix element is still summed by one thread in the same order) and joins them before it
// returns.

#include "search/CorrelationAlgorithm.h"
#include "search/VectorOps.h"

#include <cstddef>
#include <type_traits>

template <class V>
class GenericCorrelationAlgorithm : public Flipsearch::Correlation::Algorithm
{
public:
    // Floats per vector: 8 for AVX, 4 for SSE2.
    static constexpr std::size_t W = std::is_same_v<V, vector_ops::avx> ? 8 : 4;

    // Channel pointers need no particular alignment (vector-aligned ones are fastest).
    void process_presentChunk(std::size_t nSamples, const float* const* channels) override;

    // Adds, lane by lane, the products of the pairs (a, b), b <= a, of `count` (1 to 3) tracks over
    // the samples [begin, end) (multiples of W) to the accumulators acc, pair (a, b) at
    // acc + (a(a+1)/2 + b) * W.
    void process_diag(const float* const* tracks, unsigned count, std::size_t begin, std::size_t end,
                      float* acc) const;

    // Adds the products of the pairs (a, b) of `gCount` (1 to 3) tracks g and three tracks h over
    // [begin, end) to the accumulators acc, pair (a, b) at acc + (3a + b) * W.
    void process_blk(const float* const* gTracks, unsigned gCount, const float* const* hTracks,
                     std::size_t begin, std::size_t end, float* acc) const;

    // Accumulates the group pairs of the panel pair whose first groups are i0 and j0 (panel groups
    // each) over the chunk's first `blocked` samples into the matrix; acc holds panel * panel slots
    // of nine accumulators.
    void accumulate_panels(const float* const* channels, std::size_t blocked, std::size_t i0, std::size_t j0,
                           std::size_t panel, float* acc);

    // One float from the W lanes of an accumulator: AVX ((a0 + a1) + (a4 + a5)) + ((a2 + a3) +
    // (a6 + a7)), SSE2 (a0 + a2) + (a1 + a3).
    static float reduce(const float* lanes);
};

// The most threads a chunk is shared among (0 restores the default of up to 8, no more than the
// hardware has). For benchmarks and tests; not to be changed while a chunk is being accumulated.
void set_correlation_max_threads(unsigned threads);

extern template class GenericCorrelationAlgorithm<vector_ops::avx>;
extern template class GenericCorrelationAlgorithm<vector_ops::sse2>;
