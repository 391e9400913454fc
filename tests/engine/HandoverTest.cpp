// The lock-free hand-over of recordings between an instance and the gather side.

#include "HandoverTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace
{
using M = FlipsumManager;

struct Handover : ::testing::Test
{
    std::unique_ptr<FlipsumAudioProcessor> proc = std::make_unique<FlipsumAudioProcessor>();
    M::slave_hnd_t hnd = proc->handle();
    GatherDetach detached{*proc};
    FakeGather gather{8, false};

    void arm(bool yes) { hnd->mgr->set_recording_armed_internal(yes); }
    std::vector<std::pair<std::uintptr_t, std::size_t>> markers()
    {
        std::vector<std::pair<std::uintptr_t, std::size_t>> out;
        for (const auto& t : gather.drain(*hnd))
            out.emplace_back(t.marker, t.ch);
        return out;
    }
    using Markers = std::vector<std::pair<std::uintptr_t, std::size_t>>;
};

TEST_F(Handover, StreamMarkersPerChannelMode)
{
    arm(true);
    for (const M::slave_channel_mode_t mode : {0u, 1u, 2u})
    {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(M::slave_start_rec(hnd, mode));
        EXPECT_TRUE(hnd->recording.load());
        M::slave_end_rec(hnd);
        M::slave_end_rec(hnd); // a second end submits nothing
        const Markers expected =
            mode == 1 ? Markers{{1, 0}, {1, 1}, {2, 0}, {2, 1}} : Markers{{1, 0}, {2, 0}};
        EXPECT_EQ(markers(), expected);
        EXPECT_FALSE(hnd->recording.load());
    }
    // A second start without an end submits the start markers again.
    ASSERT_TRUE(M::slave_start_rec(hnd, 0));
    ASSERT_TRUE(M::slave_start_rec(hnd, 0));
    EXPECT_EQ(markers(), (Markers{{1, 0}, {1, 0}}));
    // After a marker is taken its slot keeps the marker value.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(hnd->submit_slot[0].buf), 1u);
}

TEST_F(Handover, NothingOpensWhileDisarmedOrBypassed)
{
    EXPECT_FALSE(M::slave_start_rec(hnd, 1));
    arm(true);
    hnd->mgr->set_bypass_all_internal(true);
    EXPECT_FALSE(M::slave_start_rec(hnd, 1));
    M::slave_end_rec(hnd);
    EXPECT_TRUE(markers().empty());
    EXPECT_FALSE(hnd->recording.load());
}

TEST_F(Handover, BuffersMoveFromSpareToOwnedToRing)
{
    EXPECT_EQ(M::slave_get_buffer(hnd), nullptr); // nothing offered: gives up at once
    gather.offer(*hnd);
    float* a = M::slave_get_buffer(hnd);
    float* b = M::slave_get_buffer(hnd);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(hnd->owned_buf[0].load(), a);
    EXPECT_EQ(hnd->owned_buf[1].load(), b);
    const auto spares = [&]
    {
        std::vector<float*> v;
        for (auto& s : hnd->spare_buf)
            v.push_back(s.load());
        return v;
    };
    const auto before = spares();
    EXPECT_EQ(M::slave_get_buffer(hnd), nullptr); // both owned slots in use
    EXPECT_EQ(spares(), before);

    float not_owned[4];
    EXPECT_FALSE(M::slave_submit_buffer(hnd, 0, nullptr, 0));
    EXPECT_FALSE(M::slave_submit_buffer(hnd, 0, not_owned, 0));
    EXPECT_TRUE(M::slave_submit_buffer(hnd, 1, b, 7));
    EXPECT_FALSE(M::slave_submit_buffer(hnd, 1, b, 7)); // already submitted
    EXPECT_EQ(hnd->owned_buf[1].load(), nullptr);

    const auto& slot = hnd->submit_slot[0];
    EXPECT_EQ(slot.state.load(), M::SLOT_READY);
    const auto taken = gather.drain(*hnd);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].bufnum, 7u);
    EXPECT_EQ(taken[0].ch, 1u);
    EXPECT_EQ(slot.buf, nullptr);
    EXPECT_EQ(slot.bufnum, 0u);
    EXPECT_EQ(slot.ch, 0u);
    EXPECT_EQ(slot.state.load(), M::SLOT_FREE);
}

