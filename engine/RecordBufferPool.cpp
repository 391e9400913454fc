#include "engine/RecordBufferPool.h"

#include "engine/Logger.h"

#include <cstdlib>
#include <cstring>

namespace
{
constexpr std::size_t buffer_bytes = FlipsumManager::unit_samples * sizeof(float);
} // namespace

float* RecordBufferPool::allocate_record_buffer()
{
    return FlipsumManager::allocate_buffer();
}

RecordBufferPool::allocator_t RecordBufferPool::default_allocator = &RecordBufferPool::allocate_record_buffer;

void RecordBufferPool::release_record_buffer(float* buf)
{
    FlipsumManager::buffer_deleter()(buf);
}

RecordBufferPool::RecordBufferPool(pool_t& pool, CheckedMutex& first_mutex, const double now)
    : allocate(default_allocator), release(&release_record_buffer), pool_(pool), first_mutex_(first_mutex),
      last_return(now), last_check(now)
{
}

bool RecordBufferPool::begin_pass(const double now)
{
    periodic_ = logger::manager::enabled(6) && now - last_check > leak_check_period;
    seen.clear();
    return periodic_;
}

void RecordBufferPool::give_back(float* buf)
{
    recycle.push_back(buf);
}

void RecordBufferPool::refill(const double now)
{
    if (recycle.empty() && fresh.empty())
        return;
    while (!recycle.empty())
    {
        float* buf = recycle.back();
        recycle.pop_back();
        std::memset(buf, 0, buffer_bytes);
        avail_buff_lst.push_back(buf);
    }
    avail_buff_lst.insert(avail_buff_lst.end(), fresh.begin(), fresh.end());
    fresh.clear();
    last_return = now;
}

void RecordBufferPool::offer(FlipsumManager::apState_t& rec, const FlipsumAudioProcessor* proc)
{
    FSUM_SIGNATURE(FlipsumManager::gather_pass_signature);
    if (periodic_)
        for (auto& owned : rec.owned_buf)
            if (float* buf = owned.load(std::memory_order_acquire))
                seen.push_back(buf);

    for (auto& slot : rec.spare_buf)
    {
        if (avail_buff_lst.empty())
        {
            float* const held = slot.load(std::memory_order_acquire);
            if (held == nullptr)
                ++needed_;
            else if (periodic_)
                seen.push_back(held);
            continue;
        }
        float* expected = nullptr;
        float* const buf = avail_buff_lst.back();
        // Release: the zeroed buffer is the audio thread's to fill once it sees it there.
        if (slot.compare_exchange_strong(expected, buf, std::memory_order_release, std::memory_order_acquire))
        {
            avail_buff_lst.pop_back();
            FSUM_LOG(8) << "AP 0x" << logger::hex(proc) << " assigned free buffer 0x" << logger::hex(buf);
            if (periodic_)
                seen.push_back(buf);
        }
        else if (periodic_)
        {
            seen.push_back(expected);
        }
    }
}

void RecordBufferPool::reclaim(FlipsumManager::apState_t& rec, const FlipsumAudioProcessor* proc)
{
    FSUM_SIGNATURE(FlipsumManager::gather_pass_signature);
    for (auto& owned : rec.owned_buf)
        if (float* buf = owned.load(std::memory_order_acquire))
        {
            give_back(buf);
            FSUM_LOG(8) << "Buffer 0x" << logger::hex(buf) << " reclaimed from AP 0x" << logger::hex(proc)
                        << " (OW)";
        }
    for (auto& spare : rec.spare_buf)
        if (float* buf = spare.load(std::memory_order_acquire))
        {
            give_back(buf);
            FSUM_LOG(8) << "Buffer 0x" << logger::hex(buf) << " reclaimed from AP 0x" << logger::hex(proc)
                        << " (FR)";
        }
    for (auto& slot : rec.submit_slot)
        if (reinterpret_cast<std::uintptr_t>(slot.buf) > FlipsumManager::marker_stream_end)
        {
            give_back(slot.buf);
            FSUM_LOG(8) << "Buffer 0x" << logger::hex(slot.buf) << " reclaimed from AP 0x"
                        << logger::hex(proc) << " (SBM)";
        }
}

