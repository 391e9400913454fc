// Correlation of one 65,536-sample work unit for n tracks: "AVX", "SSE2" and "Simple" against
// OpenBLAS's single-threaded cblas_ssyrk on the same data (the same lower triangle of sums of
// products). Reports multiply-adds per second of the best iteration, and the ratio to the best of
// OpenBLAS's runs measured right before, in the same process.
//
//   build/bench/correlation_bench [--benchmark_filter=...]

#include "search/CpuFeatures.h"
#include "search/GenericCorrelationAlgorithm.h"
#include "search/Plugin.h"

#include <benchmark/benchmark.h>
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr std::size_t unitSamples = 65536;

// n tracks of one unit, each 64-byte aligned, stored one after the other (row-major n x 65536,
// the layout cblas_ssyrk reads without a copy).
struct Unit
{
    std::size_t n;
    std::unique_ptr<float, decltype(&std::free)> data{nullptr, &std::free};
    std::vector<const float*> channels;

    explicit Unit(std::size_t tracks) : n(tracks)
    {
        data.reset(static_cast<float*>(std::aligned_alloc(64, n * unitSamples * sizeof(float))));
        std::mt19937 rng(static_cast<unsigned>(n));
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        for (std::size_t k = 0; k < n * unitSamples; ++k)
            data.get()[k] = d(rng);
        for (std::size_t i = 0; i < n; ++i)
            channels.push_back(data.get() + i * unitSamples);
    }
};

const Unit& unit(std::size_t n)
{
    static std::map<std::size_t, std::unique_ptr<Unit>> units;
    auto& u = units[n];
    if (!u)
        u = std::make_unique<Unit>(n);
    return *u;
}

double multiplyAdds(std::size_t n)
{
    return static_cast<double>(n * (n + 1) / 2) * unitSamples;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ssyrk(const Unit& u, std::vector<float>& c)
{
    const int n = static_cast<int>(u.n);
    cblas_ssyrk(CblasRowMajor, CblasLower, CblasNoTrans, n, static_cast<int>(unitSamples), 1.0f, u.data.get(),
                static_cast<int>(unitSamples), 0.0f, c.data(), n);
}

// Best OpenBLAS rate on the given number of threads over at least three runs and 0.3 s; leaves
// OpenBLAS on one thread.
double openblas_rate(const Unit& u, int threads)
{
    openblas_set_num_threads(threads);
    std::vector<float> c(u.n * u.n);
    double best = 1e300;
    const auto start = std::chrono::steady_clock::now();
    for (int run = 0; run < 3 || seconds_since(start) < 0.3; ++run)
    {
        const auto t0 = std::chrono::steady_clock::now();
        ssyrk(u, c);
        best = std::min(best, seconds_since(t0));
    }
    openblas_set_num_threads(1);
    return multiplyAdds(u.n) / best;
}

void BM_OpenBLAS(benchmark::State& state)
{
    openblas_set_num_threads(1);
    const Unit& u = unit(static_cast<std::size_t>(state.range(0)));
    std::vector<float> c(u.n * u.n);
    double best = 1e300;
    for (auto _ : state)
    {
        const auto t0 = std::chrono::steady_clock::now();
        ssyrk(u, c);
        benchmark::DoNotOptimize(c.data());
        best = std::min(best, seconds_since(t0));
    }
    state.counters["MAC/s"] = multiplyAdds(u.n) / best;
}

Flipsearch::Correlation::Plugin* enabled_record(const std::string& name)
{
    for (auto* p : Flipsearch::Factory<Flipsearch::Correlation::Plugin>::get_inst().plugins)
        if (p->name() == name && p->enabled())
            return p;
    return nullptr;
}

// Times the record's correlation of the unit over the benchmark's iterations and reports the best
// rate against the reference rate.
void run_correlation(benchmark::State& state, Flipsearch::Correlation::Plugin& record, const Unit& u,
                     double reference)
{
    auto corr = record.getInstance();
    double best = 1e300;
    for (auto _ : state)
    {
        const auto t0 = std::chrono::steady_clock::now();
        corr->process_setup(u.n);
        corr->process_presentChunk(unitSamples, u.channels.data());
        benchmark::DoNotOptimize(corr->matrix.data());
        best = std::min(best, seconds_since(t0));
    }
    const double rate = multiplyAdds(u.n) / best;
    state.counters["MAC/s"] = rate;
    state.counters["OpenBLAS_MAC/s"] = reference;
    state.counters["ratio"] = rate / reference;
}

void BM_Correlation(benchmark::State& state, const std::string& name)
{
    const Unit& u = unit(static_cast<std::size_t>(state.range(0)));
    Flipsearch::Correlation::Plugin* record = enabled_record(name);
    if (record == nullptr)
    {
        state.SkipWithError("algorithm not available on this processor");
        return;
    }
    set_correlation_max_threads(1);
    run_correlation(state, *record, u, openblas_rate(u, 1));
}

// "AVX" with every thread it may use, against OpenBLAS with as many threads.
void BM_CorrelationThreads(benchmark::State& state)
{
    const Unit& u = unit(static_cast<std::size_t>(state.range(0)));
    Flipsearch::Correlation::Plugin* record = enabled_record("AVX");
    if (record == nullptr)
    {
        state.SkipWithError("algorithm not available on this processor");
        return;
    }
    const int threads = static_cast<int>(std::min(8u, std::max(1u, std::thread::hardware_concurrency())));
    set_correlation_max_threads(0);
    run_correlation(state, *record, u, openblas_rate(u, threads));
    state.counters["threads"] = threads;
    set_correlation_max_threads(1);
}

void trackCounts(benchmark::internal::Benchmark* b)
{
    for (int n : {8, 32, 64, 256, 999})
        b->Arg(n);
    b->Unit(benchmark::kMillisecond);
}
} // namespace

BENCHMARK(BM_OpenBLAS)->Apply(trackCounts);
BENCHMARK_CAPTURE(BM_Correlation, AVX, std::string("AVX"))->Apply(trackCounts);
BENCHMARK_CAPTURE(BM_Correlation, SSE2, std::string("SSE2"))->Apply(trackCounts);
BENCHMARK_CAPTURE(BM_Correlation, Simple, std::string("Simple"))->Apply(trackCounts);
BENCHMARK(BM_CorrelationThreads)->Arg(64)->Arg(256)->Arg(999)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
