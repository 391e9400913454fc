#pragma once

// Counts what a host hears of an instance's saved state: the audioProcessorChanged calls that say
// the state beside the parameters changed (a VST3 setDirty or an LV2 state:StateChanged on the
// host's side). The instance may call from any thread; the count is read on the test's thread.

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>

namespace test_support
{
class StateNotices : private juce::AudioProcessorListener
{
public:
    explicit StateNotices(juce::AudioProcessor& processor) : processor_(processor)
    {
        processor_.addListener(this);
    }
    ~StateNotices() override { processor_.removeListener(this); }
    StateNotices(const StateNotices&) = delete;
    StateNotices& operator=(const StateNotices&) = delete;

    int count() const noexcept { return count_.load(); }

private:
    void audioProcessorParameterChanged(juce::AudioProcessor*, int, float) override {}
    void audioProcessorChanged(juce::AudioProcessor*, const ChangeDetails& details) override
    {
        if (details.nonParameterStateChanged)
            ++count_;
    }

    juce::AudioProcessor& processor_;
    std::atomic<int> count_{0};
};
} // namespace test_support
