#pragma once

// Correlation matrices and reference energies for the full-search suites.

#include "search/CorrelationAlgorithm.h"
#include "search/VectorOps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace fullsearch_test
{
using Corr = Flipsearch::Correlation::Algorithm;

// A correlation object whose matrix the tests fill themselves.
inline std::shared_ptr<Corr> empty_correlation(std::size_t n)
{
    auto corr = std::make_shared<Corr>();
    corr->process_setup(n);
    return corr;
}

inline float& at(Corr& corr, std::size_t i, std::size_t j)
{
    return corr.matrix[Corr::packedIndex(std::max(i, j), std::min(i, j))];
}

// The Gram matrix of n random signals (positive semi-definite, as recorded audio gives).
inline std::shared_ptr<Corr> random_gram(std::size_t n, unsigned seed, std::size_t samples = 48)
{
    auto corr = empty_correlation(n);
    std::mt19937 rng(seed);
    std::normal_distribution<double> dist;
    std::vector<double> x(n * samples);
    for (auto& v : x)
        v = dist(rng);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
        {
            double sum = 0.0;
            for (std::size_t t = 0; t < samples; ++t)
                sum += x[i * samples + t] * x[j * samples + t];
            at(*corr, i, j) = static_cast<float>(sum);
        }
    return corr;
}

// C = v v^T with v_i = pattern_i * a_i, a_i a random integer from 1 to 3 (0 for the tracks in
// `silent`): the loudest sum is the sign vector `pattern` (or its negation), with a wide margin.
// Every energy is a small integer, so every float sum of the searches is exact.
inline std::shared_ptr<Corr> rank_one(const std::vector<int>& pattern, unsigned seed,
                                      const std::vector<std::size_t>& silent = {})
{
    const std::size_t n = pattern.size();
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(1, 3);
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = pattern[i] * dist(rng);
    for (std::size_t s : silent)
        v[s] = 0.0;
    auto corr = empty_correlation(n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
            at(*corr, i, j) = static_cast<float>(v[i] * v[j]);
    return corr;
}

// E(s) in double from the float matrix.
inline double energy(const Corr& corr, const std::vector<int>& s)
{
    double e = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i)
        for (std::size_t j = 0; j < s.size(); ++j)
            e += s[i] * s[j] *
                 static_cast<double>(corr.matrix[Corr::packedIndex(std::max(i, j), std::min(i, j))]);
    return e;
}

// Sign vector of a candidate index (bit t set: +1).
inline std::vector<int> signs_of(std::uint64_t index, std::size_t n)
{
    std::vector<int> s(n);
    for (std::size_t t = 0; t < n; ++t)
        s[t] = ((index >> t) & 1u) != 0 ? 1 : -1;
    return s;
}

// Sum of |C_ij| over the full square: the scale of float rounding in an energy.
inline double magnitude(const Corr& corr)
{
    double m = 0.0;
    for (std::size_t i = 0; i < corr.nTracks; ++i)
        for (std::size_t j = 0; j < corr.nTracks; ++j)
            m += std::fabs(corr.matrix[Corr::packedIndex(std::max(i, j), std::min(i, j))]);
    return m;
}

// The largest energy over every sign vector with the last track at -1, by a Gray-code walk in
// double (independent of the searches' order and rounding).
inline double brute_force_max(const Corr& corr)
{
    const std::size_t n = corr.nTracks;
    std::vector<double> m(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            m[i * n + j] = corr.matrix[Corr::packedIndex(std::max(i, j), std::min(i, j))];
    std::vector<int> s(n, -1);
    double e = energy(corr, s);
    double best = e;
    const std::uint64_t count = std::uint64_t(1) << (n - 1);
    for (std::uint64_t i = 1; i < count; ++i)
    {
        const unsigned k = static_cast<unsigned>(__builtin_ctzll(i));
        double cross = 0.0;
        const double* row = &m[k * n];
        for (std::size_t j = 0; j < n; ++j)
            cross += s[j] * row[j];
        cross -= s[k] * row[k];
        // Flipping s_k changes E by -4 s_k sum_{j != k} s_j M[k][j].
        e -= 4.0 * s[k] * cross;
        s[k] = -s[k];
        best = std::max(best, e);
    }
    return best;
}

// The two vector units of the typed suites, named in the test names.
using VectorUnits = ::testing::Types<vector_ops::avx, vector_ops::sse2>;
class VectorUnitNames
{
public:
    template <class V>
    static std::string GetName(int)
    {
        return std::is_same_v<V, vector_ops::avx> ? "AVX" : "SSE2";
    }
};
} // namespace fullsearch_test
