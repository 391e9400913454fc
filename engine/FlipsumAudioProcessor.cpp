#include "engine/FlipsumAudioProcessor.h"

#include "engine/Logger.h"
#include "engine/ThreadRules.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <thread>

namespace
{
// Samples of scratch space at least, so that the recording path never needs more memory: blocks
// longer than the scratch space are recorded in pieces.
constexpr std::size_t min_scratch_samples = 4096;
// ... and at most, whatever block size the host announces.
constexpr std::size_t max_scratch_samples = 131072;

// How often the message thread looks for a host bypass change reported by the audio thread and for
// a change of any instance's saved state to tell the host.
constexpr int bypass_poll_ms = 200;

constexpr double stopped_deadline = std::numeric_limits<double>::max();

// Timeline positions are kept within +-2^62 samples (some 3 million years at 48 kHz), so that a
// host reporting a position near the ends of the 64-bit range cannot make the position arithmetic
// (block ends, unit ends) overflow.
constexpr std::int64_t max_timeline = std::int64_t{1} << 62;

std::int64_t on_timeline(const std::int64_t t)
{
    return std::clamp(t, -max_timeline, max_timeline);
}

// Audio thread: copies n samples into a record buffer; a sample that is not a number or infinite
// (one would make the whole correlation meaningless) is recorded as silence. Returns how many there
// were. Works on the bits, so that the loop vectorises like a copy.
std::size_t copy_finite(float* const dst, const float* const src, const int n) noexcept
{
    std::size_t bad = 0;
    for (int i = 0; i < n; ++i)
    {
        std::uint32_t bits;
        std::memcpy(&bits, src + i, sizeof bits);
        const bool not_finite = (bits & 0x7F800000u) == 0x7F800000u; // every exponent bit set
        bad += not_finite;
        bits = not_finite ? 0u : bits;
        std::memcpy(dst + i, &bits, sizeof bits);
    }
    return bad;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Low shelf

void FlipsumAudioProcessor::lowshelf_state_t::set_lowboost(const int rate)
{
    *this = lowshelf_state_t{};
    const double w0 = 628.3185307179587 / rate;
    if (!(w0 < 3.141592653589793))
    {
        // At 200 Hz or less the corner lies at or above the Nyquist frequency, where these
        // coefficients make an unstable filter whose output grows without bound: the analysed copy
        // passes unchanged instead.
        b0 = 1.0;
        return;
    }
    const double c = std::cos(w0);
    const double s = std::sin(w0) * 1.7782794100389228;
    const double P = 4.16227766016838 + 2.1622776601683795 * c;
    const double M = 4.16227766016838 - 2.1622776601683795 * c;
    const double a0 = P + s;
    const double inv = 1.0 / a0;
    const double d = a0 * inv;
    b0 = ((M + s) * 3.1622776601683795 * inv) / d;
    b1 = ((13.675444679663244 - 26.324555320336763 * c) * inv) / d;
    b2 = ((M - s) * 3.1622776601683795 * inv) / d;
    a1 = ((-4.324555320336759 - 8.32455532033676 * c) * inv) / d;
    a2 = ((P - s) * inv) / d;
}

float FlipsumAudioProcessor::lowshelf_state_t::process(const float sample)
{
    xi = (xi + 2) % 3;
    // A sample that is not a number (or an infinite one) would stay in the filter's history and
    // spoil every later output of the play: it enters as silence.
    x[xi] = std::isfinite(sample) ? sample : 0.0f;
    double out = b1 * x[(xi + 1) % 3] + b0 * x[xi] + b2 * x[(xi + 2) % 3] - a1 * y[yi] - a2 * y[yi ^ 1];
    // After a sound the poles ring down into subnormal numbers and, with silence at the input, stay
    // there for good; arithmetic on them is many times slower. A subnormal output becomes zero (it
    // is zero as a float anyway), so the history settles at exactly zero.
    if (std::abs(out) < std::numeric_limits<double>::min())
        out = std::copysign(0.0, out);
    yi ^= 1;
    y[yi] = out;
    return static_cast<float>(out);
}

// ---------------------------------------------------------------------------------------------
// Lifetime

FlipsumAudioProcessor::FlipsumAudioProcessor()
    : juce::AudioProcessor(BusesProperties()
                               .withInput("Input", juce::AudioChannelSet::stereo(), true)
                               .withOutput("Output", juce::AudioChannelSet::stereo(), true))
{
    FSUM_LOG_GUARD(1);
    FSUM_LOG(2) << "Args: this=0x" << logger::hex(this);
    for (auto& p : polarity)
        p.store(1.0f);
    scratch.assign(min_scratch_samples, 0.0f);

    auto mgr = FlipsumManager::get_inst();
    FlipsumManager& manager = *mgr;
    hnd = manager.reg_internal(mgr, this);
    state_changes_told = manager.state_change_count();
    manager.update_slave_cnt_internal();
    // A host may start the transport as soon as the instance exists.
    manager.await_record_buffers();
    startTimer(bypass_poll_ms);
}

FlipsumAudioProcessor::~FlipsumAudioProcessor()
{
    FSUM_LOG_GUARD(1);
    FSUM_LOG(2) << "Args: this=0x" << logger::hex(this);
    stopTimer();
    FlipsumManager& manager = *hnd->mgr;
    manager.unreg_internal(hnd); // may destroy the manager
    hnd = nullptr;
    dbglog_curtime();
    std::cout << " --- Plugin instance destroyed" << std::endl;
}

// ---------------------------------------------------------------------------------------------
// Ownership of the recording between the audio thread, the watchdog and the message thread

FlipsumAudioProcessor::recording_claim_t::recording_claim_t(std::atomic<int>& owner, const int who) noexcept
    : owner_(owner)
{
    int expected = OWNER_NONE;
    held_ =
        owner_.compare_exchange_strong(expected, who, std::memory_order_acquire, std::memory_order_relaxed);
}

FlipsumAudioProcessor::recording_claim_t::recording_claim_t(std::atomic<int>& owner, const int who,
                                                            wait_t) noexcept
    : owner_(owner), held_(true)
{
    int expected = OWNER_NONE;
    while (!owner_.compare_exchange_weak(expected, who, std::memory_order_acquire, std::memory_order_relaxed))
    {
        expected = OWNER_NONE;
        std::this_thread::yield();
    }
}

FlipsumAudioProcessor::recording_claim_t::~recording_claim_t()
{
    if (held_)
        owner_.store(OWNER_NONE, std::memory_order_release);
}

void FlipsumAudioProcessor::prepareToPlay(double sampleRate, int samplesPerBlock)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", sampleRate=" << sampleRate
                << ", samplesPerBlock=" << samplesPerBlock;
    // Made before the recording is taken: an allocation that fails must not leave it taken.
    const std::size_t wanted = std::clamp<std::size_t>(
        2 * static_cast<std::size_t>(std::max(samplesPerBlock, 0)), min_scratch_samples, max_scratch_samples);
    std::vector<float> grown;
    if (scratch.size() < wanted)
        grown.assign(wanted, 0.0f);

    const recording_claim_t claim(rec_owner, OWNER_MESSAGE, recording_claim_t::wait_t{});
    if (wasPlayingLastBlock.load(std::memory_order_relaxed))
    {
        // A recording still open is closed properly rather than forgotten.
        playEnd();
        position = 0;
        hnd->watchdog_deadline.store(stopped_deadline, std::memory_order_relaxed);
    }
    wasPlayingLastBlock.store(false, std::memory_order_relaxed);
    if (sampleRate >= 1.0 && sampleRate < 1e7)
        sample_rate = static_cast<int>(sampleRate);
    if (!grown.empty())
        scratch.swap(grown);
}

void FlipsumAudioProcessor::releaseResources()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    const recording_claim_t claim(rec_owner, OWNER_MESSAGE, recording_claim_t::wait_t{});
    if (wasPlayingLastBlock.load(std::memory_order_relaxed))
    {
        playEnd();
        hnd->watchdog_deadline.store(stopped_deadline, std::memory_order_relaxed);
    }
    wasPlayingLastBlock.store(false, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// Audio path (audio thread)

void FlipsumAudioProcessor::processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this);
    if (host_bypassed.load(std::memory_order_relaxed) && host_bypassed.exchange(false))
        bypass_update_pending.store(true);

