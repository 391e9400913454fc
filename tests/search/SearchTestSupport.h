#pragma once

// Shared helpers of the search library's tests: algorithms by registry name, correlation objects
// holding a given matrix, random matrices and signals, and brute-force energies.

#include "search/Plugin.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace searchtest
{
inline Flipsearch::Correlation::Plugin* correlation_record(const std::string& name)
{
    for (auto* p : Flipsearch::Factory<Flipsearch::Correlation::Plugin>::get_inst().plugins)
        if (p->name() == name)
            return p;
    return nullptr;
}

inline Flipsearch::FlipOpt::Plugin* search_record(const std::string& name)
{
    for (auto* p : Flipsearch::Factory<Flipsearch::FlipOpt::Plugin>::get_inst().plugins)
        if (p->name() == name)
            return p;
    return nullptr;
}

inline Flipsearch::Correlation::Algorithm::ptr_t make_correlation(const std::string& name)
{
    auto* record = correlation_record(name);
    if (record == nullptr)
        throw std::runtime_error("no correlation record " + name);
    return record->getInstance();
}

inline std::shared_ptr<Flipsearch::FlipOpt::Algorithm> make_search(const std::string& name)
{
    auto* record = search_record(name);
    if (record == nullptr)
        throw std::runtime_error("no search record " + name);
    return record->getInstance();
}

// A correlation object that holds the packed matrix m of n tracks, as after process_finished.
inline Flipsearch::Correlation::Algorithm::ptr_t holding(std::size_t n, const std::vector<float>& m)
{
    auto c = std::make_shared<Flipsearch::Correlation::Algorithm>();
    c->process_setup(n);
    c->matrix = m;
    return c;
}

inline float& at(std::vector<float>& packed, std::size_t i, std::size_t j)
{
    return i >= j ? packed[i * (i + 1) / 2 + j] : packed[j * (j + 1) / 2 + i];
}

inline float at(const std::vector<float>& packed, std::size_t i, std::size_t j)
{
    return i >= j ? packed[i * (i + 1) / 2 + j] : packed[j * (j + 1) / 2 + i];
}

// Random symmetric matrix: diagonal in [0, 2), off-diagonal in [-1, 1).
inline std::vector<float> random_matrix(std::size_t n, std::mt19937& rng)
{
    std::uniform_real_distribution<float> off(-1.0f, 1.0f), diag(0.0f, 2.0f);
    std::vector<float> m(n * (n + 1) / 2);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
            at(m, i, j) = i == j ? diag(rng) : off(rng);
    return m;
}

// Random symmetric matrix of small integers (every float operation on it is exact), with many
// equal energies.
inline std::vector<float> integer_matrix(std::size_t n, int range, std::mt19937& rng)
{
    std::uniform_int_distribution<int> off(-range, range), diag(0, range);
    std::vector<float> m(n * (n + 1) / 2);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
            at(m, i, j) = static_cast<float>(i == j ? diag(rng) : off(rng));
    return m;
}

// Energy sum_ij s_i s_j M_ij in double.
inline double energy(const std::vector<float>& m, const std::vector<int>& s)
{
    double e = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i)
        for (std::size_t j = 0; j < s.size(); ++j)
            e += static_cast<double>(s[i]) * s[j] * at(m, i, j);
    return e;
}

// Signs of a candidate index: bit u set = +1, for u < n - 1; the last track gets `last`.
inline std::vector<int> signs_of(std::uint64_t index, std::size_t n, int last)
{
    std::vector<int> s(n);
    for (std::size_t u = 0; u + 1 < n; ++u)
        s[u] = ((index >> u) & 1u) ? 1 : -1;
    if (n > 0)
        s[n - 1] = last;
    return s;
}

// The true maximum energy over every sign vector, by enumeration.
inline double brute_force_max(const std::vector<float>& m, std::size_t n)
{
    double best = -1e300;
    for (std::uint64_t i = 0; i < (std::uint64_t(1) << (n - 1)); ++i)
    {
        const double e = energy(m, signs_of(i, n, 1));
        if (e > best)
            best = e;
    }
    return best;
}

// Sum of |M_ij| over the full matrix: the scale of the float rounding of an energy.
inline double magnitude(const std::vector<float>& m, std::size_t n)
{
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            s += std::abs(static_cast<double>(at(m, i, j)));
    return s;
}

struct Outcome
{
    std::vector<int> polarities;
    float bestValue = 0.0f;
    std::vector<float> reports;
};

// setup + process with a callback that records every fraction and answers false from report
// number `stopAt` (0-based) on.
inline Outcome run_search(const std::string& name, std::size_t n, const std::vector<float>& m,
                          std::size_t stopAt = SIZE_MAX)
{
    auto search = make_search(name);
    auto corr = holding(n, m);
    Outcome run;
    search->setup(corr);
    search->process(corr,
                    [&run, stopAt](float f)
                    {
                        run.reports.push_back(f);
                        return run.reports.size() <= stopAt;
                    });
    run.polarities = search->polarities;
    run.bestValue = search->bestValue;
    return run;
}
} // namespace searchtest
