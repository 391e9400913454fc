// The audio path and the recording of FlipsumAudioProcessor, with the gather side run by hand.

#include "HandoverTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numeric>
#include <thread>

namespace
{
using P = FlipsumAudioProcessor;
using M = FlipsumManager;

using test_audio::signal;

struct Recording : ::testing::Test
{
    std::unique_ptr<P> proc = std::make_unique<P>();
    M::slave_hnd_t hnd = proc->handle();
    GatherDetach detached{*proc};
    FakePlayHead head;
    FakeGather gather{16};
    std::vector<Taken> taken;
    juce::MidiBuffer midi;
    std::function<float(int, std::int64_t)> input = signal;
    // What the gather side does after each block.
    enum class Feed
    {
        pump,
        offer_only,
        none
    } feed = Feed::pump;
    bool bypassed = false; // the host bypasses the blocks

    void SetUp() override
    {
        proc->setPlayHead(&head);
        proc->prepareToPlay(48000.0, 8192);
        hnd->mgr->set_recording_armed_internal(true);
        gather.offer(*hnd);
    }

    // One block of n samples at timeline position t; the gather side runs after it.
    juce::AudioBuffer<float> play(std::int64_t t, int n, bool playing = true)
    {
        head.playing = playing;
        head.time = t;
        juce::AudioBuffer<float> buffer(
            std::max(proc->getTotalNumInputChannels(), proc->getTotalNumOutputChannels()), n);
        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            for (int i = 0; i < n; ++i)
                buffer.setSample(ch, i, input(ch, t + i));
        if (bypassed)
            proc->processBlockBypassed(buffer, midi);
        else
            proc->processBlock(buffer, midi);
        if (feed == Feed::pump)
            for (auto& entry : gather.drain(*hnd))
                taken.push_back(std::move(entry));
        if (feed != Feed::none)
            gather.offer(*hnd);
        return buffer;
    }
    void stop() { play(0, 64, false); }

    std::vector<const Taken*> buffers(std::size_t ch) const
    {
        std::vector<const Taken*> out;
        for (const auto& t : taken)
            if (t.marker == 0 && t.ch == ch)
                out.push_back(&t);
        return out;
    }
    std::size_t markers(std::uintptr_t kind) const
    {
        return static_cast<std::size_t>(
            std::count_if(taken.begin(), taken.end(), [&](const Taken& t) { return t.marker == kind; }));
    }
    // A unit holds zeros before 'from' and the input from there up to 'to' (offsets in the unit).
    static void expect_unit(const Taken& t, int ch, std::size_t from, std::size_t to)
    {
        for (std::size_t i = 0; i < M::unit_samples; ++i)
        {
            const float want =
                i >= from && i < to ? signal(ch, std::int64_t(t.bufnum * M::unit_samples + i)) : 0.0f;
            ASSERT_EQ(t.samples[i], want) << "unit " << t.bufnum << " offset " << i;
        }
    }
};

TEST_F(Recording, StartInsideAUnitKeepsZerosBeforeTheStart)
{
    for (std::int64_t t = 100000; t < 131072; t += 8192)
        play(t, 8192);
    EXPECT_EQ(markers(1), 2u); // stereo: one stream per channel
    for (int ch = 0; ch < 2; ++ch)
    {
        const auto got = buffers(ch);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0]->bufnum, 1u);
        expect_unit(*got[0], ch, 34464, 65536);
    }
}

TEST_F(Recording, BlockCrossingAUnitBoundaryIsSplit)
{
    proc->prepareToPlay(48000.0, 512);
    play(65280, 512);
    ASSERT_EQ(buffers(0).size(), 1u); // unit 0 went at once
    expect_unit(*buffers(0)[0], 0, 65280, 65536);
    stop();
    ASSERT_EQ(buffers(0).size(), 2u);
    EXPECT_EQ(buffers(0)[1]->bufnum, 1u);
    expect_unit(*buffers(0)[1], 0, 0, 256);
    EXPECT_EQ(markers(2), 2u);
}

TEST_F(Recording, BlockEndingOnABoundarySubmitsWithTheNextBlock)
{
    play(65536 - 8192, 8192);
    EXPECT_TRUE(buffers(0).empty());
    play(65536, 64);
    ASSERT_EQ(buffers(0).size(), 1u);
    expect_unit(*buffers(0)[0], 0, 65536 - 8192, 65536);
}

