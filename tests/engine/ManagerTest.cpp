// The shared manager: lifetime and worker threads, roles, the settings' echo stop, the state chunk.

#include "EngineTestSupport.h"
#include "HandoverTestSupport.h"
#include "engine/OnStart.h"
#include "engine/RecordBufferPool.h"

#include "../support/ThreadCount.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <memory>
#include <system_error>

namespace
{
using P = FlipsumAudioProcessor;
using M = FlipsumManager;

struct Manager : ::testing::Test
{
    void SetUp() override { logger::manager::dynamic_loglevel = 8; }
    void TearDown() override { logger::manager::dynamic_loglevel = 0; }
};

TEST_F(Manager, LivesWhileAnInstanceIsRegisteredAndStopsBothThreads)
{
    const LogReader log;
    auto a = std::make_unique<P>();
    std::weak_ptr<M> first = M::get_inst();
    EXPECT_EQ(FlipsumManagerProbe::gather_state(*first.lock()), 1);
    EXPECT_EQ(FlipsumManagerProbe::process_state(*first.lock()), 1);
    EXPECT_EQ(onstart.use_counter.load(), 1u);

    auto b = std::make_unique<P>();
    EXPECT_EQ(b->handle()->mgr, first.lock());
    a.reset();
    EXPECT_FALSE(first.expired());
    b.reset();
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(onstart.use_counter.load(), 0u);
    EXPECT_EQ(log.count("\"void FlipsumManager::gather_thread_func()\",Exit ("), 1u);
    EXPECT_EQ(log.count("\"void FlipsumManager::process_thread_func()\",Exit ("), 1u);
    EXPECT_EQ(log.count("Signaling worker gather thread to shut down"), 1u);
    EXPECT_EQ(log.count("OnStart unload"), 1u);

    // A new instance makes a new manager, which lists the algorithms again.
    auto c = std::make_unique<P>();
    EXPECT_EQ(FlipsumManagerProbe::gather_state(*c->handle()->mgr), 1);
    EXPECT_EQ(log.count(",Correlation Algorithms:"), 2u);
    EXPECT_EQ(log.count(",FlipOpt Algorithms:"), 2u);
    // Both constructors log under the signature without the access tag.
    EXPECT_EQ(log.count(",1,\"FlipsumManager::FlipsumManager()\",Enter"), 2u);
    EXPECT_EQ(log.count(",6,\"FlipsumManager::FlipsumManager()\",Worker processing started"), 2u);
}

using test_support::settled_threads;
using test_support::threads_down_to;

// A worker thread whose start throws, whatever it throws: the manager is not made, a worker
// already started is stopped and joined (destroying it joinable would end the process), and the
// caller gets the promised std::system_error.
TEST_F(Manager, AThreadThatCannotStartLeavesNoWorkerBehind)
{
    static bool fail_gather;
    static int fail_kind;
    const auto failing = [](M& m, FlipsumManagerProbe::thread_body_t body) -> std::thread
    {
        if (FlipsumManagerProbe::is_gather_thread(body) == fail_gather)
        {
            if (fail_kind == 0)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            if (fail_kind == 1)
                throw std::bad_alloc();
            throw 7;
        }
        return FlipsumManagerProbe::start_thread(m, body);
    };
    ASSERT_EQ(onstart.use_counter.load(), 0u) << "no manager may exist";
    std::thread([] {}).join(); // a sanitizer starts a thread of its own with the first one
    const unsigned before = settled_threads();
    for (const bool gather : {true, false})
        for (const int kind : {0, 1, 2})
        {
            SCOPED_TRACE(testing::Message()
                         << (gather ? "gather" : "processing") << " thread, kind " << kind);
            fail_gather = gather;
            fail_kind = kind;
            FlipsumManagerProbe::set_thread_starter(failing);
            std::string what;
            try
            {
                M::get_inst();
            }
            catch (const std::system_error& e)
            {
                what = e.what();
            }
            FlipsumManagerProbe::set_thread_starter(&FlipsumManagerProbe::start_thread);
            EXPECT_NE(what.find("thread constructor failed"), std::string::npos) << what;
            EXPECT_EQ(threads_down_to(before), before);
            EXPECT_EQ(onstart.use_counter.load(), 0u);
        }
    const auto p = std::make_unique<P>();
    EXPECT_EQ(FlipsumManagerProbe::gather_state(*p->handle()->mgr), 1);
}

// Something that is not a standard exception thrown inside a gather pass is logged, and the
// thread goes on with its next pass.
TEST_F(Manager, GatherThreadOutlivesAnyExceptionOfAPass)
{
    const LogReader log;
    static int calls;
    calls = 0;
    RecordBufferPool::default_allocator = []() -> float*
    {
        if (++calls == 1)
            throw 7;
        return RecordBufferPool::allocate_record_buffer();
    };
    const auto p = std::make_unique<P>();
    RecordBufferPool::default_allocator = &RecordBufferPool::allocate_record_buffer;
    const auto offered = [&]
    {
        for (const auto& s : p->handle()->spare_buf)
            if (s.load() == nullptr)
                return false;
        return true;
    };
    EXPECT_TRUE(logtest::pump_until(offered));
    EXPECT_EQ(
        log.count("\"void FlipsumManager::gather_thread_func()\",Exception! (not a standard exception)"), 1u);
}

// Instances made and armed in one go, and one made while armed: each has its spare buffers by
// the time the call returns, so a transport start at once records from its first block (a
// real-time audio thread cannot wait for buffers).
TEST_F(Manager, ArmingReadiesTheRecordBuffersOfEveryInstance)
{
    logger::manager::dynamic_loglevel = 0;
    FakePlayHead head;
    juce::AudioBuffer<float> buffer(2, 96);
    juce::MidiBuffer midi;
    std::vector<std::unique_ptr<P>> procs;
    const auto start_from = [&](std::size_t first)
    {
        head.playing = true;
        for (std::size_t i = first; i < procs.size(); ++i)
        {
            procs[i]->setPlayHead(&head);
            procs[i]->prepareToPlay(48000.0, 96);
            procs[i]->processBlock(buffer, midi);
            for (const auto& owned : procs[i]->handle()->owned_buf)
                EXPECT_NE(owned.load(), nullptr) << "instance " << i << ": both channels record at once";
        }
    };
    for (int i = 0; i < 24; ++i)
        procs.push_back(std::make_unique<P>());
    M& mgr = *procs[0]->handle()->mgr;
    mgr.set_recording_armed_internal(true);
    start_from(0);
    procs.push_back(std::make_unique<P>());
    start_from(24);

    head.playing = false;
    for (const auto& p : procs)
    {
        p->processBlock(buffer, midi);
        p->setPlayHead(nullptr);
    }
    mgr.set_recording_armed_internal(false);
}

TEST_F(Manager, InstanceAtAReusedAddressGetsAFreshRecord)
{
    const auto keeper = std::make_unique<P>();
    // No gather thread: the unregistered record must still be waiting when the address comes back.
    FlipsumManagerProbe::stop_workers(*keeper->handle()->mgr);
    auto a = std::make_unique<P>();
    const void* old_address = a.get();
    const M::slave_hnd_t old_record = a->handle();
    a.reset();
    auto b = std::make_unique<P>();
    if (b.get() != old_address)
        GTEST_SKIP() << "the allocator did not reuse the address";
    EXPECT_NE(b->handle(), old_record);
    EXPECT_EQ(b->handle()->proc, b.get());
    EXPECT_EQ(FlipsumManagerProbe::retired(*keeper->handle()->mgr), 1u);
    EXPECT_EQ(keeper->handle()->mgr->get_slave_cnt_internal(), 2u);
}

TEST_F(Manager, MasterHandOverDemotesDisarmsAndClearSends)
{
    std::unique_ptr<P> p[4];
    for (auto& x : p)
        x = std::make_unique<P>();
    M& mgr = *p[0]->handle()->mgr;
    EXPECT_EQ(mgr.get_slave_cnt_internal(), 4u);
    EXPECT_EQ(mgr.master(), nullptr);

    p[0]->set_as_master();
    EXPECT_EQ(mgr.master(), p[0].get());
    EXPECT_EQ(mgr.get_slave_cnt_internal(), 3u);
    mgr.set_recording_armed_internal(true);

    p[1]->set_as_master(); // the previous master becomes off and the analysis is disarmed
    EXPECT_EQ(p[0]->get_mode(), P::ROLE_OFF);
    EXPECT_EQ(p[1]->get_mode(), P::ROLE_MASTER);
    EXPECT_EQ(mgr.master(), p[1].get());
    EXPECT_FALSE(FlipsumManagerProbe::armed(mgr));

    mgr.clear_slaves_internal();
    EXPECT_EQ(p[2]->get_mode(), P::ROLE_OFF);
    EXPECT_EQ(p[3]->get_mode(), P::ROLE_OFF);
    EXPECT_EQ(p[1]->get_mode(), P::ROLE_MASTER);
    EXPECT_EQ(mgr.get_slave_cnt_internal(), 0u);

    p[3]->set_not_master(true);
    EXPECT_EQ(mgr.get_slave_cnt_internal(), 1u);
    mgr.set_recording_armed_internal(true);
    p[1].reset(); // removing the master disarms
    EXPECT_EQ(mgr.master(), nullptr);
    EXPECT_FALSE(FlipsumManagerProbe::armed(mgr));
}

TEST_F(Manager, UnchangedSettingIsLoggedAndChangesNothing)
{
    const auto p = std::make_unique<P>();
    p->set_as_master();
    M& mgr = *p->handle()->mgr;
    const std::string notify = "\"void FlipsumManager::notify_master_editor(";
    const struct
    {
        const char* signature;
        std::function<void()> same, change;
        std::function<bool()> changed;
    } cases[] = {
        {"set_recording_armed_internal", [&] { mgr.set_recording_armed_internal(false); },
         [&] { mgr.set_recording_armed_internal(true); }, [&] { return FlipsumManagerProbe::armed(mgr); }},
        {"set_bypass_all_internal", [&] { mgr.set_bypass_all_internal(false); },
         [&] { mgr.set_bypass_all_internal(true); }, [&] { return mgr.get_bypass_all_internal(); }},
        {"set_alg_mode_internal", [&] { mgr.set_alg_mode_internal(M::ALG_FULL); },
         [&] { mgr.set_alg_mode_internal(M::ALG_FAST); },
         [&] { return mgr.get_alg_mode_internal() == M::ALG_FAST; }},
        {"set_filter_mode_internal", [&] { mgr.set_filter_mode_internal(M::FILT_OFF); },
         [&] { mgr.set_filter_mode_internal(M::FILT_LOWBOOST); },
         [&] { return mgr.get_filter_mode_internal() == M::FILT_LOWBOOST; }},
        {"set_norm_mode_internal", [&] { mgr.set_norm_mode_internal(M::NORM_OFF); },
         [&] { mgr.set_norm_mode_internal(M::NORM_PEAK); },
         [&]
         {
             std::uint8_t chunk[4];
             mgr.getStateInformation_internal(chunk);
             return chunk[2] == M::NORM_PEAK;
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.signature);
        const LogReader same;
        c.same();
        // Only this thread's records: the manager's gather thread logs its passes meanwhile.
        std::vector<std::string> lines;
        std::uint32_t thread = 0;
        for (const auto& line : same.lines())
        {
            const auto r = logtest::parse(line);
            if (thread == 0 && r.text == "Enter" && r.function.find(c.signature) != std::string::npos)
                thread = r.thread;
            if (thread != 0 && r.thread == thread)
                lines.push_back(line);
        }
        ASSERT_EQ(lines.size(), 3u); // Enter, Args, Exit
        EXPECT_NE(lines[1].find(std::string(c.signature) + "("), std::string::npos);
        EXPECT_NE(lines[1].find(",Args: this=0x"), std::string::npos);
        EXPECT_FALSE(c.changed());

        const LogReader change;
        c.change();
        EXPECT_TRUE(c.changed());
        EXPECT_EQ(change.count(notify), 3u); // Enter, Args, Exit: the master's editor is looked up
    }
    std::ostringstream expected;
    expected << ",Args: this=0x" << logger::hex(&mgr) << ", mode=NORM_RMS";
    const LogReader args;
    mgr.set_norm_mode_internal(M::NORM_RMS);
    EXPECT_EQ(args.count(expected.str()), 1u);
}

TEST_F(Manager, StateChunkBytesForEveryVersionAndLength)
{
    const auto p = std::make_unique<P>();
    M& mgr = *p->handle()->mgr;
    std::uint8_t out[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(mgr.getStateInformation_internal(out), out + 4);
    EXPECT_EQ(std::vector<int>(out, out + 6), (std::vector<int>{2, 1, 0, 0, 9, 9}));

    const auto chunk_after = [&](std::vector<std::uint8_t> bytes, std::size_t size, std::size_t consumed,
                                 std::vector<int> expected)
    {
        SCOPED_TRACE(::testing::PrintToString(bytes) + " size " + std::to_string(size));
        mgr.set_alg_mode_internal(M::ALG_FULL);
        mgr.set_norm_mode_internal(M::NORM_PEAK);
        mgr.set_filter_mode_internal(M::FILT_LOWBOOST);
        EXPECT_EQ(mgr.setStateInformation_internal(bytes.data(), size), bytes.data() + consumed);
        std::uint8_t now[4];
        mgr.getStateInformation_internal(now);
        EXPECT_EQ(std::vector<int>(now + 1, now + 4), expected);
    };
    chunk_after({2, 0, 2, 0}, 4, 4, {0, 2, 0});
    chunk_after({2, 0, 2, 0}, 3, 3, {0, 2, 1});
    chunk_after({2, 0, 2, 0}, 2, 2, {0, 1, 1});
    chunk_after({2, 0, 2, 0}, 1, 1, {1, 1, 1});
    chunk_after({2, 0, 2, 0}, 0, 0, {1, 1, 1});
    chunk_after({5, 0, 0, 1}, 4, 4, {0, 0, 1}); // later versions read like 2
    chunk_after({2, 7, 7, 7}, 4, 4, {1, 1, 1}); // out of range values change nothing
    chunk_after({1, 0, 2, 1}, 4, 3, {0, 2, 0}); // version 1: three bytes, filter off
    chunk_after({1, 0, 2}, 2, 2, {0, 1, 1});    // version 1 cut short: filter kept
    chunk_after({0, 0, 2, 0}, 4, 1, {1, 1, 0}); // version 0: the filter only
}
} // namespace
