#include "engine/FlipsumManager.h"

#include "engine/FlipsumAudioProcessor.h"
#include "engine/Logger.h"
#include "engine/OnStart.h"
#include "engine/StaticInitOrder.h"

#include <juce_events/juce_events.h>

#include <iostream>
#include <system_error>

namespace
{
// The one shared manager, found by get_inst; the instances' records own it.
std::weak_ptr<FlipsumManager> manager_inst SIGNFLUX_INIT_MANAGER_INST;

// The longest timed wait of a worker thread: 98304 samples at 44.1 kHz.
constexpr std::chrono::milliseconds worker_max_wait{2229};
constexpr std::chrono::milliseconds worker_poll{50};

// Tries of slave_get_buffer before the recording gives up a stretch, and passes of slave_submit
// over the ring before an entry is dropped. The audio thread never waits longer than that.
constexpr int get_buffer_tries = 2;
constexpr int submit_passes = 2;

const char* alg_mode_name(const FlipsumManager::algMode_t mode)
{
    return mode == FlipsumManager::ALG_FAST ? "ALG_FAST" : "ALG_FULL";
}

const char* norm_mode_name(const FlipsumManager::normMode_t mode)
{
    switch (mode)
    {
    case FlipsumManager::NORM_OFF:
        return "NORM_OFF";
    case FlipsumManager::NORM_PEAK:
        return "NORM_PEAK";
    default:
        return "NORM_RMS";
    }
}

const char* filter_mode_name(const FlipsumManager::filterMode_t mode)
{
    return mode == FlipsumManager::FILT_OFF ? "FILT_OFF" : "FILT_LOWBOOST";
}

float* marker(const std::uintptr_t value)
{
    return reinterpret_cast<float*>(value);
}

const void* addr(const void* p)
{
    return p;
}
} // namespace