TEST_F(Recording, LoopBackKeepsRecordingForward)
{
    play(0, 8192);
    play(8192, 8192);
    play(0, 8192); // the host loops back: the recording goes on at 16384
    play(200000, 64);
    stop();
    const auto got = buffers(1);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0]->bufnum, 0u);
    EXPECT_EQ(got[1]->bufnum, 3u);
    for (std::size_t i = 0; i < 8192; ++i)
        ASSERT_EQ(got[0]->samples[16384 + i], signal(1, std::int64_t(i)));
    EXPECT_EQ(got[0]->samples[16384 + 8192], 0.0f);
}

TEST_F(Recording, ForcedMonoRecordsTheSumAfterGainAndKeepsEachPolarity)
{
    proc->set_force_record_mono(true);
    proc->set_gain(6.0f);
    proc->set_polarity(1, -1);
    const float g = std::pow(10.0f, 6.0f * 0.05f);
    const auto out = play(0, 4096);
    stop();
    EXPECT_EQ(markers(1), 1u);
    EXPECT_EQ(markers(2), 1u);
    ASSERT_EQ(buffers(0).size(), 1u);
    EXPECT_TRUE(buffers(1).empty());
    for (int i = 0; i < 4096; ++i)
    {
        ASSERT_EQ(buffers(0)[0]->samples[std::size_t(i)], signal(0, i) * g + signal(1, i) * g);
        ASSERT_EQ(out.getSample(0, i), signal(0, i) * g);
        ASSERT_EQ(out.getSample(1, i), -(signal(1, i) * g));
    }
}

// Whatever block size the host announces, preparing takes a bounded amount of memory, and a block
// longer than the scratch space is still recorded whole (in pieces).
TEST_F(Recording, HugeAnnouncedBlockSizeAndLongerBlocks)
{
    proc->prepareToPlay(48000.0, std::numeric_limits<int>::max());
    proc->set_force_record_mono(true);
    const int n = 250000; // four units: as many as the spare slots offer at once
    play(0, n);
    stop();
    const auto got = buffers(0);
    ASSERT_EQ(got.size(), 4u);
    for (const Taken* t : got)
        for (std::size_t i = 0; i < M::unit_samples; ++i)
        {
            const auto pos = std::int64_t(t->bufnum * M::unit_samples + i);
            ASSERT_EQ(t->samples[i], pos < n ? signal(0, pos) + signal(1, pos) : 0.0f) << pos;
        }
}

// Magnitude of the low shelf at f, from the cookbook's formulas (100 Hz, +20 dB, Q 1).
double cookbook_gain(double f, double fs)
{
    const double A = std::pow(10.0, 20.0 / 40.0), w0 = 2 * M_PI * 100.0 / fs, alpha = std::sin(w0) / 2.0;
    const double c = std::cos(w0), k = 2 * std::sqrt(A) * alpha;
    const double b[3] = {A * ((A + 1) - (A - 1) * c + k), 2 * A * ((A - 1) - (A + 1) * c),
                         A * ((A + 1) - (A - 1) * c - k)};
    const double a[3] = {(A + 1) + (A - 1) * c + k, -2 * ((A - 1) + (A + 1) * c), (A + 1) + (A - 1) * c - k};
    const std::complex<double> z1 = std::polar(1.0, -2 * M_PI * f / fs), z2 = z1 * z1;
    return std::abs((b[0] + b[1] * z1 + b[2] * z2) / (a[0] + a[1] * z1 + a[2] * z2));
}