    const transport_t transport = read_transport(buffer.getNumSamples());
    const bool isPlaying = transport.playing;
    const std::int64_t timeInSamples = transport.time;

    const recording_claim_t claim(rec_owner, OWNER_AUDIO);
    block_owns_recording = claim.held();
    if (!block_owns_recording)
    {
        // The watchdog is ending this instance's stream right now: the audio flows on unrecorded,
        // and the next block sees the transport state that the watchdog left.
        FSUM_LOG(8) << "isPlaying=" << isPlaying << " (recording held elsewhere), " << timeInSamples;
        if (isPlaying)
            playProcess(buffer, midi);
        else
            clear_extra_outputs(buffer);
        return;
    }

    const bool wasPlaying = wasPlayingLastBlock.load(std::memory_order_relaxed);
    FSUM_LOG(8) << "isPlaying=" << isPlaying << " (wasPlayingLastBlock=" << wasPlaying << "), "
                << timeInSamples;

    if (isPlaying && !wasPlaying)
    {
        position = std::max<std::int64_t>(timeInSamples, 0);
        playStart();
    }

    if (!isPlaying)
    {
        clear_extra_outputs(buffer);
    }
    else
    {
        position = std::max(position, timeInSamples);
        playProcess(buffer, midi);
        position = on_timeline(position + buffer.getNumSamples());
        hnd->watchdog_deadline.store(hnd->mgr->seconds() + FlipsumManager::watchdog_seconds,
                                     std::memory_order_relaxed);
    }