FlipsumManager::apState_t::apState_t(std::shared_ptr<FlipsumManager> manager,
                                     FlipsumAudioProcessor* processor)
    : mgr(std::move(manager)), proc(processor)
{
    for (auto& slot : owned_buf)
        slot.store(nullptr);
    for (auto& slot : spare_buf)
        slot.store(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Lifetime

FlipsumManager::FlipsumManager(private_tag)
{
    FSUM_LOG_GUARD(1);
    if (onstart.use_counter.fetch_add(1) == 0)
        OnStart::on_start_dynamic();
    start_time = std::chrono::steady_clock::now();

    const auto fail = [](const std::system_error& e) -> std::system_error
    { return std::system_error(e.code(), "thread constructor failed"); };

    FSUM_LOG(6) << "Starting gather thread";
    gather_state.store(0);
    try
    {
        gather_thread = std::thread([this] { gather_thread_func(); });
    }
    catch (const std::system_error& e)
    {
        if (onstart.use_counter.load() != 0)
            onstart.use_counter.fetch_sub(1);
        throw fail(e);
    }
    FSUM_LOG(6) << "Worker gather started";
    while (gather_state.load() == 0)
        std::this_thread::sleep_for(worker_poll);

    FSUM_LOG(6) << "Starting processing thread";
    process_state.store(0);
    try
    {
        process_thread = std::thread([this] { process_thread_func(); });
    }
    catch (const std::system_error& e)
    {
        gather_state.store(2);
        gather_cv.notify_all();
        wait_for_worker(gather_state, gather_cv, gather_thread,
                        "Waiting for worker gather thread to shut down", __PRETTY_FUNCTION__);
        if (onstart.use_counter.load() != 0)
            onstart.use_counter.fetch_sub(1);
        throw fail(e);
    }
    FSUM_LOG(6) << "Worker processing started";
    while (process_state.load() == 0)
        std::this_thread::sleep_for(worker_poll);
}

FlipsumManager::~FlipsumManager()
{
    FSUM_LOG_GUARD(1);
    FSUM_LOG(2) << "Signaling worker gather thread to shut down";
    gather_state.store(2);
    gather_cv.notify_all();
    FSUM_LOG(2) << "Signaling worker processing thread to shut down";
    process_state.store(2);
    process_cv.notify_all();

    wait_for_worker(gather_state, gather_cv, gather_thread, "Waiting for worker gather thread to shut down",
                    __PRETTY_FUNCTION__);
    wait_for_worker(process_state, process_cv, process_thread,
                    "Waiting for worker processing thread to shut down", __PRETTY_FUNCTION__);

    FSUM_LOG(2) << "OnStart unload";
    if (onstart.use_counter.load() != 0)
        onstart.use_counter.fetch_sub(1);
    // The members go in reverse order: queued and done units, the pool, the records.
}

void FlipsumManager::wait_for_worker(std::atomic<int>& state, std::condition_variable& cv,
                                     std::thread& thread, const char* wait_text,
                                     const char* function) noexcept
{
    if (state.load() == 2)
    {
        logger::log(2, function) << wait_text;
        while (state.load() == 2)
        {
            cv.notify_all();
            std::this_thread::sleep_for(worker_poll);
        }
    }
    if (thread.joinable())
        thread.join();
}

std::shared_ptr<FlipsumManager> FlipsumManager::get_inst()
{
    FSUM_LOG_GUARD(7);
    if (auto mgr = manager_inst.lock())
        return mgr;
    auto mgr = std::make_shared<FlipsumManager>(private_tag{});
    manager_inst = mgr;
    return mgr;
}

double FlipsumManager::seconds() const noexcept
{
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_time);
    return static_cast<double>(elapsed.count()) * 1e-9;
}

// ---------------------------------------------------------------------------------------------
// Worker threads. Each reports that it runs (state 1), then waits on its condition variable pass
// after pass until a stop is requested (state 2), which it turns to 0 as its last act.

void FlipsumManager::gather_thread_func()
{
    FSUM_LOG_GUARD(1);
    gather_state.exchange(1);
    for (;;)
    {
        {
            std::unique_lock<std::mutex> lock(first_mutex);
            if (gather_state.load() != 2)
                gather_cv.wait_for(lock, worker_max_wait);
        }
        int expected = 2;
        if (gather_state.compare_exchange_strong(expected, 0))
            break;
    }
}

void FlipsumManager::process_thread_func()
{
    FSUM_LOG_GUARD(1);
    process_state.exchange(1);
    for (;;)
    {
        {
            std::unique_lock<std::mutex> lock(second_mutex);
            if (process_state.load() != 2)
                process_cv.wait_for(lock, worker_max_wait);
        }
        int expected = 2;
        if (process_state.compare_exchange_strong(expected, 0))
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Registration

FlipsumManager::slave_hnd_t FlipsumManager::reg_internal(std::shared_ptr<self_t>& mgr,
                                                         FlipsumAudioProcessor* proc)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "instance registered: " << addr(proc);
    auto record = std::make_unique<apState_t>(std::move(mgr), proc);
    const slave_hnd_t hnd = record.get();
    {
        const std::lock_guard<std::mutex> lock(first_mutex);
        auto stale = instances.find(proc);
        if (stale != instances.end())
        {
            // An instance that lived at this address has unregistered and not been reclaimed yet.
            retired_records.push_back(std::move(stale->second));
            instances.erase(stale);
        }
        instances.emplace(proc, std::move(record));
        gather_cv.notify_all();
    }
    return hnd;
}

void FlipsumManager::unreg_internal(slave_hnd_t hnd)
{
    FSUM_LOG_GUARD(3);
    FlipsumAudioProcessor* const proc = hnd->proc;
    FSUM_LOG(4) << "instance unregistered: " << addr(proc);
    if (proc->get_mode() == FlipsumAudioProcessor::ROLE_MASTER)
        release_master_internal(hnd);

    std::shared_ptr<FlipsumManager> last_ref;
    {
        const std::lock_guard<std::mutex> lock(first_mutex);
        last_ref = std::move(hnd->mgr);
        hnd->proc = nullptr;
        gather_cv.notify_all();
    }
    if (proc->get_mode() == FlipsumAudioProcessor::ROLE_SEND)
        update_slave_cnt_internal();
    // Dropping last_ref destroys the manager when this was its last instance; nothing after this
    // line may touch the manager.
}

// ---------------------------------------------------------------------------------------------
// Settings

void FlipsumManager::set_recording_armed_internal(const bool yes)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes;
    {
        const std::lock_guard<std::mutex> lock(first_mutex);
        if (recording_armed == yes)
            return;
        recording_armed = yes;
    }
    notify_master_editor(master_update_t::optimize, yes ? 1 : 0);
}

void FlipsumManager::set_bypass_all_internal(const bool yes)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes;
    if (bypass_all.load(std::memory_order_relaxed) == yes)
        return;
    bypass_all.store(yes, std::memory_order_relaxed);
    notify_master_editor(master_update_t::bypass_all, yes ? 1 : 0);
}