TEST_F(Recording, LowShelfShapesOnlyTheAnalysedCopy)
{
    hnd->mgr->set_filter_mode_internal(M::FILT_LOWBOOST);
    for (const double f : {100.0, 10000.0, 30.0})
    {
        SCOPED_TRACE(f);
        taken.clear();
        input = [f](int, std::int64_t pos)
        { return 0.01f * static_cast<float>(std::sin(2 * M_PI * f * pos / 48000.0)); };
        for (std::int64_t t = 0; t < 2 * 65536; t += 8192)
        {
            const auto out = play(t, 8192);
            ASSERT_EQ(out.getSample(0, 100), input(0, t + 100)); // the audio itself is not filtered
        }
        stop();
        for (int ch = 0; ch < 2; ++ch)
        {
            // Amplitude over whole periods of the second (settled) unit.
            const auto& unit = buffers(std::size_t(ch)).at(1)->samples;
            const std::size_t whole =
                48000 / std::gcd(48000, static_cast<int>(f)); // samples of whole periods
            const std::size_t n = (65536 / whole) * whole;
            double s = 0, c = 0;
            for (std::size_t i = 0; i < n; ++i)
            {
                const double phase = 2 * M_PI * f * double(65536 + i) / 48000.0;
                s += unit[i] * std::sin(phase);
                c += unit[i] * std::cos(phase);
            }
            const double measured = 2 * std::hypot(s, c) / double(n) / 0.01;
            EXPECT_NEAR(measured / cookbook_gain(f, 48000.0), 1.0, 2e-3);
        }
    }
    EXPECT_NEAR(cookbook_gain(100.0, 48000.0), std::sqrt(std::pow(10.0, 20.0 / 20.0)), 1e-9); // +10 dB at f0
}

// After a sound, silence at the input must bring the filter's history to exactly zero: a history
// left ringing in subnormal numbers makes every later sample of the track many times slower.
TEST(LowShelf, SilenceAfterSoundSettlesAtZeroWithoutSubnormals)
{
    for (const int rate : {44100, 48000, 96000})
    {
        SCOPED_TRACE(rate);
        P::lowshelf_state_t shelf;
        shelf.set_lowboost(rate);
        for (int i = 0; i < 64; ++i)
            shelf.process(i % 2 ? 0.5f : -0.25f);
        for (int i = 0; i < 8 * rate; ++i)
        {
            shelf.process(0.0f);
            for (const double y : shelf.y)
                ASSERT_NE(std::fpclassify(y), FP_SUBNORMAL) << "sample " << i;
        }
        EXPECT_EQ(shelf.y[0], 0.0);
        EXPECT_EQ(shelf.y[1], 0.0);
    }
}

TEST_F(Recording, BypassAllRoleOffGainAndStoppedTransport)
{
    proc->set_polarity(0, -1);
    proc->set_polarity(1, -1);
    hnd->mgr->set_bypass_all_internal(true);
    auto out = play(0, 256); // send in bypass-all: gain only, and nothing is recorded
    EXPECT_EQ(out.getSample(0, 7), signal(0, 7));
    EXPECT_EQ(markers(1), 0u);
    stop();
    proc->set_not_master(false); // role off keeps its polarity
    out = play(0, 256);
    EXPECT_EQ(out.getSample(1, 7), -signal(1, 7));
    hnd->mgr->set_bypass_all_internal(false);
    proc->set_gain(-20.0f);
    out = play(256, 256);
    EXPECT_EQ(out.getSample(0, 9), -(signal(0, 265) * 0.1f));
    out = play(512, 256, false); // stopped: unchanged
    EXPECT_EQ(out.getSample(0, 9), signal(0, 521));

    proc->setPlayConfigDetails(1, 2, 48000.0, 256); // outputs beyond the inputs are silent
    for (const bool playing : {true, false})
    {
        out = play(768, 256, playing);
        EXPECT_EQ(out.getMagnitude(1, 0, 256), 0.0f);
    }
    proc->set_gain(0.0f);
    EXPECT_EQ(play(1024, 64).getSample(0, 3), -signal(0, 1027)); // 0 dB is a factor of exactly 1
}

// A sample that is not a number or infinite would make the whole analysis meaningless: it is
// recorded as silence, while the audio itself passes as it came.
TEST_F(Recording, SamplesThatAreNoNumberAreRecordedAsSilence)
{
    const float nan_f = std::numeric_limits<float>::quiet_NaN();
    const float inf_f = std::numeric_limits<float>::infinity();
    input = [&](int ch, std::int64_t t)
    {
        switch (t)
        {
        case 10:
            return nan_f;
        case 11:
            return -nan_f;
        case 12:
            return inf_f;
        case 13:
            return -inf_f;
        default:
            return signal(ch, t);
        }
    };
    const auto out = play(0, 8192);
    EXPECT_TRUE(std::isnan(out.getSample(0, 10)));
    EXPECT_EQ(out.getSample(1, 12), inf_f);
    play(65536, 64);
    for (int ch = 0; ch < 2; ++ch)
    {
        const auto got = buffers(static_cast<std::size_t>(ch));
        ASSERT_EQ(got.size(), 1u);
        for (std::size_t i = 0; i < 8192; ++i)
        {
            const bool bad = i >= 10 && i <= 13;
            ASSERT_EQ(got[0]->samples[i], bad ? 0.0f : signal(ch, std::int64_t(i))) << i;
            ASSERT_FALSE(std::signbit(got[0]->samples[i]) && bad) << i;
        }
    }
}