    if (!isPlaying && wasPlaying)
    {
        playEnd();
        position = 0;
        hnd->watchdog_deadline.store(stopped_deadline, std::memory_order_relaxed);
    }
    wasPlayingLastBlock.store(isPlaying, std::memory_order_relaxed);
    block_owns_recording = false;
}

void FlipsumAudioProcessor::processBlockBypassed(juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this);
    if (!host_bypassed.exchange(true))
        bypass_update_pending.store(true);
    // The transport is followed as in processBlock (a host that sends positions only on change may
    // send one now and none when the bypass ends), but nothing is recorded and the audio is left
    // alone: a stop ends the open play at once, and a start waits for the first block processed
    // again, which then opens the play where the transport has got to.
    const transport_t transport = read_transport(buffer.getNumSamples());
    const recording_claim_t claim(rec_owner, OWNER_AUDIO);
    if (!claim.held())
        return; // the watchdog is ending the play; the next block sees what it left
    const bool wasPlaying = wasPlayingLastBlock.load(std::memory_order_relaxed);
    if (wasPlaying && transport.playing)
    {
        position = on_timeline(std::max(position, transport.time) + buffer.getNumSamples());
    }
    else if (wasPlaying)
    {
        playEnd();
        position = 0;
        hnd->watchdog_deadline.store(stopped_deadline, std::memory_order_relaxed);
        wasPlayingLastBlock.store(false, std::memory_order_relaxed);
    }
}

FlipsumAudioProcessor::transport_t FlipsumAudioProcessor::read_transport(const int num_samples)
{
    bool playing = false;
    bool has_position = false;
    std::int64_t time = 0;
    if (auto* head = getPlayHead())
    {
        if (const auto pos = head->getPosition())
        {
            if (const auto samples = pos->getTimeInSamples())
            {
                has_position = true;
                playing = pos->getIsPlaying();
                time = *samples;
            }
        }
    }
    if (!has_position && transport_rolls_without_position && last_block_played)
    {
        // The transport rolls on from where the last block ended.
        playing = true;
        time = last_block_end;
    }
    time = on_timeline(time);
    last_block_played = playing;
    last_block_end = time + num_samples;
    return {playing, time};
}