void FlipsumManager::set_alg_mode_internal(const algMode_t mode)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", mode=" << alg_mode_name(mode);
    if (alg_mode.load(std::memory_order_relaxed) == mode)
        return;
    alg_mode.store(mode, std::memory_order_relaxed);
    notify_master_editor(master_update_t::alg_mode, static_cast<int>(mode));
}

void FlipsumManager::set_norm_mode_internal(const normMode_t mode)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", mode=" << norm_mode_name(mode);
    if (norm_mode.load(std::memory_order_relaxed) == mode)
        return;
    norm_mode.store(mode, std::memory_order_relaxed);
    notify_master_editor(master_update_t::norm_mode, static_cast<int>(mode));
}

void FlipsumManager::set_filter_mode_internal(const filterMode_t mode)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", mode=" << filter_mode_name(mode);
    if (filter_mode.load(std::memory_order_relaxed) == mode)
        return;
    filter_mode.store(mode, std::memory_order_relaxed);
    notify_master_editor(master_update_t::filter_mode, static_cast<int>(mode));
}

bool FlipsumManager::get_recording_armed_internal() const
{
    FSUM_LOG_GUARD(7);
    const std::lock_guard<std::mutex> lock(first_mutex);
    return recording_armed;
}

bool FlipsumManager::get_bypass_all_internal() const
{
    FSUM_LOG_GUARD(7);
    return bypass_all.load(std::memory_order_relaxed);
}

FlipsumManager::algMode_t FlipsumManager::get_alg_mode_internal() const
{
    FSUM_LOG_GUARD(7);
    return alg_mode.load(std::memory_order_relaxed);
}

FlipsumManager::filterMode_t FlipsumManager::get_filter_mode_internal() const
{
    FSUM_LOG_GUARD(7);
    return filter_mode.load(std::memory_order_relaxed);
}

bool FlipsumManager::get_bypass_all()
{
    const logger::log_enter_exit guard(7, "bool FlipsumManager::get_bypass_all_internal() const");
    const auto mgr = get_inst();
    return mgr->bypass_all.load(std::memory_order_relaxed);
}

FlipsumManager::filterMode_t FlipsumManager::get_filter_mode()
{
    const logger::log_enter_exit guard(
        7, "FlipsumManager::filterMode_t FlipsumManager::get_filter_mode_internal() const");
    const auto mgr = get_inst();
    return mgr->filter_mode.load(std::memory_order_relaxed);
}

