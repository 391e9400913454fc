#pragma once

// The Gray-code kernel of the vectorised full search: the search of one unit of 2^18 sign vectors
// for 8-float AVX or 4-float SSE2 vectors. One kernel object serves one share and lives on the
// stack of the thread that searches the share; it is never shared between threads. It allocates
// nothing. Values are quarters of the energy, V = E/4.
//
// Candidate index bits: 0 .. G-1 the Gray code of the step, G .. 14 the lane, 15 .. 17 the vector,
// 18 and up the unit. A set bit means +1 (keep), a clear bit -1 (invert).

#include "search/VectorOps.h"

#include <cstddef>
#include <cstdint>

namespace Flipsearch::FlipOpt
{
namespace details_
{
// Bit j of word b equals bit b of j: words 0 .. 2 give the signs of the vector tracks 15 .. 17 in
// vector j and, read by lane number, the signs of the lane tracks.
inline constexpr std::uint32_t COUNTING_BIT_PATTERN[5] = {0xAAAAAAAAu, 0xCCCCCCCCu, 0xF0F0F0F0u, 0xFF00FF00u,
                                                          0xFFFF0000u};

// Constants of one vector unit.
template <class V>
struct full_search_traits;

template <>
struct full_search_traits<vector_ops::avx>
{
    static constexpr unsigned lanes = 8;         // W, floats per vector
    static constexpr unsigned grayTracks = 12;   // G, tracks enumerated by the Gray code
    static constexpr unsigned rowPadding = 32;   // stored row length is a multiple of this
    static constexpr std::size_t alignment = 32; // bytes, of the aligned matrix
    static constexpr unsigned laneTracks = 3;    // tracks 12, 13, 14
    static constexpr unsigned heldColumns = 24;  // columns of H kept (3 vectors)
};

template <>
struct full_search_traits<vector_ops::sse2>
{
    static constexpr unsigned lanes = 4;
    static constexpr unsigned grayTracks = 13;
    static constexpr unsigned rowPadding = 16;
    static constexpr std::size_t alignment = 16;
    static constexpr unsigned laneTracks = 2; // tracks 13, 14
    static constexpr unsigned heldColumns = 20;
};

// First track whose sign lies in the unit number.
inline constexpr unsigned FIRST_UNIT_TRACK = 18;
// First of the three vector tracks 15, 16, 17.
inline constexpr unsigned FIRST_VECTOR_TRACK = 15;
// Number of running-value vectors (one per combination of the vector tracks).
inline constexpr unsigned VECTOR_COUNT = 8;
// Sign vectors per unit.
inline constexpr unsigned UNIT_BITS = 18;
// Units between two progress reports of a share.
inline constexpr std::uint64_t UNITS_PER_REPORT = 256;
// Start value of a share's best: the smallest positive normal float (bits 0x00800000).
inline constexpr float START_BEST_VALUE = 1.17549435e-38f;
} // namespace details_

template <class V>
class FullGenericKernel
{
public:
    using traits = details_::full_search_traits<V>;
    static constexpr unsigned W = traits::lanes;
    static constexpr unsigned G = traits::grayTracks;
    static constexpr unsigned NL = traits::laneTracks;
    static constexpr unsigned STEPS = 1u << G;
    // 16 floats per step record: the G Gray terms, then -M[k][k].
    static constexpr unsigned RECORD = 16;

    // matrix: size x size floats, rows `stride` floats apart, zero padded, aligned for V;
    // 19 <= size <= 64. laneMasks: NL vectors of W floats, -0.0f where the lane track is -1.
    // base: sum of the upper-left G x G block. The pointed-to data must outlive the kernel.
    FullGenericKernel(const float* matrix, std::size_t size, std::size_t stride, const float* laneMasks,
                      float base);

    FullGenericKernel(const FullGenericKernel&) = delete;
    FullGenericKernel& operator=(const FullGenericKernel&) = delete;

    // Searches the 2^18 candidates of unit u in the fixed order (steps, vectors, lanes) and makes
    // every candidate strictly above bestValue the new best, writing both at every improvement.
    void search_unit(std::uint64_t u, std::uint64_t& bestIndex, float& bestValue);

    // Start value (V of the candidate with every Gray track at -1) of lane L of vector w, after
    // the last prepare_unit. For tests.
    float start_value(unsigned w, unsigned lane) const { return tables_.start[w][lane]; }

    // Computes the unit's pull H, the start values and the per-unit step terms.
    void prepare_unit(std::uint64_t u);

    // The step tables, read by the vector loop.
    struct tables_t
    {
        // [sigma bit][k]: lanes t < G hold sigma * M[k][t], lane G holds -M[k][k], the rest 0.
        alignas(32) float record[2][G][RECORD];
        // [k]: -0.0f in lane k, else 0: flips the sign of Gray track k.
        alignas(32) float flip[G][RECORD];
        // -0.0f in lanes 0 .. G-1: every Gray track at -1.
        alignas(32) float graySigns[RECORD];
        // [sigma bit][k][lane track]: sigma * M[k][a] with the lane track's sign in each lane.
        alignas(32) float laneTerms[2][G][NL][W];
        // [sigma bit][k]: sigma * M[k][15], sigma * M[k][16], sigma * M[k][17], sigma * H[k].
        alignas(32) float vectorTerms[2][G][4];
        // Running values at step 0, vector by vector.
        alignas(32) float start[details_::VECTOR_COUNT][W];
    };

private:
    float m(std::size_t i, std::size_t j) const { return matrix_[i * stride_ + j]; }

    const float* matrix_;
    std::size_t size_;
    std::size_t stride_;
    float base_;
    float laneSign_[NL][W]; // +1 or -1 per lane track and lane
    tables_t tables_;
};

extern template class FullGenericKernel<vector_ops::avx>;
extern template class FullGenericKernel<vector_ops::sse2>;
} // namespace Flipsearch::FlipOpt
