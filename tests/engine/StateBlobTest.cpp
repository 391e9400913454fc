// The 11-byte state blob of an instance: bytes, older versions, truncation and garbage, and what the
// host hears of its changes.

#include "EngineTestSupport.h"
#include "HandoverTestSupport.h"

#include "../support/StateNotices.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace
{
using P = FlipsumAudioProcessor;
using M = FlipsumManager;
using Bytes = std::vector<std::uint8_t>;

struct Blob : ::testing::Test
{
    std::unique_ptr<P> proc = std::make_unique<P>();
    M& mgr = *proc->handle()->mgr;

    Bytes save(P& p)
    {
        juce::MemoryBlock block;
        p.getStateInformation(block);
        const auto* data = static_cast<const std::uint8_t*>(block.getData());
        return Bytes(data, data + block.getSize());
    }
    Bytes save() { return save(*proc); }
    // Loads from a heap copy of exactly the blob's size, so that a read past its end is caught by the
    // address sanitizer.
    void load(const Bytes& b, std::size_t size)
    {
        const auto copy = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(size, 1));
        std::copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(size), copy.get());
        proc->setStateInformation(size ? copy.get() : nullptr, static_cast<int>(size));
    }
    void load(const Bytes& b) { load(b, b.size()); }
};

TEST_F(Blob, DefaultInstanceSavesTheDocumentedBytes)
{
    EXPECT_EQ(save(), (Bytes{3, 2, 1, 0, 0, 1, 1, 1, 200, 0, 0}));
}

TEST_F(Blob, GainCodeIsRoundedAndEveryStepRoundTrips)
{
    const auto code_bytes = [&]
    {
        const Bytes s = save();
        return Bytes{s[8], s[9]};
    };
    proc->set_gain(-20.0f);
    EXPECT_EQ(code_bytes(), (Bytes{0, 0}));
    proc->set_gain(20.0f);
    EXPECT_EQ(code_bytes(), (Bytes{144, 1}));
    proc->set_gain(-19.7f); // truncation would give 2 and load back as -19.8 dB
    EXPECT_EQ(save()[8], 3);
    for (unsigned code = 0; code <= 400; ++code)
    {
        load({3, 2, 1, 0, 0, 1, 1, 1, std::uint8_t(code & 0xFF), std::uint8_t(code >> 8), 0});
        ASSERT_EQ(proc->get_gain(), float(code) * 0.1f - 20.0f);
        const Bytes saved = save();
        ASSERT_EQ(saved[8] + 256u * saved[9], code);
    }
    load({3, 2, 1, 0, 0, 1, 1, 1, 0xFF, 0xFF, 0}); // above 400: clamped
    EXPECT_EQ(proc->get_gain(), 20.0f);
}

TEST_F(Blob, OlderVersionsLoadWhatTheyHoldAndDefaultTheRest)
{
    const auto customise = [&]
    {
        load({3, 2, 0, 1, 1, 0, 0, 0, 50, 0, 1}); // fast, peak, low boost, off, inverted, -15 dB, mono
        ASSERT_EQ(save(), (Bytes{3, 2, 0, 1, 1, 0, 0, 0, 50, 0, 1}));
    };
    customise();
    load({0});
    EXPECT_EQ(save(), (Bytes{3, 2, 0, 1, 1, 0, 0, 0, 200, 0, 0}));

    customise();
    load({1, 2, 1, 2, 0, 1, 7, 0});
    EXPECT_EQ(save(), (Bytes{3, 2, 1, 2, 0, 1, 1, 0, 200, 0, 0}));

    customise();
    load({1, 1, 1, 0, 2, 0, 1}); // a version-1 blob with a version-1 chunk: filter off
    EXPECT_EQ(save(), (Bytes{3, 2, 1, 0, 0, 2, 0, 1, 200, 0, 0}));

    customise();
    load({2, 2, 0, 1, 1, 0, 0, 0, 0x2C, 0x01});
    EXPECT_EQ(save(), (Bytes{3, 2, 0, 1, 1, 0, 0, 0, 0x2C, 0x01, 0}));

    customise();
    load({4, 2, 0, 1, 1, 5, 0, 0, 50, 0, 0, 99, 99}); // unknown role ignored, trailing bytes ignored
    EXPECT_EQ(save(), (Bytes{3, 2, 0, 1, 1, 0, 0, 0, 50, 0, 0}));
}

TEST_F(Blob, EveryTruncationAppliesExactlyTheBytesItHolds)
{
    const Bytes full{3, 2, 0, 2, 1, 0, 0, 0, 50, 0, 1};
    const Bytes before{3, 2, 1, 0, 0, 1, 1, 1, 230, 0, 0};
    for (std::size_t size = 0; size <= full.size(); ++size)
    {
        SCOPED_TRACE(size);
        load(before);
        ASSERT_EQ(save(), before);
        load(full, size);
        Bytes expected = before;
        for (std::size_t k = 2; k < full.size(); ++k)
            if (k < size && (k != 8 || size > 9))
                expected[k] = full[k];
        EXPECT_EQ(save(), expected);
    }
}