void FlipsumManager::stop_processing_internal()
{
    FSUM_LOG_GUARD(3);
    cancel.store(true, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// The master's editor

void FlipsumManager::deliver_master_update(juce::AudioProcessorEditor&, const master_update_t, const int)
{
    // The editor's setters set_ui_optimize, set_ui_bypassAll, set_ui_algMode, set_ui_normMode,
    // set_ui_filterMode and set_ui_sendCnt are called from here. No editor class exists yet, so no
    // instance ever has an open editor and this is never reached.
}

void FlipsumManager::notify_master_editor(const master_update_t what, const int value)
{
    FSUM_LOG_GUARD(5);
    FSUM_LOG(6) << "Args: this=0x" << logger::hex(this) << ", what=" << static_cast<int>(what)
                << ", value=" << value;
    if (juce::MessageManager::existsAndIsCurrentThread())
    {
        FlipsumAudioProcessor* master_proc = nullptr;
        {
            const std::lock_guard<std::mutex> lock(first_mutex);
            master_proc = master_locked();
        }
        // Instances are destroyed on this thread only: the master stays valid for the call.
        if (master_proc != nullptr)
            if (auto* editor = master_proc->open_editor())
                deliver_master_update(*editor, what, value);
        return;
    }

    const std::lock_guard<std::mutex> lock(first_mutex);
    if (auto* master_proc = master_locked())
        if (auto* editor = master_proc->open_editor())
            deliver_master_update(*editor, what, value);
}

void FlipsumManager::set_master_buttons_locked(const bool enabled)
{
    for (const auto& entry : instances)
    {
        FlipsumAudioProcessor* const proc = entry.second->proc;
        if (proc == nullptr)
            continue;
        if (auto* editor = proc->open_editor())
        {
            // The editor's set_ui_master_button(enabled) is called here; it never calls back.
            juce::ignoreUnused(editor, enabled);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Roles

FlipsumAudioProcessor* FlipsumManager::master_locked() const
{
    for (const auto& entry : instances)
    {
        FlipsumAudioProcessor* const proc = entry.second->proc;
        if (proc != nullptr && proc->get_mode() == FlipsumAudioProcessor::ROLE_MASTER)
            return proc;
    }
    return nullptr;
}

FlipsumAudioProcessor* FlipsumManager::master() const
{
    const std::lock_guard<std::mutex> lock(first_mutex);
    return master_locked();
}

void FlipsumManager::update_slave_cnt_internal()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    notify_master_editor(master_update_t::send_cnt, static_cast<int>(get_slave_cnt_internal()));
}

std::size_t FlipsumManager::get_slave_cnt_internal() const
{
    FSUM_LOG_GUARD(7);
    const std::lock_guard<std::mutex> lock(first_mutex);
    std::size_t count = 0;
    for (const auto& entry : instances)
        if (entry.second->proc != nullptr &&
            entry.second->proc->get_mode() == FlipsumAudioProcessor::ROLE_SEND)
            ++count;
    return count;
}

void FlipsumManager::clear_slaves_internal()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    std::vector<FlipsumAudioProcessor*> sends;
    {
        const std::lock_guard<std::mutex> lock(first_mutex);
        for (const auto& entry : instances)
            if (entry.second->proc != nullptr &&
                entry.second->proc->get_mode() == FlipsumAudioProcessor::ROLE_SEND)
                sends.push_back(entry.second->proc);
    }
    for (FlipsumAudioProcessor* proc : sends)
        proc->set_not_master(false);
}

void FlipsumManager::release_master_internal(slave_hnd_t hnd)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", ap=0x" << logger::hex(hnd->proc);
    set_recording_armed_internal(false);
    const std::lock_guard<std::mutex> lock(first_mutex);
    set_master_buttons_locked(true);
}

void FlipsumManager::claim_master_internal(slave_hnd_t hnd)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", ap=0x" << logger::hex(hnd->proc);
    FlipsumAudioProcessor* current = nullptr;
    {
        const std::lock_guard<std::mutex> lock(first_mutex);
        current = master_locked();
    }
    if (current == hnd->proc)
        return;
    if (current == nullptr)
    {
        const std::lock_guard<std::mutex> lock(first_mutex);
        set_master_buttons_locked(false);
        return;
    }
    current->set_not_master(false);
}

// ---------------------------------------------------------------------------------------------
// State chunk: version 2, search kind, normalisation, filter.

std::uint8_t* FlipsumManager::getStateInformation_internal(std::uint8_t* buf) const
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    buf[0] = 2;
    FSUM_LOG(6) << "ver=" << static_cast<unsigned>(buf[0]);
    buf[1] = static_cast<std::uint8_t>(alg_mode.load(std::memory_order_relaxed));
    FSUM_LOG(6) << "alg_mode=" << static_cast<unsigned>(buf[1]);
    buf[2] = static_cast<std::uint8_t>(norm_mode.load(std::memory_order_relaxed));
    FSUM_LOG(6) << "norm_mode=" << static_cast<unsigned>(buf[2]);
    buf[3] = static_cast<std::uint8_t>(filter_mode.load(std::memory_order_relaxed));
    FSUM_LOG(6) << "filter_mode=" << static_cast<unsigned>(buf[3]);
    return buf + 4;
}