struct NextInstanceIsLv2
{
    NextInstanceIsLv2()
    {
        juce::AudioProcessor::setTypeOfNextNewPlugin(juce::AudioProcessor::wrapperType_LV2);
    }
};

// An LV2 instance: JUCE's LV2 wrapper reports a position only in blocks where the host sent one,
// and hosts send one when the transport changes.
struct Lv2Recording : NextInstanceIsLv2, Recording
{
    Lv2Recording()
    {
        juce::AudioProcessor::setTypeOfNextNewPlugin(juce::AudioProcessor::wrapperType_Undefined);
    }
};

TEST_F(Lv2Recording, BlocksWithoutAPositionContinueTheTransportUntilItStops)
{
    ASSERT_EQ(proc->wrapperType, juce::AudioProcessor::wrapperType_LV2);
    proc->set_polarity(0, -1);
    play(1000, 8192); // the host announces the transport
    head.has_position = false;
    std::int64_t t = 1000 + 8192;
    for (; t < 65536 + 8192; t += 8192)
    {
        const auto out = play(t, 8192);
        ASSERT_EQ(out.getSample(0, 5), -signal(0, t + 5)) << t; // processed as playing
    }
    head.has_position = true;
    stop(); // the host announces the stop
    head.has_position = false;
    EXPECT_EQ(play(t, 256).getSample(0, 5), signal(0, t + 5)); // stays stopped

    EXPECT_EQ(markers(1), 2u); // one stream per channel for the whole play
    EXPECT_EQ(markers(2), 2u);
    for (int ch = 0; ch < 2; ++ch)
    {
        const auto got = buffers(static_cast<std::size_t>(ch));
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0]->bufnum, 0u);
        expect_unit(*got[0], ch, 1000, 65536);
        EXPECT_EQ(got[1]->bufnum, 1u);
        expect_unit(*got[1], ch, 0, static_cast<std::size_t>(t - 65536));
    }
}

// An LV2 host that sends positions only on change may send one while it bypasses the instance and
// none after: the bypassed blocks follow the transport, so the instance plays and records when the
// host plays, whatever its bypass did. Blocks of 8192 samples; the stream's first sample is at t0.
TEST_F(Lv2Recording, StartDuringABypassRecordsFromTheFirstBlockProcessedAgain)
{
    proc->set_polarity(0, -1);
    stop(); // the host announces a stopped transport
    bypassed = true;
    play(1000, 8192); // and its start while it bypasses the instance
    head.has_position = false;
    play(9192, 8192);
    bypassed = false;
    const std::int64_t t0 = 17384;
    const auto out = play(t0, 8192); // no position: the transport rolls on
    EXPECT_EQ(out.getSample(0, 5), -signal(0, t0 + 5)) << "processed as playing";
    head.has_position = true;
    stop();
    EXPECT_EQ(markers(1), 2u);
    EXPECT_EQ(markers(2), 2u);
    ASSERT_EQ(buffers(0).size(), 1u);
    expect_unit(*buffers(0)[0], 0, static_cast<std::size_t>(t0), static_cast<std::size_t>(t0 + 8192));
}

TEST_F(Lv2Recording, StopDuringABypassEndsThePlayThere)
{
    for (const bool watchdog_fired : {false, true})
    {
        SCOPED_TRACE(watchdog_fired ? "long bypass" : "short bypass");
        taken.clear();
        proc->set_polarity(0, -1);
        head.has_position = true;
        play(1000, 8192); // recording
        head.has_position = false;
        play(9192, 8192);
        bypassed = true;
        play(0, 8192); // rolls on, bypassed
        if (watchdog_fired)
        {
            hnd->watchdog_deadline = 0.0;
            proc->manager_watchdog_callback();
        }
        head.has_position = true;
        stop(); // announced while bypassed
        EXPECT_EQ(markers(2), 2u) << "the stream ends at the stop";
        head.has_position = false;
        play(0, 8192);
        bypassed = false;
        const auto out = play(500000, 8192); // no position: stopped
        EXPECT_EQ(out.getSample(0, 5), signal(0, 500005)) << "passes unchanged";
        head.has_position = true;
        play(600000, 8192); // the next roll is a stream of its own
        stop();
        EXPECT_EQ(markers(1), 4u);
        EXPECT_EQ(markers(2), 4u);
    }
}

