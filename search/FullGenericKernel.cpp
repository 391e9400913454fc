#include "search/FullGenericKernel.h"

#include <emmintrin.h>
#include <immintrin.h>

#include <cmath>
#include <stdexcept>
#include <type_traits>

namespace Flipsearch::FlipOpt
{
namespace
{
using details_::COUNTING_BIT_PATTERN;
using details_::FIRST_UNIT_TRACK;
using details_::FIRST_VECTOR_TRACK;
using details_::UNIT_BITS;
using details_::VECTOR_COUNT;

constexpr unsigned VECTOR_TRACKS = 3;

// Sum of the lanes in the fixed order of the vector unit.
float reduce_lanes(const float (&a)[8])
{
    return ((a[0] + a[1]) + (a[4] + a[5])) + ((a[2] + a[3]) + (a[6] + a[7]));
}

float reduce_lanes(const float (&a)[4])
{
    return (a[0] + a[2]) + (a[1] + a[3]);
}

// Sign of vector track v (0 .. 2 for tracks 15 .. 17) in vector w: true for +1.
constexpr bool vector_sign_plus(unsigned w, unsigned v)
{
    return ((COUNTING_BIT_PATTERN[v] >> w) & 1u) != 0;
}

// x + y or x - y: adding y with a sign applied, in one rounding.
inline float add_signed(float x, float y, bool plus)
{
    return plus ? x + y : x - y;
}

// The lane-by-lane scan of one step, in the order vectors, then lanes: every value strictly
// above the best becomes the best. Rarely reached: the step loop calls it only when some lane
// beats the best.
template <unsigned W, unsigned G>
__attribute__((noinline)) void scan_lanes(const float (*values)[W], std::uint64_t unitBits,
                                          std::uint32_t code, std::uint64_t& bestIndex, float& bestValue)
{
    for (unsigned w = 0; w < VECTOR_COUNT; ++w)
    {
        for (unsigned lane = 0; lane < W; ++lane)
        {
            if (values[w][lane] > bestValue)
            {
                bestValue = values[w][lane];
                bestIndex =
                    unitBits | (std::uint64_t(w) << FIRST_VECTOR_TRACK) | (std::uint64_t(lane) << G) | code;
            }
        }
    }
}

namespace sse2_steps
{
// 4-float vectors: SSE2, the x86-64 baseline; no attribute needed.
#define FSUM_STEPS_TARGET
using V = vector_ops::sse2;
struct Ops
{
    using vec = __m128;
    static vec load(const float* p) { return _mm_load_ps(p); }
    static void store(float* p, vec v) { _mm_store_ps(p, v); }
    static vec broadcast(const float* p) { return _mm_load1_ps(p); }
    static vec add(vec a, vec b) { return _mm_add_ps(a, b); }
    static vec sub(vec a, vec b) { return _mm_sub_ps(a, b); }
    static vec bit_xor(vec a, vec b) { return _mm_xor_ps(a, b); }
    // Lane by lane: a when a > b, else b (also when either is not a number).
    static vec max_or_second(vec a, vec b) { return _mm_max_ps(a, b); }
    // Ordered compare: a lane that is not a number is never greater.
    static vec greater(vec a, vec b) { return _mm_cmpgt_ps(a, b); }
    static bool any(vec m) { return _mm_movemask_ps(m) != 0; }
    // Keeps v in a register here: stops the compiler from regrouping the additions vector by
    // vector (which needs every term live at once and spills the running values).
    static void pin(vec& v) { asm("" : "+x"(v)); }
};
#include "search/FullGenericSteps.inc"
#undef FSUM_STEPS_TARGET
} // namespace sse2_steps

namespace avx_steps
{
// 8-float vectors. Compiled for AVX function by function (never per file), so the library still
// runs on processors without AVX; every function that handles a 256-bit vector carries the
// attribute.
#define FSUM_STEPS_TARGET __attribute__((target("avx")))
#define FSUM_AVX_OP __attribute__((target("avx"), always_inline)) static inline
using V = vector_ops::avx;
struct Ops
{
    using vec = __m256;
    FSUM_AVX_OP vec load(const float* p) { return _mm256_load_ps(p); }
    FSUM_AVX_OP void store(float* p, vec v) { _mm256_store_ps(p, v); }
    FSUM_AVX_OP vec broadcast(const float* p) { return _mm256_broadcast_ss(p); }
    FSUM_AVX_OP vec add(vec a, vec b) { return _mm256_add_ps(a, b); }
    FSUM_AVX_OP vec sub(vec a, vec b) { return _mm256_sub_ps(a, b); }
    FSUM_AVX_OP vec bit_xor(vec a, vec b) { return _mm256_xor_ps(a, b); }
    FSUM_AVX_OP vec max_or_second(vec a, vec b) { return _mm256_max_ps(a, b); }
    FSUM_AVX_OP vec greater(vec a, vec b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    FSUM_AVX_OP bool any(vec m) { return _mm256_movemask_ps(m) != 0; }
    FSUM_AVX_OP void pin(vec& v) { asm("" : "+x"(v)); }
};
#include "search/FullGenericSteps.inc"
#undef FSUM_AVX_OP
#undef FSUM_STEPS_TARGET
} // namespace avx_steps
} // namespace

template <class V>
FullGenericKernel<V>::FullGenericKernel(const float* matrix, std::size_t size, std::size_t stride,
                                        const float* laneMasks, float base)
    : matrix_(matrix), size_(size), stride_(stride), base_(base), tables_{}
{
    if (matrix == nullptr || laneMasks == nullptr || size < FIRST_UNIT_TRACK + 1 || size > 64 ||
        stride < traits::heldColumns || stride < size || stride % traits::rowPadding != 0)
        throw std::invalid_argument("full search kernel: matrix of unusable shape");

    for (unsigned a = 0; a < NL; ++a)
        for (unsigned lane = 0; lane < W; ++lane)
            laneSign_[a][lane] = std::signbit(laneMasks[a * W + lane]) ? -1.0f : 1.0f;

    for (unsigned t = 0; t < G; ++t)
        tables_.graySigns[t] = -0.0f;

    for (unsigned k = 0; k < G; ++k)
    {
        tables_.flip[k][k] = -0.0f;
        for (unsigned sigmaBit = 0; sigmaBit < 2; ++sigmaBit)
        {
            const bool plus = sigmaBit != 0;
            float* record = tables_.record[sigmaBit][k];
            for (unsigned t = 0; t < G; ++t)
                record[t] = plus ? m(k, t) : -m(k, t);
            record[G] = -m(k, k);

            for (unsigned a = 0; a < NL; ++a)
            {
                const float value = plus ? m(k, G + a) : -m(k, G + a);
                for (unsigned lane = 0; lane < W; ++lane)
                    tables_.laneTerms[sigmaBit][k][a][lane] = laneSign_[a][lane] > 0.0f ? value : -value;
            }
            for (unsigned v = 0; v < VECTOR_TRACKS; ++v)
            {
                const float value = m(k, FIRST_VECTOR_TRACK + v);
                tables_.vectorTerms[sigmaBit][k][v] = plus ? value : -value;
            }
        }
    }
}

template <class V>
void FullGenericKernel<V>::prepare_unit(std::uint64_t u)
{
    const std::size_t n = size_;
    // Sign of a track from the unit number (bits beyond the last track are clear: -1).
    const auto plus = [u](std::size_t track) { return ((u >> (track - FIRST_UNIT_TRACK)) & 1u) != 0; };

    // H[c]: the unit's tracks' pull on column c, rows in ascending order from zero.
    float h[traits::heldColumns];
    for (unsigned c = 0; c < traits::heldColumns; ++c)
    {
        float sum = 0.0f;
        for (std::size_t r = FIRST_UNIT_TRACK; r < n; ++r)
            sum = add_signed(sum, m(r, c), plus(r));
        h[c] = sum;
    }

    // OO: the energy among the unit's tracks, in column blocks of W from column 16; columns 16
    // and 17 of the first block are cleared. Block sums are added lane by lane, then reduced.
    float oo;
    {
        float total[W];
        bool first = true;
        for (std::size_t start = 16; start < n; start += W)
        {
            for (unsigned lane = 0; lane < W; ++lane)
            {
                const std::size_t c = start + lane;
                const bool cleared = c < FIRST_UNIT_TRACK;
                float sum = 0.0f;
                for (std::size_t r = FIRST_UNIT_TRACK; r < n; ++r)
                {
                    const float x = cleared ? 0.0f : (plus(c) ? m(r, c) : -m(r, c));
                    sum = add_signed(sum, x, plus(r));
                }
                total[lane] = first ? sum : total[lane] + sum;
            }
            first = false;
        }
        oo = reduce_lanes(total);
    }

    // Sum of H over the Gray tracks, lane by lane, then reduced.
    float sumH;
    {
        float lanes[W];
        for (unsigned lane = 0; lane < W; ++lane)
        {
            float sum = 0.0f;
            for (unsigned c = lane; c < G; c += W)
                sum = sum + h[c];
            lanes[lane] = sum;
        }
        sumH = reduce_lanes(lanes);
    }

    const float s0 = (oo + base_) + (-2.0f * sumH);

    // d[c]: the cross term of track c with the unit's tracks and the Gray tracks (all -1) when
    // track c is +1.
    float d[FIRST_UNIT_TRACK] = {};
    for (unsigned c = G; c < FIRST_UNIT_TRACK; ++c)
    {
        float gs = 0.0f;
        for (unsigned i = 0; i < G; ++i)
            gs = gs + m(i, c);
        d[c] = 2.0f * (h[c] - gs);
    }

    for (unsigned w = 0; w < VECTOR_COUNT; ++w)
    {
        for (unsigned lane = 0; lane < W; ++lane)
        {
            const auto laneSign = [&](unsigned a) { return laneSign_[a][lane] > 0.0f; };
            float x = s0;
            for (unsigned a = 0; a < NL; ++a)
                x = add_signed(x, d[G + a], laneSign(a));
            for (unsigned v = 0; v < VECTOR_TRACKS; ++v)
                x = add_signed(x, d[FIRST_VECTOR_TRACK + v], vector_sign_plus(w, v));
            for (unsigned c = G; c < FIRST_UNIT_TRACK; ++c)
                x = x + m(c, c);
            for (unsigned a = 0; a < NL; ++a)
                for (unsigned b = a + 1; b < NL; ++b)
                    x = add_signed(x, 2.0f * m(G + a, G + b), laneSign(a) == laneSign(b));
            for (unsigned a = 0; a < NL; ++a)
                for (unsigned v = 0; v < VECTOR_TRACKS; ++v)
                    x = add_signed(x, 2.0f * m(G + a, FIRST_VECTOR_TRACK + v),
                                   laneSign(a) == vector_sign_plus(w, v));
            for (unsigned v = 0; v < VECTOR_TRACKS; ++v)
                for (unsigned y = v + 1; y < VECTOR_TRACKS; ++y)
                    x = add_signed(x, 2.0f * m(FIRST_VECTOR_TRACK + v, FIRST_VECTOR_TRACK + y),
                                   vector_sign_plus(w, v) == vector_sign_plus(w, y));
            tables_.start[w][lane] = x * 0.25f;
        }
    }

    for (unsigned k = 0; k < G; ++k)
    {
        tables_.vectorTerms[0][k][VECTOR_TRACKS] = -h[k];
        tables_.vectorTerms[1][k][VECTOR_TRACKS] = h[k];
    }
}

template <class V>
void FullGenericKernel<V>::search_unit(std::uint64_t u, std::uint64_t& bestIndex, float& bestValue)
{
    prepare_unit(u);
    const std::uint64_t unitBits = u << UNIT_BITS;
    if constexpr (std::is_same_v<V, vector_ops::avx>)
        avx_steps::run_steps(tables_, unitBits, bestIndex, bestValue);
    else
        sse2_steps::run_steps(tables_, unitBits, bestIndex, bestValue);
}

template class FullGenericKernel<vector_ops::avx>;
template class FullGenericKernel<vector_ops::sse2>;
} // namespace Flipsearch::FlipOpt