const std::uint8_t* FlipsumManager::setStateInformation_internal(const std::uint8_t* p, std::size_t size)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    if (size == 0)
        return p;

    const unsigned version = p[0];
    FSUM_LOG(6) << "ver=" << version;
    if (version == 0)
    {
        filter_mode.store(FILT_OFF, std::memory_order_relaxed);
        return p + 1;
    }

    if (size < 2)
        return p + 1;
    FSUM_LOG(6) << "alg_mode=" << static_cast<unsigned>(p[1]);
    if (p[1] == ALG_FAST || p[1] == ALG_FULL)
        set_alg_mode_internal(static_cast<algMode_t>(p[1]));

    if (size < 3)
        return p + 2;
    FSUM_LOG(6) << "norm_mode=" << static_cast<unsigned>(p[2]);
    if (p[2] <= NORM_RMS)
        set_norm_mode_internal(static_cast<normMode_t>(p[2]));

    if (version == 1)
    {
        filter_mode.store(FILT_OFF, std::memory_order_relaxed);
        return p + 3;
    }

    if (size < 4)
        return p + 3;
    FSUM_LOG(6) << "filter_mode=" << static_cast<unsigned>(p[3]);
    if (p[3] == FILT_OFF || p[3] == FILT_LOWBOOST)
        set_filter_mode_internal(static_cast<filterMode_t>(p[3]));
    return p + 4;
}

// ---------------------------------------------------------------------------------------------
// Recording hand-over

std::size_t FlipsumManager::free_submit_slots(const apState_t& state) noexcept
{
    std::size_t count = 0;
    for (const auto& slot : state.submit_slot)
        if (slot.state.load() == SLOT_FREE)
            ++count;
    return count;
}

bool FlipsumManager::slave_start_rec(slave_hnd_t hnd, const slave_channel_mode_t mode)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: ap=0x" << logger::hex(hnd->proc) << ", mode=" << mode;
    FlipsumManager& mgr = *hnd->mgr;
    if (!mgr.get_recording_armed_internal() || get_bypass_all())
        return false;

    // Room for the start markers now and for the end markers later: the ring then always takes
    // the stream's end, even from the gather thread's watchdog, which cannot wait for itself.
    const std::size_t streams = mode == 1 ? 2 : 1;
    if (free_submit_slots(*hnd) < 2 * streams)
    {
        FSUM_LOG(6) << "Slave 0x" << addr(hnd->proc) << " cannot start recording: submission slots busy";
        return false;
    }

    hnd->channel_mode.store(mode);
    hnd->recording.exchange(true);
    slave_submit(hnd, 0, marker(marker_stream_start), 0);
    if (mode == 1)
        slave_submit(hnd, 1, marker(marker_stream_start), 0);
    mgr.gather_cv.notify_all();
    return true;
}

