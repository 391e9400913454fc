// Candidates per second of the exhaustive searches "Full-AVX", "Full-SSE2" and "Full-Gray2" at
// 24 and 30 tracks, on one thread and on all threads, against the bare loop that bounds the AVX
// kernel: the same 20 broadcast additions into eight 8-lane vectors per Gray step, nothing else.
// After the runs a summary prints each rate per thread, its ratio to the bare loop measured in
// this run with the same thread count, and the thread-scaling factor
// (all-thread rate / (threads x one-thread rate)).

#include "search/CorrelationAlgorithm.h"
#include "search/CpuFeatures.h"
#include "search/FullGenericAlgorithm.h"
#include "search/Plugin.h"

#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Flipsearch::Factory;
using Flipsearch::FlipOpt::Plugin;

// A finished correlation of n random tracks (a Gram matrix, as real audio gives).
Flipsearch::Correlation::Algorithm::ptr_t random_correlation(std::size_t n)
{
    auto corr = std::make_shared<Flipsearch::Correlation::Algorithm>();
    corr->process_setup(n);
    std::mt19937 rng(1234 + static_cast<unsigned>(n));
    std::normal_distribution<double> dist;
    const std::size_t samples = 64;
    std::vector<double> x(n * samples);
    for (auto& v : x)
        v = dist(rng);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
        {
            double sum = 0.0;
            for (std::size_t t = 0; t < samples; ++t)
                sum += x[i * samples + t] * x[j * samples + t];
            corr->matrix[Flipsearch::Correlation::Algorithm::packedIndex(i, j)] = static_cast<float>(sum);
        }
    return corr;
}

const Plugin* find_search(const std::string& name)
{
    for (const Plugin* p : Factory<Plugin>::get_inst().plugins)
        if (p->name() == name)
            return p;
    return nullptr;
}

unsigned all_threads()
{
    return std::min(std::max(std::thread::hardware_concurrency(), 1u), 16u);
}

// The bound of the AVX kernel: per Gray step, 20 broadcast loads from the row of the changing
// track, each added to eight 8-lane vectors. No sign handling, no scan.
__attribute__((target("avx"))) float bare_gray_loop(const float (*rows)[20], std::uint64_t units)
{
    __m256 acc[8];
#pragma GCC unroll 8
    for (unsigned w = 0; w < 8; ++w)
        acc[w] = _mm256_setzero_ps();
    for (std::uint64_t u = 0; u < units; ++u)
    {
        for (std::uint32_t i = 1; i < 4096; ++i)
        {
            const float* row = rows[__builtin_ctz(i)];
#pragma GCC unroll 20
            for (unsigned t = 0; t < 20; ++t)
            {
                const __m256 b = _mm256_broadcast_ss(row + t);
#pragma GCC unroll 8
                for (unsigned w = 0; w < 8; ++w)
                {
                    acc[w] = _mm256_add_ps(acc[w], b);
                    // Term by term, as the kernel does: without this the compiler regroups the
                    // additions vector by vector and spills.
                    asm("" : "+x"(acc[w]));
                }
            }
        }
    }
    __m256 sum = acc[0];
#pragma GCC unroll 8
    for (unsigned w = 1; w < 8; ++w)
        sum = _mm256_add_ps(sum, acc[w]);
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, sum);
    return lanes[0];
}

// Candidates per second of the bare loop on `threads` threads at once (all threads together),
// best of three short runs: the limit a search run is compared with, measured right after it.
double bare_loop_rate(unsigned threads)
{
    float rows[12][20];
    for (unsigned k = 0; k < 12; ++k)
        for (unsigned t = 0; t < 20; ++t)
            rows[k][t] = (k == t ? 1e-7f : -1e-7f) * static_cast<float>(t + 1);
    const std::uint64_t units = 128;
    double best = 0.0;
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        std::vector<std::thread> workers;
        const auto start = std::chrono::steady_clock::now();
        for (unsigned t = 0; t < threads; ++t)
            workers.emplace_back([&rows] { benchmark::DoNotOptimize(bare_gray_loop(rows, units)); });
        for (auto& w : workers)
            w.join();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::max(best, threads * static_cast<double>(units) * 4096.0 * 64.0 / seconds);
    }
    return best;
}