void FlipsumAudioProcessor::timerCallback()
{
    FSUM_ASSERT_MESSAGE_THREAD();
    if (bypass_update_pending.exchange(false))
        bypassStateChanged();
    const std::uint64_t changes = hnd->mgr->state_change_count();
    if (changes != state_changes_told)
    {
        state_changes_told = changes;
        updateHostDisplay(ChangeDetails{}.withNonParameterStateChanged(true));
    }
}

void FlipsumAudioProcessor::bypassStateChanged()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    hnd->mgr->update_slave_cnt_internal();
}

void FlipsumAudioProcessor::clear_extra_outputs(juce::AudioBuffer<float>& buffer) const
{
    const int last = std::min(getTotalNumOutputChannels(), buffer.getNumChannels());
    for (int ch = getTotalNumInputChannels(); ch < last; ++ch)
        buffer.clear(ch, 0, buffer.getNumSamples());
}

void FlipsumAudioProcessor::playStart()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    for (auto& held : rec_buf)
    {
        held.bufnum = 0;
        if (held.buf != nullptr)
        {
            // A buffer kept from a play whose last unit could not be handed over: it serves again.
            std::memset(held.buf, 0, FlipsumManager::unit_samples * sizeof(float));
            held.bufnum = static_cast<std::size_t>(position) >> FlipsumManager::unit_shift;
        }
    }
    recording_active = false;

    if (mode.load() == ROLE_SEND)
    {
        const FlipsumManager::slave_channel_mode_t channel_mode =
            force_record_mono.load() ? 2 : (getTotalNumInputChannels() == 1 ? 0 : 1);
        rec_channel_mode = channel_mode;
        second_silent = second_copy = channel_mode == 1;
        recording_active = FlipsumManager::slave_start_rec(hnd, channel_mode, may_wait_for_gather());
    }

    if (!recording_active)
        return;
    FSUM_LOG(4) << "Recording active=" << true << " [this=0x" << logger::hex(this) << "]";
    const FlipsumManager::filterMode_t filter = FlipsumManager::get_filter_mode();
    filter_on = filter != FlipsumManager::FILT_OFF;
    if (filter_on)
    {
        lowshelf[0] = lowshelf_state_t{};
        if (filter == FlipsumManager::FILT_LOWBOOST)
            lowshelf[0].set_lowboost(sample_rate);
        lowshelf[1] = lowshelf[0];
    }
    note_playback_event(true);
}

void FlipsumAudioProcessor::playProcess(juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this);
    juce::ignoreUnused(midi);
    apply_gain_record_polarity(buffer, block_owns_recording && recording_active);
    clear_extra_outputs(buffer);
    if (has_open_editor())
        merge_peak(buffer);
}

