// The gather thread's buffer bookkeeping on its own: instance records made here, a pool and a
// mutex of the test's, and the pool's clock given by hand.

#include "engine/RecordBufferPool.h"
#include "EngineTestSupport.h"
#include "HandoverTestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace
{
using M = FlipsumManager;

struct Pool : ::testing::Test
{
    RecordBufferPool::pool_t buffers;
    CheckedMutex mutex;
    RecordBufferPool pool{buffers, mutex, 0.0};
    M::apState_t a{nullptr, nullptr}, b{nullptr, nullptr};

    // One pass's pool steps for the given records at time now.
    bool pass(double now, std::initializer_list<M::apState_t*> recs)
    {
        pool.begin_pass(now);
        pool.refill(now);
        pool.reset_needed();
        for (auto* r : recs)
            pool.offer(*r, nullptr);
        pool.leak_check(now);
        const bool grew = pool.grow();
        pool.shrink(now);
        return grew;
    }
    static std::size_t offered(const M::apState_t& r)
    {
        std::size_t n = 0;
        for (const auto& s : r.spare_buf)
            n += s.load() != nullptr;
        return n;
    }
    static bool zero(const float* buf)
    {
        for (std::size_t i = 0; i < M::unit_samples; ++i)
            if (buf[i] != 0.0f)
                return false;
        return true;
    }
};

TEST_F(Pool, GrowsByTheEmptySparesThenOffersZeroedBuffersInTheNextPass)
{
    EXPECT_TRUE(pass(0.1, {&a, &b}));
    EXPECT_EQ(pool.needed(), 8u);
    EXPECT_EQ(buffers.size(), 8u);
    EXPECT_EQ(offered(a) + offered(b), 0u); // allocated buffers wait for the next pass's refill
    EXPECT_FALSE(pass(0.2, {&a, &b}));
    EXPECT_EQ(offered(a) + offered(b), 8u);
    EXPECT_EQ(pool.needed(), 0u);
    std::set<float*> distinct;
    for (auto* r : {&a, &b})
        for (auto& s : r->spare_buf)
        {
            EXPECT_TRUE(zero(s.load()));
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s.load()) % 64, 0u);
            distinct.insert(s.load());
        }
    EXPECT_EQ(distinct.size(), 8u);
}

TEST_F(Pool, ReturnedAndReclaimedBuffersComeBackZeroed)
{
    pass(0.1, {&a});
    pass(0.2, {&a});
    // The instance fills one, it "comes back" through a unit; another is reclaimed from a record
    // whose instance went away, from each kind of slot.
    float* used = a.spare_buf[0].exchange(nullptr);
    std::fill(used, used + M::unit_samples, 0.5f);
    pool.give_back(used);
    a.owned_buf[0] = a.spare_buf[1].exchange(nullptr);
    a.owned_buf[0].load()[7] = 1.0f;
    a.submit_slot[3].buf = a.spare_buf[2].exchange(nullptr);
    a.submit_slot[3].buf[9] = 2.0f;
    a.submit_slot[4].buf = reinterpret_cast<float*>(M::marker_stream_end); // markers are dropped
    pool.reclaim(a, nullptr);
    EXPECT_EQ(pool.returned(), 4u);
    pool.refill(0.3);
    pass(0.3, {&b});
    EXPECT_EQ(offered(b), 4u);
    for (auto& s : b.spare_buf)
        EXPECT_TRUE(zero(s.load()));
    EXPECT_EQ(buffers.size(), 4u); // nothing new was allocated
}

TEST_F(Pool, ShrinkAfterAQuietSpellFreesOnlyWhatIsNotOffered)
{
    pass(0.0, {&a, &b});
    pass(0.0, {&a, &b});
    // b goes away: its four buffers come back; a keeps its spares.
    pool.reclaim(b, nullptr);
    for (auto& s : b.spare_buf)
        s.store(nullptr);
    pass(1.0, {&a}); // the refill at 1.0 is the last return
    EXPECT_EQ(pool.available(), 4u);
    pass(6.0, {&a});
    EXPECT_EQ(buffers.size(), 8u) << "5.0 s have not passed since the last return";
    pass(6.01, {&a});
    EXPECT_EQ(pool.available(), 0u);
    ASSERT_EQ(buffers.size(), 4u);
    std::set<float*> kept, spares;
    for (std::size_t i = 0; i < 4; ++i)
    {
        kept.insert(buffers[i].get());
        spares.insert(a.spare_buf[i].load());
    }
    EXPECT_EQ(kept, spares);
}

