// The main function of the benchmarks that link the plug-in's shared code: JUCE is initialised
// (no display needed) for the whole run, as a host would have it.

#include <juce_events/juce_events.h>

#include <benchmark/benchmark.h>

int main(int argc, char** argv)
{
    const juce::ScopedJuceInitialiser_GUI juce;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
