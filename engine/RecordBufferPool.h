#pragma once

// The gather thread's bookkeeping of the record buffers: every buffer that exists lives in the
// manager's pool vector (guarded by the manager's first mutex); this class keeps the zeroed
// buffers ready to offer, the returned ones still to be zeroed, offers them in the instances'
// spare slots, takes them back from unregistered instances, grows the pool when instances are
// left without a spare, frees the surplus after a quiet spell and, when the log is detailed
// enough, checks now and then that no buffer has gone missing.
//
// Threads: the gather thread alone (or a test driving it by hand). offer and reclaim are called
// with the first mutex held; grow, shrink and leak_check take it themselves.

#include "engine/CheckedMutex.h"
#include "engine/FlipsumManager.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

class RecordBufferPool
{
public:
    using pool_t = std::vector<std::unique_ptr<float, FlipsumManager::buffer_deleter>>;
    // Makes one zeroed record buffer (65536 floats, 64-byte aligned), or null.
    using allocator_t = float* (*)();

    // How long the pool keeps unused buffers after the last buffer came back, in seconds.
    static constexpr double shrink_delay = 5.0;
    // How often the leak check runs at most, in seconds.
    static constexpr double leak_check_period = 5.0;

    // pool and first_mutex are the manager's; now is the time origin of the pool's clock
    // (seconds, the caller's clock, passed again to every step that needs the time).
    RecordBufferPool(pool_t& pool, CheckedMutex& first_mutex, const double now);

    RecordBufferPool(const RecordBufferPool&) = delete;
    RecordBufferPool& operator=(const RecordBufferPool&) = delete;

    // Start of a pass: decides whether it is periodic (leak check) and empties the seen list.
    bool begin_pass(const double now);
    bool periodic() const noexcept { return periodic_; }

    // A buffer that came back; the next refill zeroes it.
    void give_back(float* buf);
    // Zeroes every returned buffer and makes it and every newly allocated one available.
    void refill(const double now);

    // Offers available buffers in rec's empty spare slots; first mutex held. Empty slots left
    // because nothing was available count towards needed().
    void offer(FlipsumManager::apState_t& rec, const FlipsumAudioProcessor* proc);
    // Takes back every buffer that an unregistered instance's slots still hold; first mutex held.
    void reclaim(FlipsumManager::apState_t& rec, const FlipsumAudioProcessor* proc);

    void reset_needed() noexcept { needed_ = 0; }
    std::size_t needed() const noexcept { return needed_; }

    // Notes a buffer as accounted for in this periodic pass (no-op in other passes).
    void note_seen(float* buf);
    // Reports every pool buffer that is in none of the known places; periodic passes only.
    void leak_check(const double now);
    // Allocates as many buffers as spare slots went without one. True when the pool grew (the
    // next pass should run at once); false when nothing was needed or allocation failed.
    bool grow();
    // Frees the available buffers after shrink_delay without a buffer coming back. They leave the
    // pool under the first mutex and are freed after it is released.
    void shrink(const double now);

    std::size_t available() const noexcept { return avail_buff_lst.size(); }
    std::size_t returned() const noexcept { return recycle.size() + fresh.size(); }

    // Replaces the buffer allocation (tests simulate failures with it).
    allocator_t allocate;
    static float* allocate_record_buffer();
    // The allocation a new pool starts with; tests replace it before a manager is made.
    static allocator_t default_allocator;
    // Frees one buffer made by allocate (tests watch the shrink with it).
    using releaser_t = void (*)(float*);
    releaser_t release;
    static void release_record_buffer(float* buf);

private:
    pool_t& pool_;
    CheckedMutex& first_mutex_;
    std::vector<float*> avail_buff_lst;
    std::vector<float*> recycle;
    // Buffers just allocated: they pass through the next refill like returned ones, but arrive
    // zeroed already.
    std::vector<float*> fresh;
    std::vector<float*> seen;
    std::unordered_set<float*> set_;
    // Buffers the shrink took out of the pool, freed once the first mutex is released.
    std::vector<float*> doomed_;
    double last_return;
    double last_check;
    bool periodic_ = false;
    std::size_t needed_ = 0;
    bool allocation_failed_ = false;
};
