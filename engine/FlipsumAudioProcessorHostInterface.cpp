// What an instance tells the host: its name, channel names, MIDI and tail properties, its editor,
// its (empty) parameter and program lists, the factory the format wrappers call, and the state blob
// in which the host saves the instance's settings and the manager's.

#include "engine/FlipsumAudioProcessor.h"

#include "editor/FlipsumAudioProcessorEditor.h"
#include "engine/Logger.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

namespace
{
// A flag set for the life of one scope.
class flag_scope_t
{
public:
    explicit flag_scope_t(std::atomic<bool>& flag) noexcept : flag_(flag) { flag_.store(true); }
    ~flag_scope_t() { flag_.store(false); }
    flag_scope_t(const flag_scope_t&) = delete;
    flag_scope_t& operator=(const flag_scope_t&) = delete;

private:
    std::atomic<bool>& flag_;
};
} // namespace

// ---------------------------------------------------------------------------------------------
// Host-facing properties

const juce::String FlipsumAudioProcessor::getName() const
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    return "Signflux";
}

const juce::String FlipsumAudioProcessor::getInputChannelName(int index) const
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", index=" << index;
    return juce::String(static_cast<juce::int64>(index) + 1);
}

const juce::String FlipsumAudioProcessor::getOutputChannelName(int index) const
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", index=" << index;
    return juce::String(static_cast<juce::int64>(index) + 1);
}

bool FlipsumAudioProcessor::isInputChannelStereoPair(int) const
{
    return true;
}

bool FlipsumAudioProcessor::isOutputChannelStereoPair(int) const
{
    return true;
}

bool FlipsumAudioProcessor::silenceInProducesSilenceOut() const
{
    return false;
}

double FlipsumAudioProcessor::getTailLengthSeconds() const
{
    return 0.0;
}

bool FlipsumAudioProcessor::acceptsMidi() const
{
    return false;
}

bool FlipsumAudioProcessor::producesMidi() const
{
    return false;
}

juce::AudioProcessorEditor* FlipsumAudioProcessor::createEditor()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    return new FlipsumAudioProcessorEditor(this);
}

bool FlipsumAudioProcessor::hasEditor() const
{
    return true;
}

// ---------------------------------------------------------------------------------------------
// State blob: version, manager chunk, role, two polarity bytes, gain code (16-bit little-endian),
// forced-mono flag.

void FlipsumAudioProcessor::getStateInformation(juce::MemoryBlock& destData)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    std::uint8_t blob[state_blob_size] = {};
    blob[0] = state_blob_version;
    FSUM_LOG(6) << "ver=" << static_cast<unsigned>(blob[0]);
    std::uint8_t* p = hnd->mgr->getStateInformation_internal(blob + 1);

    *p = static_cast<std::uint8_t>(mode.load());
    FSUM_LOG(6) << "mode=" << static_cast<unsigned>(*p);
    ++p;
    for (std::size_t ch = 0; ch < polarity.size(); ++ch)
    {
        *p = polarity[ch].load() >= 0.0f ? 1 : 0;
        FSUM_LOG(6) << "polarity[" << ch << "]=" << static_cast<unsigned>(*p);
        ++p;
    }

    // Rounded to the nearest 0.1 dB step, so that every setting of the knob comes back as it was.
    const float scaled = (gain.load() + 20.0f) * 10.0f;
    const long code = std::clamp(std::lround(scaled), 0L, 400L);
    FSUM_LOG(6) << "gain=" << code;
    *p = static_cast<std::uint8_t>(code & 0xFF);
    FSUM_LOG(6) << "gain_lo=" << static_cast<unsigned>(*p);
    ++p;
    *p = static_cast<std::uint8_t>((code >> 8) & 0xFF);
    FSUM_LOG(6) << "gain_hi=" << static_cast<unsigned>(*p);
    ++p;
    *p = force_record_mono.load() ? 1 : 0;
    FSUM_LOG(6) << "force_record_mono=" << static_cast<unsigned>(*p);

    destData.append(blob, state_blob_size);
}

void FlipsumAudioProcessor::setStateInformation(const void* data, int sizeInBytes)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", data=..., sizeInBytes=" << sizeInBytes;
    if (data == nullptr || sizeInBytes < 1)
        return;
    // The host knows what it restores: the values set here are not news to it.
    const flag_scope_t restoring(restoring_state);

    const auto* p = static_cast<const std::uint8_t*>(data);
    const std::uint8_t* const end = p + sizeInBytes;
    const unsigned version = *p++;
    FSUM_LOG(6) << "ver=" << version;
    if (version == 0)
    {
        set_gain(0.0f);
        set_force_record_mono(false);
        return;
    }

    p = hnd->mgr->setStateInformation_internal(p, static_cast<std::size_t>(end - p));

    if (p >= end)
        return;
    const unsigned role = *p++;
    FSUM_LOG(6) << "mode=" << role;
    if (role == ROLE_OFF)
        set_not_master(false);
    else if (role == ROLE_SEND)
        set_not_master(true);
    else if (role == ROLE_MASTER)
        set_as_master();

    for (std::size_t ch = 0; ch < polarity.size(); ++ch)
    {
        if (p >= end)
            return;
        const unsigned byte = *p++;
        FSUM_LOG(6) << "polarity[" << ch << "]=" << byte;
        set_polarity(ch, byte == 0 ? -1 : 1);
    }

    if (version == 1)
    {
        set_gain(0.0f);
        set_force_record_mono(false);
        return;
    }

    if (p >= end)
        return;
    const unsigned lo = *p++;
    FSUM_LOG(6) << "gain_lo=" << lo;
    if (p >= end)
        return;
    const unsigned hi = *p++;
    FSUM_LOG(6) << "gain_hi=" << hi;
    const unsigned code = hi * 256 + lo;
    FSUM_LOG(6) << "gain=" << code;
    set_gain(static_cast<float>(code) * 0.1f + (-20.0f));

    if (version == 2)
    {
        set_force_record_mono(false);
        return;
    }

    if (p >= end)
        return;
    const unsigned mono = *p++;
    FSUM_LOG(6) << "force_record_mono=" << mono;
    set_force_record_mono(mono == 1);
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new FlipsumAudioProcessor();
}