TEST_F(Handover, FullRingDropsEntriesButKeepsRoomForTheStreamEnds)
{
    arm(true);
    ASSERT_TRUE(M::slave_start_rec(hnd, 1)); // 2 start markers, 2 slots kept for the ends
    std::size_t submitted = 0, dropped = 0;
    for (std::size_t unit = 0; unit < 6; ++unit)
    {
        gather.offer(*hnd);
        float* buf = M::slave_get_buffer(hnd);
        ASSERT_NE(buf, nullptr);
        if (M::slave_submit_buffer(hnd, 0, buf, unit))
            ++submitted;
        else
        {
            ++dropped;
            EXPECT_EQ(hnd->owned_buf[0].load() == buf || hnd->owned_buf[1].load() == buf, true);
            break;
        }
    }
    EXPECT_EQ(submitted, 4u);
    EXPECT_EQ(dropped, 1u);
    M::slave_end_rec(hnd);
    EXPECT_EQ(M::free_submit_slots(*hnd), 0u);
    EXPECT_FALSE(M::slave_submit(hnd, 0, reinterpret_cast<float*>(2), 0)); // a ninth entry: no wait

    const auto taken = gather.drain(*hnd);
    EXPECT_EQ(std::count_if(taken.begin(), taken.end(), [](const Taken& t) { return t.marker == 2; }), 2);
    // The ring drained: the next entry takes the first free slot.
    EXPECT_TRUE(M::slave_submit(hnd, 0, reinterpret_cast<float*>(1), 0));
    EXPECT_EQ(hnd->submit_slot[0].state.load(), M::SLOT_READY);
}

TEST_F(Handover, StartNeedsRoomForItsMarkersAndEnds)
{
    arm(true);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(M::slave_submit(hnd, 0, reinterpret_cast<float*>(2), 0));
    EXPECT_FALSE(M::slave_start_rec(hnd, 1)); // 3 free slots, 4 needed
    EXPECT_FALSE(hnd->recording.load());
    EXPECT_TRUE(M::slave_start_rec(hnd, 0));
}

// The audio side and the gather side on two threads: every buffer arrives exactly once with what
// was written into it, every stream end arrives, and a buffer is never on both sides at once.
TEST_F(Handover, TwoThreadsHammeringTheSlots)
{
    arm(true);
    constexpr std::size_t streams = 300;
    std::atomic<bool> done{false};
    std::atomic<std::size_t> written{0};
    std::set<std::size_t> received;
    std::size_t starts = 0, ends = 0, duplicates = 0, corrupt = 0;

    std::thread gather_side(
        [&]
        {
            FakeGather g{12, true};
            const auto take = [&]
            {
                for (const auto& t : g.drain(*hnd))
                {
                    starts += t.marker == 1;
                    ends += t.marker == 2;
                    if (t.marker != 0)
                        continue;
                    duplicates += !received.insert(t.bufnum).second;
                    corrupt += t.samples[0] != float(t.bufnum) || t.samples[65535] != float(t.bufnum);
                }
            };
            while (!done.load())
            {
                take();
                g.offer(*hnd);
                std::this_thread::yield();
            }
            take();
        });

    std::size_t bufnum = 0, dropped = 0, not_zero = 0;
    float* held = nullptr; // a buffer that could not be handed over serves again, as in the processor
    for (std::size_t s = 0; s < streams; ++s)
    {
        while (!M::slave_start_rec(hnd, 1))
            std::this_thread::yield();
        for (int unit = 0; unit < 5; ++unit)
        {
            float* buf = held != nullptr ? held : M::slave_get_buffer(hnd);
            held = nullptr;
            if (buf == nullptr)
                continue;
            not_zero += buf[0] != 0.0f || buf[65535] != 0.0f;
            ++bufnum;
            buf[0] = buf[65535] = float(bufnum);
            if (M::slave_submit_buffer(hnd, unit & 1, buf, bufnum))
                written.fetch_add(1);
            else
            {
                ++dropped;
                buf[0] = buf[65535] = 0.0f;
                held = buf;
            }
        }
        M::slave_end_rec(hnd);
    }
    while (M::free_submit_slots(*hnd) != M::n_submit)
        std::this_thread::yield();
    done.store(true);
    gather_side.join();

    EXPECT_EQ(received.size(), written.load());
    EXPECT_GT(written.load(), streams);
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(corrupt, 0u);
    EXPECT_EQ(not_zero, 0u);
    EXPECT_EQ(starts, 2 * streams);
    EXPECT_EQ(ends, 2 * streams);
    ::testing::Test::RecordProperty("dropped", static_cast<int>(dropped));
}
} // namespace
