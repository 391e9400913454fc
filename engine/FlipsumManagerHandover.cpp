// The recording hand-over between the instances' audio threads and the gather thread: the record
// buffers' memory, and the slave_ calls that open and close streams and pass buffers through each
// instance's lock-free slots.

#include "engine/FlipsumManager.h"

#include "engine/Logger.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <sys/mman.h>

namespace
{
// Tries of slave_get_buffer before the recording gives up a stretch, and passes of slave_submit
// over the ring before an entry is dropped. The audio thread never waits longer than that.
constexpr int get_buffer_tries = 2;
constexpr int submit_passes = 2;

float* marker(const std::uintptr_t value)
{
    return reinterpret_cast<float*>(value);
}
} // namespace

float* FlipsumManager::allocate_buffer() noexcept
{
    void* const p = ::mmap(nullptr, unit_samples * sizeof(float), PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<float*>(p);
}

void FlipsumManager::buffer_deleter::operator()(float* p) const noexcept
{
    if (p != nullptr)
        ::munmap(p, unit_samples * sizeof(float));
}

std::size_t FlipsumManager::free_submit_slots(const apState_t& state) noexcept
{
    // A count to decide by, not a claim: relaxed (a slot is taken only through its write scope).
    std::size_t count = 0;
    for (const auto& slot : state.submit_slot)
        if (slot.state.load(std::memory_order_relaxed) == SLOT_FREE)
            ++count;
    return count;
}

bool FlipsumManager::owns_buffer(const apState_t& state, const float* buf) noexcept
{
    for (const auto& owned : state.owned_buf)
        if (buf != nullptr && owned.load(std::memory_order_relaxed) == buf)
            return true;
    return false;
}

void FlipsumManager::hold_watchdog() noexcept
{
    constexpr int tries = 4;
    const double until = seconds() + watchdog_seconds;
    double held = watchdog_hold.load(std::memory_order_relaxed);
    // A failed exchange leaves another thread's value in held: a hold made just now as well.
    for (int attempt = 0; attempt < tries && held < until; ++attempt)
        if (watchdog_hold.compare_exchange_strong(held, until, std::memory_order_relaxed))
            return;
}

bool FlipsumManager::watchdog_due(const apState_t& state, const double now) const noexcept
{
    return now >= watchdog_next(state);
}

double FlipsumManager::watchdog_next(const apState_t& state) const noexcept
{
    return std::max(state.watchdog_deadline.load(std::memory_order_relaxed),
                    watchdog_hold.load(std::memory_order_relaxed));
}

template <class Ready>
bool FlipsumManager::wait_for_gather(slave_hnd_t hnd, Ready ready)
{
    FSUM_SIGNATURE("static bool FlipsumManager::wait_for_gather(slave_hnd_t, Ready)");
    if (ready())
        return true;
    FlipsumManager& mgr = *hnd->mgr;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(offline_wait_limit);
    bool done = false;
    do
    {
        // The host is calling this instance, and its thread calls no other until the wait ends:
        // no stream is theirs to end meanwhile.
        mgr.hold_watchdog();
        mgr.gather_cv.notify_all();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        done = ready();
    } while (!done && std::chrono::steady_clock::now() < limit);
    // The instances held back get the watchdog's whole time from the end of the wait.
    mgr.hold_watchdog();
    if (!done)
        FSUM_LOG(2) << "Slave 0x" << logger::hex(hnd->proc) << " waited " << offline_wait_limit
                    << " s for the gather thread in vain";
    return done;
}

bool FlipsumManager::slave_start_rec(slave_hnd_t hnd, const slave_channel_mode_t mode, const bool may_wait)
{
    FSUM_SIGNATURE("static bool FlipsumManager::slave_start_rec(slave_hnd_t, const slave_channel_mode_t)");
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: ap=0x" << logger::hex(hnd->proc) << ", mode=" << mode;
    FlipsumManager& mgr = *hnd->mgr;
    if (!mgr.get_recording_armed_internal() || get_bypass_all())
        return false;

    // Room for the start markers now and for the end markers later: the ring then always takes
    // the stream's end, even from the gather thread's watchdog, which cannot wait for itself.
    const std::size_t streams = mode == 1 ? 2 : 1;
    if (may_wait)
        wait_for_gather(hnd, [&] { return free_submit_slots(*hnd) >= 2 * streams; });
    if (free_submit_slots(*hnd) < 2 * streams)
    {
        FSUM_LOG(6) << "Slave 0x" << logger::hex(hnd->proc)
                    << " cannot start recording: submission slots busy";
        return false;
    }

    // The mode is published by the recording flag (release), which the other threads read first.
    hnd->channel_mode.store(mode, std::memory_order_relaxed);
    hnd->recording.store(true, std::memory_order_release);
    slave_submit(hnd, 0, marker(marker_stream_start), 0);
    if (mode == 1)
        slave_submit(hnd, 1, marker(marker_stream_start), 0);
    mgr.gather_cv.notify_all();
    return true;
}

bool FlipsumManager::slave_submit(slave_hnd_t hnd, const std::size_t ch, float* buf, const std::size_t bufnum)
{
    FSUM_SIGNATURE(
        "static bool FlipsumManager::slave_submit(slave_hnd_t, const size_t, float*, const size_t)");
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: ap=0x" << logger::hex(hnd->proc) << ", ch=" << ch << ", buf=0x" << logger::hex(buf)
                << ", bufnum=" << bufnum;
    for (int pass = 0; pass < submit_passes; ++pass)
    {
        for (auto& slot : hnd->submit_slot)
        {
            {
                const submit_slot_t::write_scope writing(slot);
                if (!writing.held())
                    continue;
                slot.ch = ch;
                slot.bufnum = bufnum;
                slot.buf = buf;
            } // published: the slot is ready
            hnd->mgr->gather_cv.notify_all();
            FSUM_LOG(6) << "Submitted buffer 0x" << logger::hex(buf) << " for #" << bufnum << " [ap=0x"
                        << logger::hex(hnd->proc) << ",ch=" << ch << "]";
            return true;
        }
    }
    FSUM_LOG(6) << "Slave 0x" << logger::hex(hnd->proc) << " found no free submission slot for 0x"
                << logger::hex(buf) << " #" << bufnum << ",ch=" << ch;
    return false;
}

float* FlipsumManager::slave_get_buffer(slave_hnd_t hnd, const bool may_wait)
{
    FSUM_SIGNATURE("static float* FlipsumManager::slave_get_buffer(slave_hnd_t)");
    // The owned slots are the recording side's own: relaxed. A spare is consumed with acquire,
    // pairing with the gather thread's release when it offered the zeroed buffer.
    const auto owned_full = [hnd]
    {
        return hnd->owned_buf[0].load(std::memory_order_relaxed) != nullptr &&
               hnd->owned_buf[1].load(std::memory_order_relaxed) != nullptr;
    };
    const auto any_spare = [hnd]
    {
        for (const auto& slot : hnd->spare_buf)
            if (slot.load(std::memory_order_relaxed) != nullptr)
                return true;
        return false;
    };
    if (may_wait && owned_full())
        return nullptr;
    if (may_wait)
        wait_for_gather(hnd, any_spare);

    float* spare = nullptr;
    std::size_t spare_index = 0;
    for (int attempt = 0; attempt < get_buffer_tries && spare == nullptr; ++attempt)
    {
        for (std::size_t i = 0; i < n_spare; ++i)
        {
            spare = hnd->spare_buf[i].load(std::memory_order_acquire);
            if (spare != nullptr)
            {
                spare_index = i;
                break;
            }
        }
        if (spare == nullptr)
        {
            hnd->mgr->gather_cv.notify_all();
            FSUM_LOG(8) << "Slave 0x" << logger::hex(hnd->proc) << " found no free buffers";
        }
    }
    if (spare == nullptr)
    {
        FSUM_LOG(6) << "Slave 0x" << logger::hex(hnd->proc)
                    << " found no free buffers, the recording skips ahead";
        return nullptr;
    }

    for (auto& owned : hnd->owned_buf)
    {
        if (owned.load(std::memory_order_relaxed) != nullptr)
            continue;
        owned.store(spare, std::memory_order_release);
        // An empty spare slot is the gather thread's to fill again; it reads nothing of ours there.
        hnd->spare_buf[spare_index].store(nullptr, std::memory_order_relaxed);
        FSUM_LOG(8) << "Slave 0x" << logger::hex(hnd->proc) << " is now using buffer 0x"
                    << logger::hex(spare);
        return spare;
    }
    FSUM_LOG(8) << "Slave 0x" << logger::hex(hnd->proc) << " already owns too many buffers";
    return nullptr;
}

bool FlipsumManager::slave_submit_buffer(slave_hnd_t hnd, const std::size_t ch, float* buf,
                                         const std::size_t bufnum, const bool may_wait)
{
    FSUM_SIGNATURE(
        "static bool FlipsumManager::slave_submit_buffer(slave_hnd_t, const size_t, float*, const size_t)");
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: ap=0x" << logger::hex(hnd->proc) << ", ch=" << ch << ", buf=0x" << logger::hex(buf)
                << ", bufnum=" << bufnum;
    std::atomic<float*>* owned = nullptr;
    for (auto& slot : hnd->owned_buf)
        if (buf != nullptr && slot.load(std::memory_order_relaxed) == buf)
        {
            owned = &slot;
            break;
        }
    if (owned == nullptr)
        return false;

    // Keep the slots that the open streams' end markers will need.
    const std::size_t reserved = hnd->recording.load(std::memory_order_relaxed)
                                     ? (hnd->channel_mode.load(std::memory_order_relaxed) == 1 ? 2 : 1)
                                     : 0;
    if (may_wait)
        wait_for_gather(hnd, [&] { return free_submit_slots(*hnd) > reserved; });
    if (free_submit_slots(*hnd) <= reserved)
    {
        hnd->mgr->gather_cv.notify_all();
        FSUM_LOG(6) << "Slave 0x" << logger::hex(hnd->proc) << " dropped buffer 0x" << logger::hex(buf)
                    << " for #" << bufnum << ",ch=" << ch << ": submission slots busy";
        return false;
    }
    if (!slave_submit(hnd, ch, buf, bufnum))
        return false;
    owned->store(nullptr, std::memory_order_release);
    return true;
}

void FlipsumManager::slave_end_rec(slave_hnd_t hnd, const second_channel_t second)
{
    FSUM_SIGNATURE("static void FlipsumManager::slave_end_rec(slave_hnd_t)");
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: ap=0x" << logger::hex(hnd->proc);
    if (!hnd->recording.load(std::memory_order_relaxed))
        return;
    const bool ok0 = slave_submit(hnd, 0, marker(marker_stream_end), 0);
    const bool ok1 = hnd->channel_mode.load(std::memory_order_relaxed) != 1 ||
                     slave_submit(hnd, 1, marker(marker_stream_end), static_cast<std::size_t>(second));
    if (!ok0 || !ok1)
        FSUM_LOG(2) << "Slave 0x" << logger::hex(hnd->proc) << " lost a stream end marker";
    hnd->recording.store(false, std::memory_order_release);
    hnd->mgr->gather_cv.notify_all();
}
