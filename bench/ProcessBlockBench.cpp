// processBlock of 64 stereo instances at 48 kHz with recording armed, against a plain memcpy of the
// same audio. To measure the audio path alone, the instances are taken away from the manager's
// gather thread, and a stand-in on a thread of its own offers and takes back the record buffers,
// passing over the instances every millisecond and neither copying nor zeroing them.

#include "HandoverTestSupport.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <thread>

namespace
{
constexpr int n_instances = 64;

void BM_ProcessBlock64Instances(benchmark::State& state)
{
    const int block = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<FlipsumAudioProcessor>> procs;
    std::vector<std::unique_ptr<GatherDetach>> detached;
    FakePlayHead head;
    head.playing = true;
    std::vector<juce::AudioBuffer<float>> audio;
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    for (int i = 0; i < n_instances; ++i)
    {
        procs.push_back(std::make_unique<FlipsumAudioProcessor>());
        procs.back()->setPlayHead(&head);
        procs.back()->prepareToPlay(48000.0, block);
        procs.back()->set_polarity(1, -1);
        detached.push_back(std::make_unique<GatherDetach>(*procs.back()));
        audio.emplace_back(2, block);
        for (int ch = 0; ch < 2; ++ch)
            for (int s = 0; s < block; ++s)
                audio.back().setSample(ch, s, noise(rng));
    }
    procs[0]->handle()->mgr->set_recording_armed_internal(true);

    std::atomic<bool> done{false};
    std::thread gather(
        [&]
        {
            FakeGather g(n_instances * 8, false, false);
            while (!done.load(std::memory_order_relaxed))
            {
                for (auto& p : procs)
                    g.pump(*p->handle());
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(1)); // woken about as often as the real one
            }
        });

    juce::MidiBuffer midi;
    const auto plugin_start = std::chrono::steady_clock::now();
    for (auto _ : state)
    {
        for (int i = 0; i < n_instances; ++i)
            procs[std::size_t(i)]->processBlock(audio[std::size_t(i)], midi);
        head.time += block;
    }
    const double plugin_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - plugin_start).count();

    // The reference, measured in the same run: the same number of blocks copied with memcpy.
    std::vector<juce::AudioBuffer<float>> copies(audio.size(), juce::AudioBuffer<float>(2, block));
    const auto start = std::chrono::steady_clock::now();
    for (benchmark::IterationCount it = 0; it < state.iterations(); ++it)
    {
        for (std::size_t i = 0; i < audio.size(); ++i)
            for (int ch = 0; ch < 2; ++ch)
                std::memcpy(copies[i].getWritePointer(ch), audio[i].getReadPointer(ch),
                            sizeof(float) * std::size_t(block));
        benchmark::ClobberMemory();
    }
    const double memcpy_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    done.store(true);
    gather.join();
    for (auto& p : procs)
        p->releaseResources();
    detached.clear();
    procs.clear();

    const double iterations = static_cast<double>(state.iterations());
    state.counters["memcpy_us"] = memcpy_s * 1e6 / iterations;
    state.counters["ratio_vs_memcpy"] = plugin_s / memcpy_s;
    state.counters["x_realtime"] = iterations * block / 48000.0 / plugin_s;
}
BENCHMARK(BM_ProcessBlock64Instances)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond)->UseRealTime();
} // namespace