void FlipsumAudioProcessor::apply_gain_record_polarity(juce::AudioBuffer<float>& buffer, const bool record)
{
    const float g = std::pow(10.0f, gain.load(std::memory_order_relaxed) * 0.05f);
    const bool bypass = FlipsumManager::get_bypass_all();
    const bool skip_polarity = bypass && mode.load() != ROLE_OFF;
    const int n = buffer.getNumSamples();
    const int channels = std::min({getTotalNumInputChannels(), buffer.getNumChannels(), 2});

    // Before channel 0 gets its gain and polarity in place.
    if (record && rec_channel_mode == 1)
    {
        if (channels >= 2)
            follow_second_channel(buffer.getReadPointer(0), buffer.getReadPointer(1), n);
        else
            second_copy = false; // channel 1 records nothing here while channel 0 does
    }

    for (int ch = 0; ch < channels; ++ch)
    {
        float* data = buffer.getWritePointer(ch);
        const float pol =
            skip_polarity ? 1.0f : polarity[static_cast<std::size_t>(ch)].load(std::memory_order_relaxed);
        const bool record_this = record && (ch == 0 || rec_channel_mode == 1);
        if (!record_this)
        {
            // pol is +1 or -1, so one multiply by g * pol equals the two multiplies exactly.
            if (g * pol != 1.0f)
                juce::FloatVectorOperations::multiply(data, g * pol, n);
            continue;
        }

        if (g != 1.0f)
            juce::FloatVectorOperations::multiply(data, g, n);

        const bool sum = rec_channel_mode == 2 && ch == 0 && channels >= 2;
        if (!sum && !filter_on)
        {
            record_samples(0 + static_cast<std::size_t>(ch), data, n, position);
        }
        else
        {
            // The forced-mono sum uses channel 1 after the gain, which it has not had yet.
            const float* right = sum ? buffer.getReadPointer(1) : nullptr;
            float* out = scratch.data();
            const int piece = static_cast<int>(scratch.size());
            auto& shelf = lowshelf[static_cast<std::size_t>(ch)];
            for (int done = 0; done < n; done += piece)
            {
                const int k = std::min(piece, n - done);
                const float* in = data + done;
                if (sum)
                {
                    for (int i = 0; i < k; ++i)
                        out[i] = in[i] + right[done + i] * g;
                    in = out;
                }
                if (filter_on)
                    for (int i = 0; i < k; ++i)
                        out[i] = shelf.process(in[i]);
                record_samples(static_cast<std::size_t>(ch), out, k, position + done);
            }
        }

        if (pol != 1.0f)
            juce::FloatVectorOperations::multiply(data, pol, n);
    }
}

void FlipsumAudioProcessor::follow_second_channel(const float* first, const float* second,
                                                  const int n) noexcept
{
    // Compared as values: a zero of either sign is silence, and a sample that is not a number
    // equals nothing, so such a channel stays a track of its own.
    for (int i = 0; i < n && second_silent; ++i)
        second_silent = second[i] == 0.0f;
    for (int i = 0; i < n && second_copy; ++i)
        second_copy = second[i] == first[i];
}

void FlipsumAudioProcessor::record_samples(const std::size_t ch, const float* src, const int n,
                                           std::int64_t p)
{
    FSUM_ASSERT(rec_owner.load(std::memory_order_relaxed) != OWNER_NONE,
                "the recording is held by the caller");
    rec_buf_t& held = rec_buf[ch];
    int done = 0;
    while (done < n)
    {
        if (held.buf == nullptr)
        {
            held.buf = FlipsumManager::slave_get_buffer(hnd, may_wait_for_gather());
            held.bufnum = static_cast<std::size_t>(p) >> FlipsumManager::unit_shift;
            if (held.buf == nullptr)
                return; // the rest of the block is not recorded; the next block asks again
        }

        const std::int64_t unit_start = static_cast<std::int64_t>(held.bufnum) << FlipsumManager::unit_shift;
        const std::int64_t unit_end = unit_start + static_cast<std::int64_t>(FlipsumManager::unit_samples);
        if (p >= unit_end)
        {
            if (FlipsumManager::slave_submit_buffer(hnd, ch, held.buf, held.bufnum, may_wait_for_gather()))
            {
                held.buf = nullptr;
                continue;
            }
            // The gather thread is behind: this unit is lost for the channel, and the buffer
            // serves the unit the recording has reached.
            FSUM_LOG(6) << "Recording gap: unit #" << held.bufnum << " of [this=0x" << logger::hex(this)
                        << ",ch=" << ch << "] dropped";
            std::memset(held.buf, 0, FlipsumManager::unit_samples * sizeof(float));
            held.bufnum = static_cast<std::size_t>(p) >> FlipsumManager::unit_shift;
            continue;
        }
        if (p < unit_start)
        {
            // Cannot happen while the position only grows; skip rather than write before the buffer.
            const int skip = static_cast<int>(std::min<std::int64_t>(unit_start - p, n - done));
            done += skip;
            p += skip;
            continue;
        }

        const int k = static_cast<int>(std::min<std::int64_t>(n - done, unit_end - p));
        FSUM_ASSERT(FlipsumManager::owns_buffer(*hnd, held.buf),
                    "the record buffer is one the instance holds");
        if (const std::size_t bad = copy_finite(held.buf + (p - unit_start), src + done, k))
            FSUM_LOG(6) << "Recording: " << bad
                        << " samples not a number or infinite taken as silence [this=0x" << logger::hex(this)
                        << ",ch=" << ch << "]";
        p += k;
        done += k;
    }
}