bool FlipsumManager::slave_submit(slave_hnd_t hnd, const std::size_t ch, float* buf, const std::size_t bufnum)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: ap=0x" << logger::hex(hnd->proc) << ", ch=" << ch << ", buf=0x" << logger::hex(buf)
                << ", bufnum=" << bufnum;
    for (int pass = 0; pass < submit_passes; ++pass)
    {
        for (auto& slot : hnd->submit_slot)
        {
            std::uint32_t expected = SLOT_FREE;
            if (!slot.state.compare_exchange_strong(expected, SLOT_WRITING))
                continue;
            slot.ch = ch;
            slot.bufnum = bufnum;
            slot.buf = buf;
            slot.state.exchange(SLOT_READY);
            hnd->mgr->gather_cv.notify_all();
            FSUM_LOG(6) << "Submitted buffer 0x" << addr(buf) << " for #" << bufnum << " [ap=0x"
                        << addr(hnd->proc) << ",ch=" << ch << "]";
            return true;
        }
    }
    FSUM_LOG(6) << "Slave 0x" << addr(hnd->proc) << " found no free submission slot for 0x" << addr(buf)
                << " #" << bufnum << ",ch=" << ch;
    return false;
}

float* FlipsumManager::slave_get_buffer(slave_hnd_t hnd)
{
    float* spare = nullptr;
    std::size_t spare_index = 0;
    for (int attempt = 0; attempt < get_buffer_tries && spare == nullptr; ++attempt)
    {
        for (std::size_t i = 0; i < n_spare; ++i)
        {
            spare = hnd->spare_buf[i].load();
            if (spare != nullptr)
            {
                spare_index = i;
                break;
            }
        }
        if (spare == nullptr)
        {
            hnd->mgr->gather_cv.notify_all();
            FSUM_LOG(8) << "Slave 0x" << addr(hnd->proc) << " found no free buffers";
        }
    }
    if (spare == nullptr)
    {
        FSUM_LOG(6) << "Slave 0x" << addr(hnd->proc) << " found no free buffers, the recording skips ahead";
        return nullptr;
    }

    for (auto& owned : hnd->owned_buf)
    {
        if (owned.load() != nullptr)
            continue;
        owned.exchange(spare);
        hnd->spare_buf[spare_index].exchange(nullptr);
        FSUM_LOG(8) << "Slave 0x" << addr(hnd->proc) << " is now using buffer 0x" << addr(spare);
        return spare;
    }
    FSUM_LOG(8) << "Slave 0x" << addr(hnd->proc) << " already owns too many buffers";
    return nullptr;
}

bool FlipsumManager::slave_submit_buffer(slave_hnd_t hnd, const std::size_t ch, float* buf,
                                         const std::size_t bufnum)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: ap=0x" << logger::hex(hnd->proc) << ", ch=" << ch << ", buf=0x" << logger::hex(buf)
                << ", bufnum=" << bufnum;
    if (buf == nullptr)
        return false;
    std::atomic<float*>* owned = nullptr;
    for (auto& slot : hnd->owned_buf)
        if (slot.load() == buf)
        {
            owned = &slot;
            break;
        }
    if (owned == nullptr)
        return false;

    // Keep the slots that the open streams' end markers will need.
    const std::size_t reserved = hnd->recording.load() ? (hnd->channel_mode.load() == 1 ? 2 : 1) : 0;
    if (free_submit_slots(*hnd) <= reserved)
    {
        hnd->mgr->gather_cv.notify_all();
        FSUM_LOG(6) << "Slave 0x" << addr(hnd->proc) << " dropped buffer 0x" << addr(buf) << " for #"
                    << bufnum << ",ch=" << ch << ": submission slots busy";
        return false;
    }
    if (!slave_submit(hnd, ch, buf, bufnum))
        return false;
    owned->exchange(nullptr);
    return true;
}

void FlipsumManager::slave_end_rec(slave_hnd_t hnd)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: ap=0x" << logger::hex(hnd->proc);
    if (!hnd->recording.load())
        return;
    const bool ok0 = slave_submit(hnd, 0, marker(marker_stream_end), 0);
    const bool ok1 = hnd->channel_mode.load() != 1 || slave_submit(hnd, 1, marker(marker_stream_end), 0);
    if (!ok0 || !ok1)
        FSUM_LOG(2) << "Slave 0x" << addr(hnd->proc) << " lost a stream end marker";
    hnd->recording.exchange(false);
    hnd->mgr->gather_cv.notify_all();
}
