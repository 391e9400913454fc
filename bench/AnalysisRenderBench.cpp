// An offline bounce with the analysis armed: three minutes of audio at 48 kHz in blocks of 512,
// delivered by two audio threads in lock-step host cycles as fast as they can, through 32 mono
// sends with the full search and 64 stereo sends (128 tracks) with the fast search. Reports how
// many times faster than real time the recording runs (the reference is the audio's own
// duration), the same render's speed against plain copies of the same blocks measured in the
// same run, and the time from the transport stop to the applied result.

#include "HandoverTestSupport.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <thread>

namespace
{
constexpr double rate = 48000.0;
constexpr int block = 512;
constexpr std::int64_t song_blocks = std::int64_t(180 * rate) / block;
constexpr int n_threads = 2;
constexpr int distinct_blocks = 16; // each instance cycles through this many blocks of noise

// Lock-step host cycles: spins briefly, then yields.
class SpinBarrier
{
public:
    explicit SpinBarrier(int n) : count(n) {}
    void arrive_and_wait()
    {
        const int gen = generation.load();
        if (waiting.fetch_add(1) + 1 == count)
        {
            waiting.store(0);
            generation.fetch_add(1);
            return;
        }
        for (int spins = 0; generation.load() == gen; ++spins)
            if (spins > 1000)
                std::this_thread::yield();
    }

private:
    const int count;
    std::atomic<int> waiting{0};
    std::atomic<int> generation{0};
};

void render(benchmark::State& state, int instances, int channels, FlipsumManager::algMode_t alg)
{
    std::vector<std::unique_ptr<FlipsumAudioProcessor>> procs;
    std::vector<std::vector<juce::AudioBuffer<float>>> audio{std::size_t(instances)};
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    for (int i = 0; i < instances; ++i)
    {
        procs.push_back(std::make_unique<FlipsumAudioProcessor>());
        auto& p = *procs.back();
        p.setPlayConfigDetails(channels, channels, rate, block);
        p.prepareToPlay(rate, block);
        p.setNonRealtime(true);
        for (int b = 0; b < distinct_blocks; ++b)
        {
            audio[std::size_t(i)].emplace_back(channels, block);
            for (int ch = 0; ch < channels; ++ch)
                for (int s = 0; s < block; ++s)
                    audio[std::size_t(i)].back().setSample(ch, s, noise(rng));
        }
    }
    auto mgr = FlipsumManager::get_inst();
    mgr->set_alg_mode_internal(alg);

    std::vector<FakePlayHead> heads(n_threads);
    for (std::size_t i = 0; i < procs.size(); ++i)
        procs[i]->setPlayHead(&heads[i % n_threads]);
    std::vector<juce::AudioBuffer<float>> work(procs.size(), juce::AudioBuffer<float>(channels, block));
    juce::MidiBuffer midi;

    // One pass over the song; copy_only replaces processBlock by a copy of the block (reference).
    const auto run = [&](bool copy_only)
    {
        SpinBarrier barrier(n_threads);
        std::vector<std::thread> threads;
        for (int k = 0; k < n_threads; ++k)
            threads.emplace_back(
                [&, k]
                {
                    juce::MidiBuffer m;
                    for (std::int64_t c = 0; c <= song_blocks; ++c)
                    {
                        heads[std::size_t(k)].playing = c < song_blocks;
                        heads[std::size_t(k)].time = c * block;
                        for (std::size_t i = std::size_t(k); i < procs.size(); i += n_threads)
                        {
                            const auto& src = audio[i][std::size_t(c % distinct_blocks)];
                            for (int ch = 0; ch < channels; ++ch)
                                work[i].copyFrom(ch, 0, src, ch, 0, block);
                            if (!copy_only)
                                procs[i]->processBlock(work[i], m);
                        }
                        barrier.arrive_and_wait();
                    }
                });
        for (auto& t : threads)
            t.join();
    };

    for (auto _ : state)
    {
        const std::size_t serial = mgr->last_job_outcome().serial;
        mgr->set_recording_armed_internal(true);
        const auto start = std::chrono::steady_clock::now();
        run(false);
        const auto stopped = std::chrono::steady_clock::now();
        FlipsumManager::job_outcome_t outcome;
        while ((outcome = mgr->last_job_outcome()).serial == serial)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto result = std::chrono::steady_clock::now();

        const auto copy_start = std::chrono::steady_clock::now();
        run(true);
        const double copy_s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - copy_start).count();

        const double render_s = std::chrono::duration<double>(stopped - start).count();
        state.counters["x_realtime"] = 180.0 / render_s;
        state.counters["ratio_vs_copy"] = render_s / copy_s;
        state.counters["stop_to_result_s"] = std::chrono::duration<double>(result - stopped).count();
        state.counters["tracks"] = double(outcome.tracks);
        state.SetLabel(outcome.end == FlipsumManager::job_end_t::done ? "applied" : "no result applied");
    }
    for (auto& p : procs)
        p->setPlayHead(nullptr);
    mgr.reset();
    procs.clear();
}

void BM_Render32MonoFull(benchmark::State& state)
{
    render(state, 32, 1, FlipsumManager::ALG_FULL);
}
void BM_Render64StereoFast(benchmark::State& state)
{
    render(state, 64, 2, FlipsumManager::ALG_FAST);
}
BENCHMARK(BM_Render32MonoFull)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Render64StereoFast)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
} // namespace
