// Opening an instance's window: createEditorIfNeeded() on a send and on a master processor, timed
// from the editor's construction until both views are built and the role's view is shown. Closing
// the editor (editorBeingDeleted and deletion) is timed apart and not counted, and so is its first
// paint into an image, which a host does next. The reference, measured in the same run after each
// open, decodes the master view's background once; the editor decodes every image it uses afresh,
// as the plug-in does.

#include "editor/Fsum_Images.h"
#include "engine/FlipsumAudioProcessor.h"
#include "engine/GuiThreadExecutor.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

namespace
{
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Runs the message loop until the GUI-thread executor knows this thread, so that the editor's
// updates run at once, as they do in a host, instead of queueing up.
void learn_gui_thread()
{
    GuiThreadExecutor* const executor = GuiThreadExecutor::get_inst();
    while (!executor->is_gui_thread())
        juce::MessageManager::getInstance()->runDispatchLoopUntil(10);
}

// Seconds for one decode of the master view's background.
double decode_background_s()
{
    const auto start = clock_type::now();
    juce::Image image = fsumimg.load_image("bg_master.png");
    benchmark::DoNotOptimize(image);
    return seconds_since(start);
}

// state.range(0): 0 opens a stereo send's editor, 1 the master's. The session holds five sends.
void BM_OpenEditor(benchmark::State& state)
{
    const bool master = state.range(0) != 0;
    learn_gui_thread();
    std::vector<std::unique_ptr<FlipsumAudioProcessor>> procs;
    for (int i = 0; i < 6; ++i)
    {
        procs.push_back(std::make_unique<FlipsumAudioProcessor>());
        procs.back()->setPlayConfigDetails(2, 2, 48000.0, 512);
    }
    procs.back()->set_as_master();
    FlipsumAudioProcessor& proc = master ? *procs.back() : *procs.front();

    double open_s = 0.0, decode_s = 0.0, paint_s = 0.0, close_s = 0.0;
    for (auto _ : state)
    {
        const auto opening = clock_type::now();
        juce::AudioProcessorEditor* const editor = proc.createEditorIfNeeded();
        const double open = seconds_since(opening);
        state.SetIterationTime(open);
        open_s += open;

        const auto painting = clock_type::now();
        juce::Image shown = editor->createComponentSnapshot(editor->getLocalBounds());
        benchmark::DoNotOptimize(shown);
        paint_s += seconds_since(painting);

        const auto closing = clock_type::now();
        proc.editorBeingDeleted(editor);
        delete editor;
        close_s += seconds_since(closing);
        // Messages the editor posted (the knob's asynchronous update) are handled between opens.
        juce::MessageManager::getInstance()->runDispatchLoopUntil(1);

        // The reference, once per open, in the same conditions.
        decode_s += decode_background_s();
    }
    procs.clear();

    const double n = static_cast<double>(state.iterations());
    state.counters["open_ms"] = open_s * 1e3 / n;
    state.counters["decode_bg_ms"] = decode_s * 1e3 / n;
    state.counters["ratio_vs_decode"] = open_s / decode_s;
    state.counters["first_paint_ms"] = paint_s * 1e3 / n;
    state.counters["close_ms"] = close_s * 1e3 / n;
    state.counters["target_ms"] = 50.0;
}
BENCHMARK(BM_OpenEditor)->ArgName("master")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);
} // namespace
