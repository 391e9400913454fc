// The gather thread's passes, driven one at a time on a manager whose own worker threads are
// stopped: jobs and their tracks, stream starts and ends, filing of buffers, the release rules of
// the work units, completion, the watchdog and instances that go away while they record.

#include "EngineTestSupport.h"
#include "HandoverTestSupport.h"
#include "engine/GatherWorker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

namespace
{
using P = FlipsumAudioProcessor;
using M = FlipsumManager;
using Units = std::vector<std::size_t>;

struct Gather : ::testing::Test
{
    logtest::LevelScope level{8};
    LogReader log;
    std::vector<std::unique_ptr<P>> procs; // by address: track k is procs[k] for mono instances
    std::shared_ptr<M> mgr;
    std::unique_ptr<GatherWorker> worker;

    // n instances (mono unless stereo), the manager's threads stopped, the pool grown and offered.
    void make(int n, bool stereo = false)
    {
        for (int i = 0; i < n; ++i)
        {
            procs.push_back(std::make_unique<P>());
            if (!stereo)
                procs.back()->setPlayConfigDetails(1, 1, 48000.0, 512);
        }
        std::sort(procs.begin(), procs.end(), [](const auto& a, const auto& b) { return a.get() < b.get(); });
        mgr = M::get_inst();
        FlipsumManagerProbe::stop_workers(*mgr);
        worker = std::make_unique<GatherWorker>(*mgr);
        EXPECT_EQ(worker->pass(), 0.0); // grows the pool: the next pass follows at once
        worker->pass();
        mgr->set_recording_armed_internal(true);
    }
    void TearDown() override
    {
        EXPECT_EQ(log.count("0x0x"), 0u) << "an address printed with a second prefix";
        worker.reset();
        mgr.reset();
        procs.clear();
    }
    M::slave_hnd_t h(std::size_t i) const { return procs[i]->handle(); }
    void start(std::size_t i, M::slave_channel_mode_t mode = 0)
    {
        ASSERT_TRUE(M::slave_start_rec(h(i), mode));
    }
    // Takes an offered buffer, fills it with value and submits it for unit u.
    float* deliver(std::size_t i, std::size_t u, std::size_t ch = 0, float value = 1.0f)
    {
        float* buf = M::slave_get_buffer(h(i));
        EXPECT_NE(buf, nullptr);
        std::fill(buf, buf + M::unit_samples, value);
        EXPECT_TRUE(M::slave_submit_buffer(h(i), ch, buf, u));
        return buf;
    }
    Units queued() const { return FlipsumManagerProbe::queued(*mgr); }
    static bool zeroed(const float* buf)
    {
        return std::all_of(buf, buf + M::unit_samples, [](float v) { return v == 0.0f; });
    }
    bool offered_zeroed(const float* buf) const
    {
        for (const auto& p : procs)
            if (p)
                for (const auto& s : p->handle()->spare_buf)
                    if (s.load() == buf)
                        return std::all_of(buf, buf + M::unit_samples, [](float v) { return v == 0.0f; });
        return false;
    }
};

TEST_F(Gather, ThreeInstancesAndAnEmptyPoolGetTwelveBuffersInTwoPasses)
{
    procs.push_back(std::make_unique<P>());
    mgr = M::get_inst();
    FlipsumManagerProbe::stop_workers(*mgr);
    procs.push_back(std::make_unique<P>());
    procs.push_back(std::make_unique<P>());
    worker = std::make_unique<GatherWorker>(*mgr);
    const LogReader since_stop; // the manager's own gather thread may have served the first one
    EXPECT_EQ(worker->pass(), 0.0);
    EXPECT_EQ(FlipsumManagerProbe::pool_size(*mgr), 12u);
    EXPECT_EQ(since_stop.count(" allocated"), 12u);
    for (const auto& p : procs)
        for (const auto& s : p->handle()->spare_buf)
            EXPECT_EQ(s.load(), nullptr);
    EXPECT_GT(worker->pass(), 0.0);
    for (const auto& p : procs)
        for (const auto& s : p->handle()->spare_buf)
            EXPECT_TRUE(offered_zeroed(s.load()));
    EXPECT_EQ(since_stop.count(" assigned free buffer 0x"), 12u);
}

TEST_F(Gather, TracksAreSendInstancesByAddressAndChannel)
{
    make(4, true);
    procs[1]->set_force_record_mono(true);
    procs[2]->set_not_master(false); // off
    procs[3]->setPlayConfigDetails(1, 1, 48000.0, 512);
    start(0, 1);
    worker->pass();
    const auto& job = worker->job();
    ASSERT_TRUE(job);
    using Key = std::pair<P*, std::size_t>;
    const std::map<Key, std::size_t> want{{{procs[0].get(), 0}, 0},
                                          {{procs[0].get(), 1}, 1},
                                          {{procs[1].get(), 0}, 2},
                                          {{procs[3].get(), 0}, 3}};
    EXPECT_EQ(job->tracks, want);
    EXPECT_EQ(job->n_started, 2u);
    std::ostringstream added;
    added << ",6,\"" << M::gather_pass_signature << "\",Adding [AP=0x" << logger::hex(procs[3].get())
          << ",ch=0] to job as $3";
    EXPECT_EQ(log.count(added.str()), 1u);
    start(2, 0);
    worker->pass();
    EXPECT_EQ(log.count("Spurious stream start [AP=0x"), 1u);
    EXPECT_EQ(log.count("New recording started"), 1u);
}

// A recording that starts at unit 5: nothing goes before unit 6 exists; empty units are passed
// over as old; a unit goes when every track has it or has moved past it, or when a unit two
// numbers newer exists; at completion everything goes.
TEST_F(Gather, UnitsGoInOrderByTheReleaseRules)
{
    make(3);
    for (std::size_t i = 0; i < 3; ++i)
        start(i);
    deliver(0, 5);
    deliver(1, 5);
    worker->pass();
    EXPECT_EQ(queued(), Units{});
    EXPECT_EQ(log.count("Work unit #4 is blocking"), 1u);
    deliver(2, 5);
    worker->pass();
    EXPECT_EQ(queued(), Units{}) << "unit 4 blocks until a unit two numbers newer exists";
    float* a6 = deliver(0, 6);
    worker->pass();
    EXPECT_EQ(queued(), Units{5});
    for (const char* old : {"Work unit #0is old", "Work unit #3is old", "Work unit #4is old"})
        EXPECT_EQ(log.count(old), 1u) << old;
    deliver(1, 7);
    worker->pass();
    EXPECT_EQ(queued(), Units{5}) << "track 2 has neither unit 6 nor moved past it";
    deliver(2, 8);
    worker->pass();
    EXPECT_EQ(queued(), (Units{5, 6}));
    const auto bufs = FlipsumManagerProbe::finish_queued(*mgr);
    EXPECT_EQ(bufs[1], (std::vector<float*>{a6, nullptr, nullptr}));
    for (std::size_t i = 0; i < 3; ++i)
        M::slave_end_rec(h(i));
    worker->pass();
    EXPECT_EQ(queued(), (Units{7, 8}));
    EXPECT_EQ(log.count("Recording complete: 3 tracks"), 1u);
    EXPECT_FALSE(worker->job());
    worker->pass();
    EXPECT_EQ(log.count("Recording complete"), 1u) << "completed once";
    start(0);
    worker->pass();
    EXPECT_EQ(log.count("New recording started"), 2u);
}

// A recording far into the timeline: the empty units below it are passed over in one step, not
// one by one; and at completion an empty unit less than two below the last is let go without
// being called old.
TEST_F(Gather, FarTimelinePositionsAndCompletionPassOverEmptyUnits)
{
    make(2);
    start(0);
    start(1);
    constexpr std::size_t far = std::size_t(1) << 44;
    deliver(0, far);
    deliver(1, far + 1);
    worker->pass(); // would take hours stepping through 2^44 empty units
    EXPECT_EQ(queued(), Units{far});
    EXPECT_EQ(log.count("Work units #0 to #" + std::to_string(far - 1) + " are old"), 1u);
    EXPECT_EQ(log.count("Work unit #" + std::to_string(far + 1) + " is blocking"), 1u);
    deliver(0, far + 4);
    M::slave_end_rec(h(0));
    M::slave_end_rec(h(1));
    worker->pass();
    EXPECT_EQ(queued(), (Units{far, far + 1, far + 4}));
    EXPECT_EQ(log.count("Recording complete: 2 tracks"), 1u);
    // last is far + 4: far + 2 is old, far + 3 is not.
    EXPECT_EQ(log.count("Work unit #" + std::to_string(far + 2) + "is old"), 1u);
    EXPECT_EQ(log.count("Work unit #" + std::to_string(far + 3) + "is old"), 0u);
}

TEST_F(Gather, LateDuplicateAndSpuriousBuffersGoBackZeroed)
{
    make(2);
    float* no_job = deliver(0, 0, 0, 3.0f); // before any stream start: no job
    M::slave_end_rec(h(0));                 // not recording: nothing
    ASSERT_TRUE(M::slave_submit(h(1), 0, reinterpret_cast<float*>(M::marker_stream_end), 0));
    worker->pass();
    EXPECT_EQ(log.count("Spurious buffer recieved [AP="), 1u);
    EXPECT_EQ(log.count("Spurious stream end [AP=0x"), 1u);
    EXPECT_EQ(log.count("(no job)"), 1u);
    start(0);
    start(1);
    deliver(0, 0);
    deliver(1, 0);
    worker->pass();
    EXPECT_EQ(queued(), Units{0});
    float* late = deliver(1, 0, 0, 2.0f);
    deliver(0, 1);
    float* dup = deliver(0, 1, 0, 4.0f);
    ASSERT_TRUE(M::slave_submit(h(0), 0, reinterpret_cast<float*>(M::marker_stream_start), 0));
    worker->pass();
    EXPECT_EQ(log.count("arrived late, work unit #0 already submitted"), 1u);
    EXPECT_EQ(log.count("Can't insert buffer 0x"), 1u);
    EXPECT_EQ(log.count("Stream already started [AP=0x"), 1u);
    worker->pass(); // the refill zeroes what came back
    for (const float* b : {no_job, late, dup})
        EXPECT_TRUE(zeroed(b));
}

TEST_F(Gather, AJobWithoutQualifyingInstancesCompletesAtOnce)
{
    make(2);
    procs[0]->set_not_master(false);
    procs[1]->set_as_master();
    start(0);
    worker->pass();
    EXPECT_EQ(log.count("New recording started"), 1u);
    EXPECT_EQ(log.count("Spurious stream start"), 1u);
    EXPECT_EQ(log.count("Recording complete: 0 tracks"), 1u);
    EXPECT_FALSE(worker->job());
}

// Wake-ups that come while a pass runs find nobody waiting. Whatever they announced is there when
// the thread is about to wait, and then it does not: a stream's end never waits for a timeout.
TEST_F(Gather, WhatArrivesDuringAPassIsHandledWithoutWaiting)
{
    make(2);
    start(0);
    worker->pass();
    const struct
    {
        const char* what;
        std::function<void()> arrive;
    } cases[] = {
        {"stream end", [&] { M::slave_end_rec(h(0)); }},
        {"new instance", [&] { procs.push_back(std::make_unique<P>()); }},
        {"instance removed", [&] { procs[1].reset(); }},
        {"arming",
         [&]
         {
             mgr->set_recording_armed_internal(false);
             mgr->set_recording_armed_internal(true);
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        c.arrive();
        EXPECT_EQ(worker->wait(10.0).count(), 0);
        worker->pass();
    }
    EXPECT_EQ(log.count("Recording complete: 2 tracks"), 1u);
}

// While a stream is open the wait is short, so that a wake-up lost in the instant before the wait
// delays a stream's end by no more than that.
TEST_F(Gather, AnOpenStreamKeepsTheWaitShort)
{
    make(1);
    start(0);
    worker->pass();
    EXPECT_EQ(worker->wait(10.0).count(), GatherWorker::open_stream_wait.count());
}

TEST_F(Gather, WatchdogEndsTheStreamOfAnInstanceThatWentQuiet)
{
    make(2);
    FakePlayHead head;
    head.playing = true;
    procs[0]->setPlayHead(&head);
    procs[0]->prepareToPlay(48000.0, 512);
    juce::AudioBuffer<float> buffer(1, 512);
    juce::MidiBuffer midi;
    procs[0]->processBlock(buffer, midi);
    worker->pass();
    EXPECT_EQ(log.count("Stream started"), 1u);
    h(0)->watchdog_deadline = 0.0;
    worker->pass(); // the watchdog submits the held buffer and the end marker
    worker->pass();
    EXPECT_EQ(log.count("Stream ended [AP=0x"), 1u);
    EXPECT_EQ(log.count("Recording complete: 2 tracks"), 1u);
    EXPECT_EQ(queued(), Units{0});
    EXPECT_EQ(h(0)->watchdog_deadline.load(), std::numeric_limits<double>::max());
    procs[0]->setPlayHead(nullptr);
}

// While an audio thread waits for this thread (an offline render), its host calls neither that
// instance nor those behind it on the thread: their deadlines run out without the host being at
// fault, and the watchdog leaves them alone.
TEST_F(Gather, WatchdogSparesTheInstancesBehindAnAudioThreadWaitingForTheGatherThread)
{
    make(2);
    for (std::size_t u = 0; u < M::n_spare; ++u)
        deliver(0, u); // instance 0's offered buffers are used up
    h(1)->watchdog_deadline = 0.0;
    std::atomic<float*> got{nullptr};
    std::thread render([&] { got = M::slave_get_buffer(h(0), true); });
    const auto held = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (mgr->watchdog_due(*h(1), mgr->seconds()) && std::chrono::steady_clock::now() < held)
        std::this_thread::yield();
    // The passes take back the used buffers and offer instance 0 one, which ends the wait.
    const auto served = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got == nullptr && std::chrono::steady_clock::now() < served)
    {
        worker->pass();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    render.join();
    EXPECT_NE(got, nullptr);
    EXPECT_EQ(h(1)->watchdog_deadline.load(), 0.0) << "the watchdog ended the play of instance 1";
}

// Time in which this thread did not run does not count either; the watchdog's time starts again
// when it runs, and then the stream of an instance that stays quiet ends.
TEST_F(Gather, WatchdogHoldsOffAfterTheGatherThreadWasHeldUp)
{
    make(1);
    worker->pass();
    h(0)->watchdog_deadline = mgr->seconds() + 0.1;
    worker->wait(0.0); // meant to run again at once, but held up meanwhile
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    worker->pass();
    EXPECT_LT(h(0)->watchdog_deadline.load(), mgr->seconds()) << "the watchdog fired";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (h(0)->watchdog_deadline.load() < mgr->seconds() && std::chrono::steady_clock::now() < end)
    {
        worker->wait(0.1);
        worker->pass();
    }
    EXPECT_EQ(h(0)->watchdog_deadline.load(), std::numeric_limits<double>::max());
}

TEST_F(Gather, AnInstanceRemovedWhileRecordingHasItsStreamsClosed)
{
    make(3);
    start(0);
    start(1);
    deliver(0, 0);
    float* held = M::slave_get_buffer(h(1)); // the instance holds a buffer when it goes
    std::fill(held, held + M::unit_samples, 5.0f);
    worker->pass();
    procs[1].reset();
    EXPECT_EQ(FlipsumManagerProbe::records(*mgr), 3u);
    worker->pass();
    EXPECT_EQ(FlipsumManagerProbe::records(*mgr), 2u);
    EXPECT_EQ(log.count("Stream closed at unregistration"), 1u);
    EXPECT_EQ(log.count(" (OW)"), 1u);
    EXPECT_EQ(log.count(" (FR)"), 3u);
    M::slave_end_rec(h(0));
    worker->pass();
    EXPECT_EQ(log.count("Recording complete: 3 tracks"), 1u);
    worker->pass();
    EXPECT_TRUE(zeroed(held));
}

// The channel-1 end markers' verdicts reach the job with its completion; a track whose instance
// started a second stream in the job, or ended none, stays a track of its own.
TEST_F(Gather, SecondChannelVerdictsReachTheJobWithItsCompletion)
{
    using S = M::second_channel_t;
    make(4, true);
    for (std::size_t i = 0; i < 4; ++i)
        start(i, 1);
    worker->pass();
    const M::job_ptr job = worker->job();
    ASSERT_TRUE(job);
    M::slave_end_rec(h(0), S::silent);
    M::slave_end_rec(h(1), S::copy);
    M::slave_end_rec(h(2), S::copy);
    start(2, 1);
    worker->pass();
    M::slave_end_rec(h(2), S::copy);
    procs[3].reset();
    worker->pass();
    EXPECT_EQ(log.count("Stream already started"), 2u);
    EXPECT_EQ(log.count("Recording complete: 8 tracks"), 1u);
    EXPECT_EQ(job->second_channel,
              (std::vector<S>{S::own, S::silent, S::own, S::copy, S::own, S::own, S::own, S::own}));
}

// A new instance made at the address of one that recorded the running job is not that job's
// track: its stream and its buffers are spurious, not a continuation of the old track.
TEST_F(Gather, ANewInstanceAtARemovedTracksAddressIsNotThatTrack)
{
    make(2);
    start(0);
    start(1);
    deliver(0, 0);
    deliver(1, 0);
    worker->pass();
    const void* old_address = procs[1].get();
    procs[1].reset();
    worker->pass(); // the record is reclaimed and its stream closed
    EXPECT_EQ(log.count("Stream closed at unregistration"), 1u);
    procs[1] = std::make_unique<P>();
    if (procs[1].get() != old_address)
        GTEST_SKIP() << "the allocator did not reuse the address";
    procs[1]->setPlayConfigDetails(1, 1, 48000.0, 512);
    worker->pass(); // grows the pool for the new instance
    worker->pass(); // and offers it
    start(1);
    deliver(1, 1);
    deliver(0, 1);
    worker->pass();
    EXPECT_EQ(log.count("Spurious stream start [AP=0x"), 1u);
    EXPECT_EQ(log.count("Stream already started"), 0u);
    EXPECT_EQ(log.count("Spurious buffer recieved [AP="), 1u);
    M::slave_end_rec(h(0));
    worker->pass();
    EXPECT_EQ(log.count("Recording complete: 2 tracks"), 1u);
    const auto bufs = FlipsumManagerProbe::finish_queued(*mgr);
    ASSERT_EQ(bufs.size(), 2u);
    EXPECT_EQ(bufs[1][1], nullptr) << "the removed track has nothing in unit 1";
}
} // namespace
