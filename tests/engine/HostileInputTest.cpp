// Hostile and malformed input from the host: host calls with odd arguments in random order
// (sample rates and block sizes that are no such thing, buffers shorter or narrower than
// announced, play-head positions at the ends of the 64-bit range, program calls with any index),
// audio that is not a number reaching the analysis, and a preferences file that the XML reader
// would never finish.

#include "EngineTestSupport.h"
#include "HandoverTestSupport.h"
#include "engine/PlistFile.h"
#include "engine/ProcessWorker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <future>
#include <limits>
#include <random>

namespace
{
using P = FlipsumAudioProcessor;
using M = FlipsumManager;

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_f = std::numeric_limits<float>::infinity();

using test_audio::signal;

struct HostCalls : ::testing::Test
{
    std::unique_ptr<P> proc = std::make_unique<P>();
    M::slave_hnd_t hnd = proc->handle();
    GatherDetach detached{*proc};
    FakePlayHead head;
    FakeGather gather{16, false, true};
    juce::MidiBuffer midi;

    void SetUp() override
    {
        proc->setPlayHead(&head);
        hnd->mgr->set_recording_armed_internal(true);
        gather.offer(*hnd);
    }
    void TearDown() override { proc->setPlayHead(nullptr); }
};

// Thousands of host calls with odd arguments in random order never read or write out of bounds,
// overflow or convert out of range (the sanitized build reports each), and leave the instance
// recording correctly afterwards.
TEST_F(HostCalls, RandomCallsWithOddArgumentsLeaveTheInstanceSound)
{
    constexpr std::int64_t i64max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t i64min = std::numeric_limits<std::int64_t>::min();
    const double rates[] = {0.0,    -1.0, -48000.0, std::nan(""), HUGE_VAL, -HUGE_VAL,    1e300,
                            1e-300, 0.5,  44100.0,  48000.0,      192000.0, 2147483648.0, 1e7};
    const int block_sizes[] = {
        0,   -1,   -512,   std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), 1, 64,
        512, 8192, 1 << 20};
    const int indices[] = {
        0, 1, -1, 2, 1000, std::numeric_limits<int>::max(), std::numeric_limits<int>::min()};
    const float samples[] = {0.0f, 0.5f, -1.0f, nan_f, inf_f, -inf_f, 1e30f, -1e-40f};

    std::mt19937 rng(31337);
    const auto pick = [&rng](const auto& options)
    { return options[std::uniform_int_distribution<std::size_t>(0, std::size(options) - 1)(rng)]; };
    const auto chance = [&rng](int percent)
    { return std::uniform_int_distribution<int>(0, 99)(rng) < percent; };

