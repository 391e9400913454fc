#include "search/FullGenericKernel.h"

#include <emmintrin.h>
#include <immintrin.h>

#include <cmath>
#include <stdexcept>
#include <type_traits>

// The AVX helpers below pass 256-bit vectors by value; they are only ever inlined into the
// AVX-targeted step loop, so no call with that signature is emitted.
#pragma GCC diagnostic ignored "-Wpsabi"

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

// 8-float vectors. Compiled for AVX only inside the AVX step loop (target attribute, never per
// file), so the library still runs on processors without AVX.
struct avx_ops
{
    using vec = __m256;
    __attribute__((target("avx"))) static vec load(const float* p) { return _mm256_load_ps(p); }
    __attribute__((target("avx"))) static void store(float* p, vec v) { _mm256_store_ps(p, v); }
    __attribute__((target("avx"))) static vec broadcast(const float* p) { return _mm256_broadcast_ss(p); }
    __attribute__((target("avx"))) static vec add(vec a, vec b) { return _mm256_add_ps(a, b); }
    __attribute__((target("avx"))) static vec sub(vec a, vec b) { return _mm256_sub_ps(a, b); }
    __attribute__((target("avx"))) static vec bit_xor(vec a, vec b) { return _mm256_xor_ps(a, b); }
    // Lane by lane: a when a > b, else b (also when either is not a number).
    __attribute__((target("avx"))) static vec max_or_second(vec a, vec b) { return _mm256_max_ps(a, b); }
    // Ordered compare: a lane that is not a number is never greater.
    __attribute__((target("avx"))) static vec greater(vec a, vec b)
    {
        return _mm256_cmp_ps(a, b, _CMP_GT_OQ);
    }
    __attribute__((target("avx"))) static bool any(vec m) { return _mm256_movemask_ps(m) != 0; }
    // Keeps v in a register here: stops the compiler from regrouping the additions vector by
    // vector (which needs every term live at once and spills the running values).
    __attribute__((target("avx"))) static void pin(vec& v) { asm("" : "+x"(v)); }
};

// 4-float vectors: SSE2, the x86-64 baseline.
struct sse2_ops
{
    using vec = __m128;
    static vec load(const float* p) { return _mm_load_ps(p); }
    static void store(float* p, vec v) { _mm_store_ps(p, v); }
    static vec broadcast(const float* p) { return _mm_load1_ps(p); }
    static vec add(vec a, vec b) { return _mm_add_ps(a, b); }
    static vec sub(vec a, vec b) { return _mm_sub_ps(a, b); }
    static vec bit_xor(vec a, vec b) { return _mm_xor_ps(a, b); }
    static vec max_or_second(vec a, vec b) { return _mm_max_ps(a, b); }
    static vec greater(vec a, vec b) { return _mm_cmpgt_ps(a, b); }
    static bool any(vec m) { return _mm_movemask_ps(m) != 0; }
    static void pin(vec& v) { asm("" : "+x"(v)); }
};

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

