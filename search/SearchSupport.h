#pragma once

// Helpers shared by the scalar polarity searches: the input check and the full evaluation of a
// sign vector's energy in its fixed order of float operations. Called on the searching thread.

#include "search/CorrelationAlgorithm.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace Flipsearch::FlipOpt::details_
{
// Element (i, j) of the packed lower triangle, either order of the indices.
inline float element(const float* packed, std::size_t i, std::size_t j)
{
    return i >= j ? packed[i * (i + 1) / 2 + j] : packed[j * (j + 1) / 2 + i];
}

// Throws std::invalid_argument unless corr exists, minTracks <= n <= maxTracks and its matrix
// holds the n(n+1)/2 elements of n tracks (setup must have run with the same correlation).
inline void require_tracks(const Correlation::Algorithm::ptr_t& corr, std::size_t n, std::size_t minTracks,
                           std::size_t maxTracks, const char* searchName)
{
    if (!corr)
        throw std::invalid_argument(std::string(searchName) + ": no correlation");
    if (n < minTracks || n > maxTracks)
        throw std::invalid_argument(std::string(searchName) + ": " + std::to_string(n) +
                                    " tracks, expected " + std::to_string(minTracks) + " to " +
                                    std::to_string(maxTracks));
    if (corr->matrix.size() < n * (n + 1) / 2)
        throw std::invalid_argument(std::string(searchName) + ": correlation matrix smaller than " +
                                    std::to_string(n) + " tracks need (setup not run with it)");
}

// Half the energy of the sign vector s (entries +1, -1 or 0): 0.5 times the diagonal summed in
// ascending order, then s_i s_j M(i, j) for every j < i, rows ascending, skipping rows whose sign
// is 0. The energy is h + h. The order of the additions is part of the result.
inline float half_energy(const float* packed, const int* s, std::size_t n)
{
    if (n == 0)
        return 0.0f;
    float diagonal = packed[0];
    for (std::size_t i = 1; i < n; ++i)
        diagonal += packed[i * (i + 1) / 2 + i];
    float h = 0.5f * diagonal;
    for (std::size_t i = 1; i < n; ++i)
    {
        if (s[i] == 0)
            continue;
        const float* row = packed + i * (i + 1) / 2;
        for (std::size_t j = 0; j < i; ++j)
            h += static_cast<float>(s[i] * s[j]) * row[j];
    }
    return h;
}

// One Gray-code step of the exhaustive searches, in quarters of the energy: track k takes the sign
// of bit k of g (set +1, clear -1). For every track t < tracks, whose sign is bit t of g, adds
// s_k s_t M(t, k) to v (the term t = k included), then cancels it with -M(k, k); v changes one
// term at a time, in that order. The caller adds the pull of the tracks from `tracks` on.
// Returns true when track k is now +1.
inline bool gray_step(float& v, const float* packed, std::uint32_t g, unsigned k, std::size_t tracks)
{
    const bool up = (g >> k) & 1u;
    for (std::size_t t = 0; t < tracks; ++t)
    {
        const float c = element(packed, t, k);
        if (up == static_cast<bool>((g >> t) & 1u))
            v += c;
        else
            v -= c;
    }
    v -= element(packed, k, k);
    return up;
}
} // namespace Flipsearch::FlipOpt::details_