TEST_F(Pool, LeakCheckRunsOnlyAtLevelSixAndAtMostEveryFiveSeconds)
{
    const LogReader log;
    pass(0.0, {&a});
    pass(0.0, {&a});
    // A buffer that is in none of the known places: taken out of a spare slot and dropped.
    a.spare_buf[0].store(nullptr);
    {
        const logtest::LevelScope level(5);
        EXPECT_FALSE(pool.begin_pass(10.0));
    }
    const logtest::LevelScope level(6);
    EXPECT_TRUE(pool.begin_pass(10.0));
    pass(10.0, {&a}); // a's empty slot is refilled from nothing: the buffer stays lost
    EXPECT_EQ(log.count("(possible) Leaked buffer found 0x"), 1u);
    pass(14.0, {&a});
    EXPECT_EQ(log.count("(possible) Leaked buffer found 0x"), 1u) << "within 5 s of the last check";
    pass(15.5, {&a});
    EXPECT_EQ(log.count("(possible) Leaked buffer found 0x"), 2u);
}

TEST_F(Pool, FailedAllocationNeverOffersANullBuffer)
{
    const LogReader log;
    const logtest::LevelScope level(2);
    static int calls;
    calls = 0;
    pool.allocate = []() -> float*
    {
        // The third allocation fails.
        return ++calls == 3 ? nullptr : RecordBufferPool::allocate_record_buffer();
    };
    EXPECT_TRUE(pass(0.1, {&a}));
    EXPECT_EQ(buffers.size(), 2u);
    pass(0.2, {&a});
    EXPECT_EQ(offered(a), 2u);
    for (auto& s : a.spare_buf)
        EXPECT_TRUE(s.load() == nullptr || zero(s.load()));
    EXPECT_EQ(buffers.size(), 4u); // the next pass tried again and succeeded
    EXPECT_EQ(log.count("Buffer allocation failed"), 1u);
}
// Whether a thread holds the mutex now (another thread tries to take it).
bool held_elsewhere(CheckedMutex& mutex)
{
    bool free_now = false;
    std::thread(
        [&]
        {
            if (mutex.try_lock())
            {
                free_now = true;
                mutex.unlock();
            }
        })
        .join();
    return !free_now;
}

// Growth makes many buffers in one pass, each mapped, zeroed and made resident: that work runs
// without the first mutex, which an audio thread opening a stream waits for.
TEST_F(Pool, GrowthMakesBuffersWithoutHoldingTheFirstMutex)
{
    static CheckedMutex* first;
    static int made_while_held;
    first = &mutex;
    made_while_held = 0;
    pool.allocate = []() -> float*
    {
        made_while_held += held_elsewhere(*first) ? 1 : 0;
        return RecordBufferPool::allocate_record_buffer();
    };
    EXPECT_TRUE(pass(0.1, {&a, &b}));
    EXPECT_EQ(buffers.size(), 8u);
    EXPECT_EQ(made_while_held, 0);
    pass(0.2, {&a, &b});
    EXPECT_EQ(offered(a) + offered(b), 8u);
}

// The shrink frees buffers after releasing the first mutex, as growth makes them: after a large
// job it may free hundreds, each unmapped in tens of microseconds.
TEST_F(Pool, ShrinkFreesBuffersWithoutHoldingTheFirstMutex)
{
    static CheckedMutex* first;
    static int freed, freed_while_held;
    first = &mutex;
    freed = freed_while_held = 0;
    pool.release = [](float* buf)
    {
        ++freed;
        freed_while_held += held_elsewhere(*first) ? 1 : 0;
        RecordBufferPool::release_record_buffer(buf);
    };
    pass(0.0, {&a, &b});
    pass(0.0, {&a, &b});
    pool.reclaim(b, nullptr);
    for (auto& s : b.spare_buf)
        s.store(nullptr);
    pass(1.0, {&a});
    pass(6.01, {&a});
    EXPECT_EQ(buffers.size(), 4u);
    EXPECT_EQ(freed, 4);
    EXPECT_EQ(freed_while_held, 0);
}
} // namespace