// A gather side that falls behind costs the recording a stretch, never the audio a wait: without
// spare buffers the recording pauses, with a full ring the unit is dropped and its buffer reused.
TEST_F(Recording, GatherFallingBehindLosesUnitsNotAudio)
{
    const auto run = [&](std::int64_t from, std::int64_t to, Feed how)
    {
        feed = how;
        for (std::int64_t t = from; t < to; t += 8192)
            ASSERT_EQ(play(t, 8192).getSample(1, 8191), signal(1, t + 8191));
    };
    run(0, 163840, Feed::none);            // units 0 and 1 go; unit 2 finds no spare buffer
    run(163840, 229376, Feed::offer_only); // unit 2 resumes, then meets a full ring and is dropped
    for (auto& entry : gather.drain(*hnd))
        taken.push_back(std::move(entry));
    feed = Feed::pump;
    stop();
    for (int ch = 0; ch < 2; ++ch)
    {
        const auto got = buffers(std::size_t(ch));
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0]->bufnum + got[1]->bufnum, 1u);
        EXPECT_EQ(got[2]->bufnum, 3u);
        expect_unit(*got[2], ch, 0, 32768); // the reused buffer holds nothing of unit 2
    }
    EXPECT_EQ(markers(2), 2u);
}

// A buffer that could not be handed over at the end of a stereo play stays held; a later play that
// records summed to mono opens no stream for channel 1 and must not submit that buffer.
TEST_F(Recording, BufferKeptFromAStereoPlayStaysOutOfAMonoPlay)
{
    feed = Feed::none;
    play(0, 8192);              // both channels hold a buffer of unit 0
    for (int i = 0; i < 3; ++i) // three entries pending: after channel 0's buffer only the ends fit
        ASSERT_TRUE(M::slave_submit(hnd, 7, reinterpret_cast<float*>(M::marker_stream_start), 0));
    stop();
    for (auto& entry : gather.drain(*hnd))
        taken.push_back(std::move(entry));
    ASSERT_EQ(buffers(0).size(), 1u);
    ASSERT_TRUE(buffers(1).empty()); // kept by the instance
    EXPECT_EQ(markers(2), 2u);

    taken.clear();
    feed = Feed::pump;
    gather.offer(*hnd);
    proc->set_force_record_mono(true);
    play(65536, 8192);
    stop();
    EXPECT_EQ(markers(1), 1u);
    EXPECT_EQ(markers(2), 1u);
    EXPECT_EQ(buffers(0).size(), 1u);
    EXPECT_TRUE(buffers(1).empty());
    for (const auto& t : taken)
        EXPECT_EQ(t.ch, 0u);
}

TEST_F(Recording, WatchdogEndsTheStreamAndTheNextBlockOpensAnother)
{
    play(0, 8192);
    proc->manager_watchdog_callback(); // deadline not reached: nothing
    for (auto& entry : gather.drain(*hnd))
        taken.push_back(std::move(entry));
    EXPECT_EQ(markers(2), 0u);
    hnd->watchdog_deadline = 0.0;
    proc->manager_watchdog_callback();
    play(8192, 64, false); // let the gather side take what the watchdog submitted
    EXPECT_EQ(markers(2), 2u);
    EXPECT_EQ(buffers(0).size(), 1u);
    EXPECT_EQ(hnd->watchdog_deadline.load(), std::numeric_limits<double>::max());

    play(8192, 64);
    EXPECT_EQ(markers(1), 4u);
    proc->prepareToPlay(48000.0, 8192); // a new preparation closes the open stream
    play(0, 64, false);
    EXPECT_EQ(markers(2), 4u);
}