void BM_Search(benchmark::State& state, const std::string& name, std::size_t n, unsigned threads)
{
    const Plugin* plugin = find_search(name);
    if (plugin == nullptr || !plugin->enabled())
    {
        state.SkipWithError((name + " is not available").c_str());
        return;
    }
    const auto corr = random_correlation(n);
    Flipsearch::FlipOpt::set_full_search_hardware_threads(threads);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
    {
        auto search = plugin->getInstance();
        search->setup(corr);
        search->process(corr, [](float) { return true; });
        benchmark::DoNotOptimize(search->polarities.data());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Flipsearch::FlipOpt::set_full_search_hardware_threads(0);
    const double candidates = static_cast<double>(std::uint64_t(1) << (n - 1));
    if (Flipsearch::cpu_has_avx())
        state.counters["x_limit"] =
            candidates * static_cast<double>(state.iterations()) / seconds / bare_loop_rate(threads);
    state.counters["cand/s"] =
        benchmark::Counter(candidates * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["threads"] = threads;
}

void BM_BareGrayLoop(benchmark::State& state)
{
    if (!Flipsearch::cpu_has_avx())
    {
        state.SkipWithError("no AVX");
        return;
    }
    float rows[12][20];
    for (unsigned k = 0; k < 12; ++k)
        for (unsigned t = 0; t < 20; ++t)
            rows[k][t] = (k == t ? 1e-7f : -1e-7f) * static_cast<float>(t + 1);
    const std::uint64_t units = 64;
    for (auto _ : state)
        benchmark::DoNotOptimize(bare_gray_loop(rows, units));
    const double candidates = static_cast<double>(units) * 4096.0 * 64.0;
    state.counters["cand/s"] =
        benchmark::Counter(candidates * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["threads"] = benchmark::Counter(state.threads(), benchmark::Counter::kAvgThreads);
}

// Keeps the best rate of every benchmark (over repetitions) and prints the summary at the end.
class SummaryReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
        {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const auto rate = run.counters.find("cand/s");
            const auto threads = run.counters.find("threads");
            if (rate == run.counters.end() || threads == run.counters.end())
                continue;
            const std::string key = run.benchmark_name();
            entry_t& e = best_[key];
            e.threads = static_cast<unsigned>(threads->second.value);
            if (rate->second.value > e.rate)
            {
                e.rate = rate->second.value;
                const auto ratio = run.counters.find("x_limit");
                e.ratio = ratio == run.counters.end() ? 0.0 : ratio->second.value;
            }
        }
    }

    void print_summary() const
    {
        const unsigned t = all_threads();
        std::printf(
            "\nSummary (best of the repetitions). limit: the bare loop of 20 broadcast additions into "
            "eight 8-lane vectors per Gray step, on as many threads, measured right after each run.\n");
        std::printf("  bare loop alone: %.3g cand/s on 1 thread, %.3g per thread on %u threads\n",
                    find("BM_BareGrayLoop", 1).rate, find("BM_BareGrayLoop", t).rate / t, t);
        for (const char* name : {"Full-AVX", "Full-SSE2", "Full-Gray2"})
        {
            for (int n : {24, 30})
            {
                const std::string base = std::string("BM_Search/") + name + "/" + std::to_string(n);
                const entry_t one = find(base + "/threads_1", 1);
                const entry_t all = find(base + "/threads_all", t);
                if (one.rate <= 0.0)
                    continue;
                const char* note = std::string(name) == "Full-Gray2" ? " (single-threaded search)"
                                   : n < 28 ? " (below 28 tracks the search runs as one share)"
                                            : "";
                // Scaling of the search against the scaling the bare loop itself reaches on this
                // machine at this moment (other load, clock limits).
                const double relative = one.ratio > 0.0 ? all.ratio / one.ratio : 0.0;
                std::printf("  %-10s n=%d: 1 thread %.3g cand/s (%.2f x limit); %u threads %.3g cand/s "
                            "(%.3g per thread, %.2f x limit); scaling %.2f, %.2f of the bare loop's%s\n",
                            name, n, one.rate, one.ratio, t, all.rate, all.rate / t, all.ratio,
                            all.rate / (t * one.rate), relative, note);
            }
        }
    }

private:
    struct entry_t
    {
        unsigned threads = 0;
        double rate = 0.0;
        double ratio = 0.0; // rate / bare-loop rate on as many threads, measured right after
    };

    entry_t find(const std::string& prefix, unsigned threads) const
    {
        for (const auto& [key, e] : best_)
            if (key.rfind(prefix, 0) == 0 && e.threads == threads)
                return e;
        return {};
    }

    std::map<std::string, entry_t> best_;
};
} // namespace

int main(int argc, char** argv)
{
    const unsigned t = all_threads();
    benchmark::RegisterBenchmark("BM_BareGrayLoop", BM_BareGrayLoop)->UseRealTime()->Threads(1)->Threads(t);
    for (const char* name : {"Full-AVX", "Full-SSE2", "Full-Gray2"})
    {
        for (std::size_t n : {24u, 30u})
        {
            const std::string base = std::string("BM_Search/") + name + "/" + std::to_string(n);
            benchmark::RegisterBenchmark((base + "/threads_1").c_str(), BM_Search, name, n, 1u)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((base + "/threads_all").c_str(), BM_Search, name, n, t)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_summary();
    benchmark::Shutdown();
    return 0;
}