void FlipsumAudioProcessor::merge_peak(const juce::AudioBuffer<float>& buffer)
{
    float block_peak = 0.0f;
    const int n = buffer.getNumSamples();
    const int channels = std::min({getTotalNumInputChannels(), buffer.getNumChannels(), 2});
    for (int ch = 0; ch < channels && n > 0; ++ch)
    {
        const auto range = juce::FloatVectorOperations::findMinAndMax(buffer.getReadPointer(ch), n);
        block_peak = std::max({block_peak, std::abs(range.getStart()), std::abs(range.getEnd())});
    }
    float current = peak.load();
    while (block_peak > current && !peak.compare_exchange_weak(current, block_peak))
    {
    }
}

void FlipsumAudioProcessor::playEnd()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    if (recording_active)
    {
        for (std::size_t ch = 0; ch < rec_buf.size(); ++ch)
        {
            rec_buf_t& held = rec_buf[ch];
            // A channel this play does not record may still hold a buffer kept from an earlier
            // play: it belongs to no open stream, so it stays held for a later one.
            if (held.buf == nullptr || (ch == 1 && rec_channel_mode != 1))
                continue;
            // A buffer that cannot be handed over stays held and is reused by the next play.
            if (FlipsumManager::slave_submit_buffer(hnd, ch, held.buf, held.bufnum, may_wait_for_gather()))
            {
                held.buf = nullptr;
                held.bufnum = 0;
            }
        }
        using second_channel_t = FlipsumManager::second_channel_t;
        FlipsumManager::slave_end_rec(hnd, second_silent ? second_channel_t::silent
                                           : second_copy ? second_channel_t::copy
                                                         : second_channel_t::own);
    }
    filter_on = false;
    recording_active = false;
    peak.store(0.0f);
    note_playback_event(false);
}

void FlipsumAudioProcessor::note_playback_event(const bool started_recording) noexcept
{
    // One writer at a time (whoever holds the recording); the editor's timer reads. The transport
    // state that the event reports (playing after a start of recording, stopped after a stop) is
    // stored before the event is published: whoever reads the event first and the state next sees
    // that state or a newer one.
    wasPlayingLastBlock.store(started_recording, std::memory_order_relaxed);
    const std::uint32_t count = (playback_events.load(std::memory_order_relaxed) >> 1) + 1;
    playback_events.store((count << 1) | (started_recording ? 1u : 0u), std::memory_order_release);
}

void FlipsumAudioProcessor::manager_watchdog_callback()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    const recording_claim_t claim(rec_owner, OWNER_WATCHDOG);
    if (!claim.held())
    {
        FSUM_LOG(6) << "Watchdog skipped: [this=0x" << logger::hex(this) << "] is being processed";
        return;
    }
    // The audio thread may have played a block, or begun to wait, after the walk looked.
    if (!hnd->mgr->watchdog_due(*hnd, hnd->mgr->seconds()))
        return;
    playEnd();
    position = 0;
    wasPlayingLastBlock.store(false, std::memory_order_relaxed);
    hnd->watchdog_deadline.store(stopped_deadline, std::memory_order_relaxed);
}