// A stereo play tells in its channel-1 end marker whether channel 1 was, in every block, digital
// silence or channel 0's input (before channel 0's gain and polarity, which apply in place); a
// channel differing in one sample of the last block is its own. Each play starts afresh, and a
// play that the watchdog ends tells it too.
TEST_F(Recording, SecondChannelSilentOrCopiedIsToldAtTheStreamEnd)
{
    proc->set_gain(6.0f);
    proc->set_polarity(0, -1);
    using Ends = std::vector<std::pair<std::size_t, std::size_t>>; // (channel, bufnum)
    const auto ends_of = [&](std::function<float(int, std::int64_t)> in, bool watchdog = false)
    {
        input = std::move(in);
        taken.clear();
        for (std::int64_t t = 0; t < 3 * 65536; t += 8192)
            play(t, 8192);
        if (watchdog)
        {
            hnd->watchdog_deadline = 0.0;
            proc->manager_watchdog_callback();
        }
        stop();
        Ends ends;
        for (const auto& t : taken)
            if (t.marker == M::marker_stream_end)
                ends.emplace_back(t.ch, t.bufnum);
        std::sort(ends.begin(), ends.end());
        return ends;
    };
    const auto silent = [](int ch, std::int64_t t) { return ch == 0 ? signal(0, t) : 0.0f; };
    const auto copy = [](int, std::int64_t t) { return signal(0, t); };
    const auto one_off = [](int ch, std::int64_t t)
    { return ch == 1 && t == 3 * 65536 - 5 ? 0.5f : signal(0, t); };
    EXPECT_EQ(ends_of(signal), (Ends{{0, 0}, {1, 0}}));
    EXPECT_EQ(ends_of(silent), (Ends{{0, 0}, {1, 1}}));
    EXPECT_EQ(ends_of(copy, true), (Ends{{0, 0}, {1, 2}}));
    EXPECT_EQ(ends_of(one_off), (Ends{{0, 0}, {1, 0}}));
    EXPECT_EQ(ends_of(silent), (Ends{{0, 0}, {1, 1}}));
}

TEST_F(Recording, HostBypassReachesTheMessageThread)
{
    const LogReader log;
    logger::manager::dynamic_loglevel = 3;
    juce::AudioBuffer<float> buffer(2, 64);
    proc->processBlockBypassed(buffer, midi);
    EXPECT_TRUE(proc->is_host_bypassed());
    juce::MessageManager::getInstance()->runDispatchLoopUntil(450);
    EXPECT_EQ(log.count("\"void FlipsumAudioProcessor::bypassStateChanged()\",Enter"), 1u);
    play(0, 64);
    EXPECT_FALSE(proc->is_host_bypassed());
    logger::manager::dynamic_loglevel = 0;
}

// The audio thread plays while the watchdog keeps firing on another thread and the gather side runs
// on a third: every stream that opens is closed, and every recorded sample is where it belongs.
TEST_F(Recording, WatchdogRacingTheAudioThread)
{
    proc->prepareToPlay(48000.0, 512);
    std::atomic<bool> done{false};
    std::thread watchdog(
        [&]
        {
            while (!done.load())
            {
                hnd->watchdog_deadline = 0.0;
                proc->manager_watchdog_callback();
                std::this_thread::yield();
            }
        });
    std::vector<Taken> got;
    std::thread gather_side(
        [&]
        {
            FakeGather g{16};
            while (!done.load() || M::free_submit_slots(*hnd) != M::n_submit)
            {
                for (auto& t : g.pump(*hnd))
                    got.push_back(std::move(t));
                std::this_thread::yield();
            }
        });
    juce::AudioBuffer<float> buffer(2, 512);
    head.playing = true;
    for (std::int64_t t = 0; t < 400 * 512; t += 512)
    {
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < 512; ++i)
                buffer.setSample(ch, i, signal(ch, t + i));
        head.time = t;
        proc->processBlock(buffer, midi);
    }
    head.playing = false;
    proc->processBlock(buffer, midi);
    done.store(true);
    watchdog.join();
    gather_side.join();

    std::size_t starts = 0, ends = 0, recorded = 0;
    for (const auto& t : got)
    {
        starts += t.marker == 1;
        ends += t.marker == 2;
        for (std::size_t i = 0; t.marker == 0 && i < M::unit_samples; ++i)
            if (t.samples[i] != 0.0f)
            {
                ++recorded;
                ASSERT_EQ(t.samples[i], signal(int(t.ch), std::int64_t(t.bufnum * M::unit_samples + i)));
            }
    }
    EXPECT_GT(starts, 0u);
    EXPECT_EQ(starts, ends);
    EXPECT_GT(recorded, 0u);
}
} // namespace