    std::int64_t t = 0;
    for (int step = 0; step < 3000; ++step)
    {
        SCOPED_TRACE(step);
        switch (std::uniform_int_distribution<int>(0, 9)(rng))
        {
        case 0:
            proc->prepareToPlay(pick(rates), pick(block_sizes));
            break;
        case 1:
            proc->releaseResources();
            break;
        case 2:
        {
            const int index = pick(indices);
            proc->setCurrentProgram(index);
            proc->changeProgramName(index, "x");
            EXPECT_TRUE(proc->getProgramName(index).isEmpty());
            EXPECT_FALSE(proc->getInputChannelName(index).isEmpty());
            EXPECT_FALSE(proc->getOutputChannelName(index).isEmpty());
            break;
        }
        case 3:
        {
            // The transport jumps: near either end of the 64-bit range, negative, or anywhere.
            switch (std::uniform_int_distribution<int>(0, 5)(rng))
            {
            case 0:
                t = i64max - std::uniform_int_distribution<std::int64_t>(0, 1 << 18)(rng);
                break;
            case 1:
                t = i64min + std::uniform_int_distribution<std::int64_t>(0, 1 << 18)(rng);
                break;
            case 2:
                t = -std::uniform_int_distribution<std::int64_t>(0, 1 << 20)(rng);
                break;
            case 3:
                t = std::uniform_int_distribution<std::int64_t>(i64min, i64max)(rng);
                break;
            default:
                t = std::uniform_int_distribution<std::int64_t>(0, 1 << 22)(rng);
                break;
            }
            break;
        }
        case 4:
            proc->setStateInformation(nullptr, std::uniform_int_distribution<int>(-5, 5)(rng));
            break;
        default:
        {
            // A block: any channel count (also fewer than the bus has), any length (also longer than
            // announced), samples that are sometimes no number.
            const int channels = std::uniform_int_distribution<int>(0, 3)(rng);
            const int n =
                chance(10) ? 0 : std::uniform_int_distribution<int>(1, chance(5) ? 20000 : 600)(rng);
            juce::AudioBuffer<float> buffer(channels, n);
            for (int ch = 0; ch < channels; ++ch)
                for (int i = 0; i < n; ++i)
                    buffer.setSample(ch, i, chance(1) ? pick(samples) : signal(ch, i));
            head.has_position = !chance(5);
            head.playing = chance(80);
            head.time = t;
            if (chance(5))
                proc->processBlockBypassed(buffer, midi);
            else
                proc->processBlock(buffer, midi);
            if (head.playing && t <= i64max - n)
                t += n;
            gather.pump(*hnd);
            break;
        }
        }
        ASSERT_TRUE(proc->get_gain() >= -20.0f && proc->get_gain() <= 20.0f);
        ASSERT_EQ(std::abs(proc->get_polarity(0)), 1);
    }

    // Afterwards a plain play from the start records exactly what it is given.
    head.has_position = true;
    head.playing = false;
    juce::AudioBuffer<float> stop(2, 64);
    proc->processBlock(stop, midi);
    gather.pump(*hnd);
    proc->prepareToPlay(48000.0, 512);
    FakeGather fresh{4, true, true};
    gather.drain(*hnd);
    fresh.offer(*hnd);
    std::vector<Taken> taken;
    head.playing = true;
    for (head.time = 0; head.time < 65536 + 512; head.time += 512)
    {
        juce::AudioBuffer<float> buffer(2, 512);
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < 512; ++i)
                buffer.setSample(ch, i, signal(ch, head.time + i));
        proc->processBlock(buffer, midi);
        for (auto& entry : fresh.pump(*hnd))
            taken.push_back(std::move(entry));
    }
    bool checked = false;
    for (const auto& entry : taken)
    {
        if (entry.marker != 0 || entry.ch != 0)
            continue;
        ASSERT_EQ(entry.bufnum, 0u);
        const float g = std::pow(10.0f, proc->get_gain() * 0.05f);
        for (std::size_t i = 0; i < M::unit_samples; i += 997)
            ASSERT_EQ(entry.samples[i], signal(0, std::int64_t(i)) * g) << i;
        checked = true;
    }
    EXPECT_TRUE(checked);
}

// A transport at the very end of the timeline plays and records without overflowing the recording
// position, and a bypassed block there moves it on without overflowing either.
TEST_F(HostCalls, TransportAtTheEndOfTheTimeline)
{
    proc->prepareToPlay(48000.0, 512);
    constexpr std::int64_t i64max = std::numeric_limits<std::int64_t>::max();
    head.playing = true;
    for (const std::int64_t start : {i64max, i64max - 100, i64max - 65536 - 10})
    {
        SCOPED_TRACE(start);
        head.time = start;
        for (int block = 0; block < 4; ++block)
        {
            juce::AudioBuffer<float> buffer(2, 512);
            buffer.clear();
            buffer.setSample(0, 3, 0.25f);
            proc->processBlock(buffer, midi);
            EXPECT_EQ(buffer.getSample(0, 3), 0.25f);
            proc->processBlockBypassed(buffer, midi);
            gather.pump(*hnd);
        }
        head.playing = false;
        juce::AudioBuffer<float> buffer(2, 64);
        proc->processBlock(buffer, midi);
        gather.pump(*hnd);
        head.playing = true;
    }
}