void RecordBufferPool::note_seen(float* buf)
{
    if (periodic_ && reinterpret_cast<std::uintptr_t>(buf) > FlipsumManager::marker_stream_end)
        seen.push_back(buf);
}

void RecordBufferPool::leak_check(const double now)
{
    FSUM_SIGNATURE(FlipsumManager::gather_pass_signature);
    if (!periodic_)
        return;
    set_.insert(seen.begin(), seen.end());
    set_.insert(avail_buff_lst.begin(), avail_buff_lst.end());
    set_.insert(recycle.begin(), recycle.end());
    set_.insert(fresh.begin(), fresh.end());
    seen.clear();
    {
        const std::lock_guard<CheckedMutex> lock(first_mutex_);
        for (const auto& buf : pool_)
            if (set_.count(buf.get()) == 0)
                FSUM_LOG(6) << "(possible) Leaked buffer found 0x" << logger::hex(buf.get());
    }
    set_.clear();
    last_check = now;
}

bool RecordBufferPool::grow()
{
    FSUM_SIGNATURE(FlipsumManager::gather_pass_signature);
    if (avail_buff_lst.size() + returned() >= needed_)
    {
        allocation_failed_ = false;
        return false;
    }
    // Each buffer is made (mapped, zeroed and made resident: tens of microseconds) outside the
    // first mutex, which is held only to add it to the pool: an audio thread opening a stream
    // waits for that mutex, and growth can make hundreds of buffers in one pass.
    bool grew = false;
    while (avail_buff_lst.size() + returned() < needed_)
    {
        float* const buf = allocate();
        if (buf == nullptr)
        {
            // The instances go without a spare and record gaps until memory is available again;
            // the jobs go on with the buffers they get.
            if (!allocation_failed_)
                FSUM_LOG(2) << "Buffer allocation failed: " << pool_.size() << " buffers in the pool, "
                            << needed_ - avail_buff_lst.size() - returned() << " more needed";
            allocation_failed_ = true;
            break;
        }
        try
        {
            const std::lock_guard<CheckedMutex> lock(first_mutex_);
            pool_.emplace_back(buf);
        }
        catch (const std::bad_alloc&)
        {
            FlipsumManager::buffer_deleter()(buf);
            if (!allocation_failed_)
                FSUM_LOG(2) << "Buffer allocation failed: the pool cannot grow beyond " << pool_.size()
                            << " buffers";
            allocation_failed_ = true;
            break;
        }
        fresh.push_back(buf);
        allocation_failed_ = false;
        grew = true;
        FSUM_LOG(8) << "Buffer 0x" << logger::hex(buf) << " allocated";
    }
    return grew;
}

void RecordBufferPool::shrink(const double now)
{
    FSUM_SIGNATURE(FlipsumManager::gather_pass_signature);
    if (avail_buff_lst.empty() || now - last_return <= shrink_delay)
        return;
    doomed_.clear();
    doomed_.reserve(avail_buff_lst.size());
    const bool check = logger::manager::enabled(6);
    for (float* buf : avail_buff_lst)
    {
        if (check && set_.count(buf) != 0)
            FSUM_LOG(6) << "Duplicate buffer 0x" << logger::hex(buf) << " in avail_buff_lst";
        set_.insert(buf);
    }
    {
        // Unmapping a buffer takes tens of microseconds: under the first mutex the buffers only
        // leave the pool, since an audio thread opening a stream waits for that mutex.
        const std::lock_guard<CheckedMutex> lock(first_mutex_);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < pool_.size(); ++i)
        {
            if (set_.count(pool_[i].get()) != 0)
            {
                doomed_.push_back(pool_[i].release());
                continue;
            }
            if (kept != i)
                pool_[kept] = std::move(pool_[i]);
            ++kept;
        }
        pool_.resize(kept);
    }
    for (float* buf : doomed_)
    {
        FSUM_LOG(8) << "Freeing Buffer 0x" << logger::hex(buf);
        release(buf);
    }
    doomed_.clear();
    avail_buff_lst.clear();
    set_.clear();
}