TEST_F(Blob, RestoredMasterDemotesTheOtherMaster)
{
    const auto other = std::make_unique<P>();
    other->set_as_master();
    load({3, 2, 1, 0, 0, 2, 1, 1, 200, 0, 0});
    EXPECT_EQ(proc->get_mode(), P::ROLE_MASTER);
    EXPECT_EQ(other->get_mode(), P::ROLE_OFF);
    EXPECT_EQ(mgr.master(), proc.get());
}

TEST_F(Blob, GarbageOfEveryLengthLeavesEveryFieldInRange)
{
    const auto other = std::make_unique<P>();
    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t size = 0; size <= 40; ++size)
    {
        for (int round = 0; round < 25; ++round)
        {
            Bytes blob(size);
            for (auto& b : blob)
                b = static_cast<std::uint8_t>(byte(rng) < 128 ? byte(rng) % 5 : byte(rng));
            load(blob);
            for (P* p : {proc.get(), other.get()})
            {
                const Bytes s = save(*p);
                ASSERT_EQ(s.size(), 11u);
                EXPECT_EQ(s[0], 3);
                EXPECT_EQ(s[1], 2);
                EXPECT_LE(s[2], 1);
                EXPECT_LE(s[3], 2);
                EXPECT_LE(s[4], 1);
                EXPECT_LE(s[5], 2);
                EXPECT_LE(s[6], 1);
                EXPECT_LE(s[7], 1);
                EXPECT_LE(s[8] + 256 * s[9], 400);
                EXPECT_LE(s[10], 1);
                EXPECT_TRUE(p->get_gain() >= -20.0f && p->get_gain() <= 20.0f);
                EXPECT_EQ(std::abs(p->get_polarity(0)), 1);
            }
            EXPECT_FALSE(proc->get_mode() == P::ROLE_MASTER && other->get_mode() == P::ROLE_MASTER);
        }
    }
}

// Every change of a value that a blob holds tells the host of every instance once (changes close
// together once); a set that changes nothing and a restored state tell no host anything, and an
// instance made after a change tells nothing of it.
TEST_F(Blob, EveryHostHearsOfEveryChangeOfASavedValueAndOfNothingElse)
{
    const auto master = std::make_unique<P>();
    const test_support::StateNotices send_heard(*proc), master_heard(*master);
    const struct
    {
        const char* what;
        std::function<void()> change;
    } changes[] = {
        {"master role", [&] { master->set_as_master(); }},
        {"gain", [&] { proc->set_gain(-3.5f); }},
        {"left polarity", [&] { proc->set_polarity(0, -1); }},
        {"right polarity", [&] { proc->set_polarity(1, -1); }},
        {"link", [&] { proc->set_force_record_mono(true); }},
        {"role off", [&] { proc->set_not_master(false); }},
        {"search kind", [&] { mgr.set_alg_mode_internal(M::ALG_FAST); }},
        {"normalisation", [&] { mgr.set_norm_mode_internal(M::NORM_RMS); }},
        {"filter", [&] { mgr.set_filter_mode_internal(M::FILT_LOWBOOST); }},
        // A version-0 chunk restored on the send turns the filter off, which every other blob holds.
        {"filter by another's restore",
         [&] {
             load({3, 0});
         }},
        // Three changes before the timers tick: one notice each.
        {"three at once",
         [&]
         {
             proc->set_polarity(1, 1);
             master->set_gain(6.0f);
             master->set_force_record_mono(true);
         }},
    };
    for (const auto& c : changes)
    {
        SCOPED_TRACE(c.what);
        const int send_wanted = send_heard.count() + 1, master_wanted = master_heard.count() + 1;
        c.change();
        EXPECT_TRUE(logtest::pump_until(
            [&] { return send_heard.count() == send_wanted && master_heard.count() == master_wanted; }));
    }

    // An instance made after the changes tells its host nothing of them.
    const auto late = std::make_unique<P>();
    const test_support::StateNotices late_heard(*late);
    const int send_before = send_heard.count(), master_before = master_heard.count();
    master->set_as_master();
    proc->set_not_master(false);
    proc->set_gain(-3.5f);
    proc->set_polarity(0, -1);
    proc->set_force_record_mono(true);
    mgr.set_alg_mode_internal(M::ALG_FAST);
    mgr.set_filter_mode_internal(M::FILT_OFF);
    // The send restored with other values of its own and the settings as they are; the master
    // restored with other settings.
    load({3, 2, 0, 2, 0, 1, 1, 1, 50, 0, 0});
    const Bytes master_blob{3, 2, 1, 1, 1, 2, 1, 1, 200, 0, 0};
    master->setStateInformation(master_blob.data(), int(master_blob.size()));
    ASSERT_EQ(save(), (Bytes{3, 2, 1, 1, 1, 1, 1, 1, 50, 0, 0}));
    juce::MessageManager::getInstance()->runDispatchLoopUntil(450); // two ticks of the timers
    EXPECT_EQ(send_heard.count(), send_before);
    EXPECT_EQ(master_heard.count(), master_before);
    EXPECT_EQ(late_heard.count(), 0);
}
} // namespace