// A sample that is no number passes through the analysed copy's low shelf as silence: the filter
// goes on giving exactly what it gives with a zero there, instead of no number for the rest of the
// play.
TEST(LowShelfInput, SampleThatIsNoNumberEntersAsSilence)
{
    for (const float bad : {nan_f, inf_f, -inf_f})
    {
        SCOPED_TRACE(bad);
        P::lowshelf_state_t with_bad, with_zero;
        with_bad.set_lowboost(48000);
        with_zero.set_lowboost(48000);
        for (int i = 0; i < 2000; ++i)
        {
            const float in = i == 100 ? bad : signal(0, i);
            const float out = with_bad.process(in);
            ASSERT_EQ(out, with_zero.process(i == 100 ? 0.0f : in)) << i;
        }
    }
}

// A host that announces a sample rate of 200 Hz or less (the shelf's corner at or above the Nyquist
// frequency) gets an analysed copy that stays bounded, not a filter that grows without bound.
TEST(LowShelfInput, SampleRatesBelowTheCornerStayBounded)
{
    for (const int rate : {1, 50, 150, 199, 200})
    {
        SCOPED_TRACE(rate);
        P::lowshelf_state_t shelf;
        shelf.set_lowboost(rate);
        for (int i = 0; i < 5000; ++i)
            ASSERT_LE(std::abs(shelf.process(signal(0, i))), 1000.0f) << i;
    }
}

// --- Audio that is not a number reaching the analysis -------------------------------------------

struct NotANumber : ::testing::Test
{
    logtest::LevelScope level{6};
    LogReader log;
    std::vector<std::unique_ptr<P>> procs;
    std::shared_ptr<M> mgr;

    NotANumber()
    {
        for (int i = 0; i < 3; ++i)
            procs.push_back(std::make_unique<P>());
        mgr = M::get_inst();
        FlipsumManagerProbe::stop_workers(*mgr);
    }

    // Three mono tracks: a signal, the signal inverted and the signal again; the second track is the
    // one to flip. poison(track, unit buffer) may spoil the buffers before the analysis.
    M::job_outcome_t analyse(const std::function<void(std::size_t, float*)>& poison)
    {
        auto job = std::make_shared<M::job_t>();
        for (std::size_t t = 0; t < procs.size(); ++t)
        {
            job->tracks.emplace(std::make_pair(procs[t].get(), std::size_t(0)), t);
            job->serials.emplace(procs[t].get(), procs[t]->handle()->serial);
            procs[t]->set_polarity(0, 1);
        }
        std::vector<std::unique_ptr<float, M::buffer_deleter>> owned;
        for (std::size_t u = 0; u < 2; ++u)
        {
            auto unit = std::make_unique<M::work_unit_t>();
            unit->unitnum = u;
            unit->job = job;
            for (std::size_t t = 0; t < procs.size(); ++t)
            {
                float* const p = M::allocate_buffer();
                owned.emplace_back(p);
                for (std::size_t i = 0; i < M::unit_samples; ++i)
                    p[i] = (t == 1 ? -1.0f : 1.0f) * std::sin(0.01f * float(i + u * M::unit_samples)) *
                           (0.5f + 0.1f * float(t));
                poison(t, p);
                unit->bufs.push_back(p);
            }
            FlipsumManagerProbe::enqueue(*mgr, std::move(unit));
        }
        FlipsumManagerProbe::set_complete(*mgr, *job);
        mgr->set_recording_armed_internal(true);
        ProcessWorker worker(*mgr);
        worker.pass();
        worker.pass();
        return mgr->last_job_outcome();
    }
    std::vector<int> polarities() const
    {
        std::vector<int> out;
        for (const auto& p : procs)
            out.push_back(p->get_polarity(0));
        return out;
    }
    // The flip of the second track, in whichever of the two equivalent orientations.
    void expect_second_track_flipped(const M::job_outcome_t& outcome) const
    {
        EXPECT_EQ(outcome.end, M::job_end_t::done);
        EXPECT_EQ(outcome.flips, 1u);
        const auto pol = polarities();
        EXPECT_EQ(pol[1], -pol[0]);
        EXPECT_EQ(pol[2], pol[0]);
        EXPECT_TRUE(std::isfinite(outcome.db_raw)) << outcome.db_raw;
        EXPECT_TRUE(std::isfinite(outcome.db_prev)) << outcome.db_prev;
        EXPECT_TRUE(std::isfinite(outcome.rms_new)) << outcome.rms_new;
    }
};