// The 2^G Gray steps of one unit. Every lane receives its 20 terms one addition at a time in the
// fixed order: the Gray tracks' terms, -M[k][k], the lane tracks', the vector tracks' and the
// unit's pull; no two terms are combined first, so each lane rounds exactly as a scalar would.
template <class V, class Ops>
inline void run_steps(const typename FullGenericKernel<V>::tables_t& tb, std::uint64_t unitBits,
                      std::uint64_t& bestIndex, float& bestValue)
{
    using kernel_t = FullGenericKernel<V>;
    using vec = typename Ops::vec;
    constexpr unsigned W = kernel_t::W;
    constexpr unsigned G = kernel_t::G;
    constexpr unsigned NL = kernel_t::NL;
    constexpr unsigned RECORD_VECTORS = kernel_t::RECORD / W;

    vec acc[VECTOR_COUNT];
#pragma GCC unroll 8
    for (unsigned w = 0; w < VECTOR_COUNT; ++w)
        acc[w] = Ops::load(tb.start[w]);

    vec graySigns[RECORD_VECTORS];
#pragma GCC unroll 4
    for (unsigned j = 0; j < RECORD_VECTORS; ++j)
        graySigns[j] = Ops::load(tb.graySigns + j * W);

    alignas(32) float terms[kernel_t::RECORD];
    float best = bestValue;
    vec bestVec = Ops::broadcast(&best);

    const auto scan = [&](std::uint32_t code)
    {
        // Lane-wise maximum over the vectors, starting from the best: a lane that is not a number
        // never enters it, so it exceeds the best exactly where some vector's lane does.
        vec top = bestVec;
#pragma GCC unroll 8
        for (unsigned w = 0; w < VECTOR_COUNT; ++w)
            top = Ops::max_or_second(acc[w], top);
        if (Ops::any(Ops::greater(top, bestVec)))
        {
            alignas(32) float values[VECTOR_COUNT][W];
#pragma GCC unroll 8
            for (unsigned w = 0; w < VECTOR_COUNT; ++w)
                Ops::store(values[w], acc[w]);
            scan_lanes<W, G>(values, unitBits, code, bestIndex, bestValue);
            best = bestValue;
            bestVec = Ops::broadcast(&best);
        }
    };

    // Adds one term to every running value.
    const auto add_term = [&](vec b)
    {
#pragma GCC unroll 8
        for (unsigned w = 0; w < VECTOR_COUNT; ++w)
        {
            acc[w] = Ops::add(acc[w], b);
            Ops::pin(acc[w]);
        }
    };

    // Step 0: every Gray track at -1, no update.
    scan(0);

    for (std::uint32_t i = 1; i < kernel_t::STEPS; ++i)
    {
        const unsigned k = static_cast<unsigned>(__builtin_ctz(i));
        const std::uint32_t code = i ^ (i >> 1);
        const unsigned sigmaBit = (code >> k) & 1u;

        // Track k takes its new sign; the step's Gray terms are sigma * s_t * M[k][t].
        const float* record = tb.record[sigmaBit][k];
#pragma GCC unroll 4
        for (unsigned j = 0; j < RECORD_VECTORS; ++j)
        {
            graySigns[j] = Ops::bit_xor(graySigns[j], Ops::load(tb.flip[k] + j * W));
            Ops::store(terms + j * W, Ops::bit_xor(Ops::load(record + j * W), graySigns[j]));
        }

        // Gray terms t = 0 .. G-1, then -M[k][k].
#pragma GCC unroll 16
        for (unsigned t = 0; t <= G; ++t)
        {
            add_term(Ops::broadcast(terms + t));
        }

        // Lane tracks: the sign differs by lane.
#pragma GCC unroll 4
        for (unsigned a = 0; a < NL; ++a)
        {
            add_term(Ops::load(tb.laneTerms[sigmaBit][k][a]));
        }

        // Vector tracks 15, 16, 17: the sign differs by vector (subtracting is adding the negated
        // term, in one rounding); then the unit's pull.
        const float* vectorTerms = tb.vectorTerms[sigmaBit][k];
#pragma GCC unroll 4
        for (unsigned v = 0; v < VECTOR_TRACKS; ++v)
        {
            const vec b = Ops::broadcast(vectorTerms + v);
#pragma GCC unroll 8
            for (unsigned w = 0; w < VECTOR_COUNT; ++w)
            {
                acc[w] = vector_sign_plus(w, v) ? Ops::add(acc[w], b) : Ops::sub(acc[w], b);
                Ops::pin(acc[w]);
            }
        }
        add_term(Ops::broadcast(vectorTerms + VECTOR_TRACKS));

        scan(code);
    }
}

__attribute__((target("avx"), flatten)) void
run_steps_avx(const FullGenericKernel<vector_ops::avx>::tables_t& tb, std::uint64_t unitBits,
              std::uint64_t& bestIndex, float& bestValue)
{
    run_steps<vector_ops::avx, avx_ops>(tb, unitBits, bestIndex, bestValue);
}

__attribute__((flatten)) void run_steps_sse2(const FullGenericKernel<vector_ops::sse2>::tables_t& tb,
                                             std::uint64_t unitBits, std::uint64_t& bestIndex,
                                             float& bestValue)
{
    run_steps<vector_ops::sse2, sse2_ops>(tb, unitBits, bestIndex, bestValue);
}
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
        run_steps_avx(tables_, unitBits, bestIndex, bestValue);
    else
        run_steps_sse2(tables_, unitBits, bestIndex, bestValue);
}

template class FullGenericKernel<vector_ops::avx>;
template class FullGenericKernel<vector_ops::sse2>;
} // namespace Flipsearch::FlipOpt
