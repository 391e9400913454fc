#pragma once

// The vectorised exhaustive search for 19 to 64 tracks ("Full-AVX" and "Full-SSE2").
// process runs on the caller's thread (the engine's processing thread) and, from 28 tracks on,
// on up to 15 worker threads that it starts and joins itself; only the caller's thread calls the
// progress callback.

#include "search/FlipOptAlgorithm.h"
#include "search/VectorOps.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace Flipsearch::FlipOpt
{
template <class V>
class FullGenericAlgorithm : public Algorithm
{
public:
    // The full symmetric copy of the matrix that every share reads; rows padded with zeros.
    struct simple_aligned_mat
    {
        float* data = nullptr;
        std::size_t size = 0;
        std::size_t stride = 0;
    };

    void process(const Correlation::Algorithm::ptr_t& corr, std::function<bool(float)> progress) override;
};

extern template class FullGenericAlgorithm<vector_ops::avx>;
extern template class FullGenericAlgorithm<vector_ops::sse2>;
} // namespace Flipsearch::FlipOpt
