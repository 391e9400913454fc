// What logging costs the audio thread when the level is off: a guard plus an argument statement
// at a level above the configured one, against an out-of-line empty call measured in the same run.

#include "engine/Logger.h"

#include <benchmark/benchmark.h>

#include <chrono>

namespace
{
class Subject
{
public:
    __attribute__((noinline)) void reference(bool yes, int n)
    {
        benchmark::DoNotOptimize(this);
        benchmark::DoNotOptimize(yes);
        benchmark::DoNotOptimize(n);
    }

    __attribute__((noinline)) void logged(bool yes, int n)
    {
        FSUM_LOG_GUARD(3);
        FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes << ", n=" << n;
        benchmark::DoNotOptimize(this);
    }
};

template <class Fn>
double ns_per_call(Fn fn, long iterations)
{
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations; ++i)
        fn(i);
    const auto ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    return ns / static_cast<double>(iterations);
}

void BM_SuppressedGuardAndArguments(benchmark::State& state)
{
    logger::manager::dynamic_loglevel = 0;
    Subject subject;
    constexpr long REFERENCE_CALLS = 2000000;
    const double reference_ns =
        ns_per_call([&](long i) { subject.reference((i & 1) != 0, static_cast<int>(i)); }, REFERENCE_CALLS);

    long calls = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
    {
        subject.logged((calls & 1) != 0, static_cast<int>(calls));
        ++calls;
    }
    const double logged_ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(calls > 0 ? calls : 1);

    state.counters["logged_ns"] = logged_ns;
    state.counters["reference_ns"] = reference_ns;
    state.counters["ratio"] = reference_ns > 0.0 ? logged_ns / reference_ns : 0.0;
    state.counters["target_ns"] = 50.0;
}
BENCHMARK(BM_SuppressedGuardAndArguments)->MinTime(0.5);
} // namespace