TEST_F(NotANumber, CleanMaterialFlipsTheInvertedTrack)
{
    expect_second_track_flipped(analyse([](std::size_t, float*) {}));
}

// The recording takes such samples as silence (see the processor's tests); should a record buffer
// still reach the analysis with one, the correlation is out of range and nothing is applied.
TEST_F(NotANumber, ABufferWithSamplesThatAreNoNumberIsNotApplied)
{
    for (const float bad : {nan_f, -nan_f, inf_f, -inf_f})
    {
        SCOPED_TRACE(bad);
        const M::job_outcome_t outcome = analyse(
            [bad](std::size_t t, float* p)
            {
                if (t == 1)
                    p[12345] = bad;
            });
        EXPECT_EQ(outcome.end, M::job_end_t::failed);
        EXPECT_EQ(polarities(), (std::vector<int>{1, 1, 1}));
        EXPECT_FALSE(FlipsumManagerProbe::armed(*mgr));
    }
    EXPECT_EQ(log.count("is out of range"), 4u);
}

// Samples so large that their products overflow leave no usable correlation: nothing is applied and
// recording is disarmed, as after any other failed analysis.
TEST_F(NotANumber, OverflowingMaterialIsNotApplied)
{
    const M::job_outcome_t outcome = analyse(
        [](std::size_t t, float* p)
        {
            if (t == 1)
                std::fill_n(p, 1000, 3e38f);
        });
    EXPECT_EQ(outcome.end, M::job_end_t::failed);
    EXPECT_EQ(outcome.flips, 0u);
    EXPECT_EQ(polarities(), (std::vector<int>{1, 1, 1}));
    EXPECT_FALSE(FlipsumManagerProbe::armed(*mgr));
}
// --- A preferences file that the framework's XML reader would never finish --------------------

// The debuglog value of a preferences file with the given text, read on a thread of its own: a
// reader that does not finish ends the test process as failed instead of hanging it.
std::string debuglog_of_file(const std::string& text)
{
    const juce::File file = juce::File::getSpecialLocation(juce::File::tempDirectory)
                                .getNonexistentChildFile("hostile", ".plist");
    file.replaceWithData(text.data(), text.size());
    auto done = std::make_shared<std::promise<std::string>>();
    auto result = done->get_future();
    std::thread([done, path = file.getFullPathName().toStdString()]
                { done->set_value(details_::PlistFile(path).get_string("debuglog", "<default>")); })
        .detach();
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
    {
        ADD_FAILURE() << "the preferences file was never read to its end: " << text;
        std::_Exit(1);
    }
    file.deleteFile();
    return result.get();
}

TEST(HostilePreferences, ProcessingInstructionInsideTheRootReadsAsEmpty)
{
    const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
    const std::string pair = "<key>debuglog</key><string>5</string>";
    EXPECT_EQ(debuglog_of_file(head + pair + "<?x?>text</dict></plist>"), "<default>");
    EXPECT_EQ(debuglog_of_file(head + "<?x y?>\n" + pair + "</dict></plist>"), "<default>");
    EXPECT_EQ(debuglog_of_file("<?a?><t n=\"\"><?x?>c"), "<default>");
    // Before the root one is harmless and still allowed.
    EXPECT_EQ(debuglog_of_file(head + pair + "</dict></plist>"), "5");
}
} // namespace
