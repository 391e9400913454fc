#include "engine/FlipsumManager.h"

#include "editor/FlipsumAudioProcessorEditor.h"
#include "engine/FlipsumAudioProcessor.h"
#include "engine/GatherWorker.h"
#include "engine/Logger.h"
#include "engine/OnStart.h"
#include "engine/ProcessWorker.h"
#include "engine/StaticInitOrder.h"
#include "engine/ThreadRules.h"

#include "search/CanonicalPolarities.h"
#include "search/Plugin.h"

#include <juce_events/juce_events.h>

#include <cmath>
#include <functional>
#include <iomanip>
#include <iostream>
#include <limits>
#include <locale>
#include <sstream>
#include <system_error>

#include <sys/mman.h>

namespace
{
// The one shared manager, found by get_inst; the instances' records own it.
std::weak_ptr<FlipsumManager> manager_inst SIGNFLUX_INIT_MANAGER_INST;

constexpr std::chrono::milliseconds worker_poll{50};

// How long a worker thread pauses after an error before its next pass.
constexpr std::chrono::milliseconds worker_error_pause{100};

const void* addr(const void* p)
{
    return p;
}
} // namespace

const char* FlipsumManager::alg_mode_name(const algMode_t mode) noexcept
{
    return mode == FlipsumManager::ALG_FAST ? "ALG_FAST" : "ALG_FULL";
}

const char* FlipsumManager::norm_mode_name(const normMode_t mode) noexcept
{
    switch (mode)
    {
    case FlipsumManager::NORM_OFF:
        return "NORM_OFF";
    case FlipsumManager::NORM_PEAK:
        return "NORM_PEAK";
    case FlipsumManager::NORM_RMS:
        break;
    }
    return "NORM_RMS";
}

const char* FlipsumManager::filter_mode_name(const filterMode_t mode) noexcept
{
    return mode == FlipsumManager::FILT_OFF ? "FILT_OFF" : "FILT_LOWBOOST";
}

FlipsumManager::apState_t::apState_t(std::shared_ptr<FlipsumManager> manager,
                                     FlipsumAudioProcessor* processor)
    : mgr(std::move(manager)), proc(processor)
{
    // Published to the other threads by the first mutex, under which the record is registered.
    for (auto& slot : owned_buf)
        slot.store(nullptr, std::memory_order_relaxed);
    for (auto& slot : spare_buf)
        slot.store(nullptr, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// Lifetime

namespace
{
// The constructor's signature without its access tag, the one it logs under.
const char* const CONSTRUCTOR_SIGNATURE = "FlipsumManager::FlipsumManager()";
} // namespace

FlipsumManager::FlipsumManager(private_tag)
{
    const logger::log_enter_exit guard(1, CONSTRUCTOR_SIGNATURE);
    if (onstart.use_counter.fetch_add(1) == 0)
        OnStart::on_start_dynamic();
    start_time = std::chrono::steady_clock::now();

    const auto release_onstart = []
    {
        if (onstart.use_counter.load() != 0)
            onstart.use_counter.fetch_sub(1);
    };

    // Whatever a thread start throws is caught: a started worker must be stopped and joined before
    // the exception leaves, since destroying a joinable std::thread ends the process.
    logger::log(6, CONSTRUCTOR_SIGNATURE) << "Starting gather thread";
    gather_state.store(0);
    try
    {
        gather_thread = thread_starter(*this, &FlipsumManager::gather_thread_func);
    }
    catch (...)
    {
        release_onstart();
        throw_thread_start_failure();
    }
    logger::log(6, CONSTRUCTOR_SIGNATURE) << "Worker gather started";
    while (gather_state.load() == 0)
        std::this_thread::sleep_for(worker_poll);

    logger::log(6, CONSTRUCTOR_SIGNATURE) << "Starting processing thread";
    process_state.store(0);
    try
    {
        process_thread = thread_starter(*this, &FlipsumManager::process_thread_func);
    }
    catch (...)
    {
        logger::log(2, CONSTRUCTOR_SIGNATURE) << "Signaling worker gather thread to shut down";
        gather_state.store(2);
        gather_cv.notify_all();
        wait_for_worker(gather_state, gather_cv, gather_thread,
                        "Waiting for worker gather thread to shut down", CONSTRUCTOR_SIGNATURE);
        release_onstart();
        throw_thread_start_failure();
    }
    logger::log(6, CONSTRUCTOR_SIGNATURE) << "Worker processing started";
    while (process_state.load() == 0)
        std::this_thread::sleep_for(worker_poll);
}

std::thread FlipsumManager::start_worker_thread(FlipsumManager& mgr, void (FlipsumManager::*body)())
{
    return std::thread([&mgr, body] { (mgr.*body)(); });
}

FlipsumManager::thread_starter_t FlipsumManager::thread_starter = &FlipsumManager::start_worker_thread;

void FlipsumManager::throw_thread_start_failure()
{
    std::error_code code = std::make_error_code(std::errc::resource_unavailable_try_again);
    try
    {
        throw;
    }
    catch (const std::exception& e)
    {
        logger::log(1, CONSTRUCTOR_SIGNATURE)
            << "Exception! " << logger::exception_type_name(e) << ": " << e.what();
        if (const auto* system = dynamic_cast<const std::system_error*>(&e))
            code = system->code();
        else if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr)
            code = std::make_error_code(std::errc::not_enough_memory);
    }
    catch (...)
    {
        logger::log(1, CONSTRUCTOR_SIGNATURE) << "Exception! (not a standard exception)";
    }
    throw std::system_error(code, "thread constructor failed");
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
    if (state.load() == 2 && thread.joinable())
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
    // Nothing may leave this function: an exception that ended the thread would end the process.
    // The worker is made inside the loop, so that one that cannot be made is tried again.
    std::unique_ptr<GatherWorker> worker;
    for (;;)
    {
        try
        {
            if (!worker)
                worker = std::make_unique<GatherWorker>(*this);
            worker->wait(worker->pass());
        }
        catch (const std::exception& e)
        {
            // A pass cut short loses at most the entries it had gathered; the next one goes on.
            FSUM_LOG(1) << "Exception! " << logger::exception_type_name(e) << ": " << e.what();
            std::this_thread::sleep_for(worker_error_pause);
        }
        catch (...)
        {
            FSUM_LOG(1) << "Exception! (not a standard exception)";
            std::this_thread::sleep_for(worker_error_pause);
        }
        if (gather_state.load() == 2)
            break;
    }
    // Last act: the job, the pending units and the free units go with the worker.
    worker.reset();
    int expected = 2;
    gather_state.compare_exchange_strong(expected, 0);
}

void FlipsumManager::process_thread_func()
{
    FSUM_LOG_GUARD(1);
    process_state.exchange(1);
    std::unique_ptr<ProcessWorker> worker;
    for (;;)
    {
        try
        {
            if (!worker)
                worker = std::make_unique<ProcessWorker>(*this);
            worker->wait(worker->pass());
        }
        catch (const std::exception& e)
        {
            FSUM_LOG(1) << "Exception! " << logger::exception_type_name(e) << ": " << e.what();
            if (worker)
                worker->abandon_job();
            std::this_thread::sleep_for(worker_error_pause);
        }
        catch (...)
        {
            FSUM_LOG(1) << "Exception! (not a standard exception)";
            if (worker)
                worker->abandon_job();
            std::this_thread::sleep_for(worker_error_pause);
        }
        if (process_state.load() == 2)
            break;
    }
    worker.reset();
    int expected = 2;
    process_state.compare_exchange_strong(expected, 0);
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
        const std::lock_guard<CheckedMutex> lock(first_mutex);
        auto stale = instances.find(proc);
        if (stale != instances.end())
        {
            // An instance that lived at this address has unregistered and not been reclaimed yet.
            retired_records.emplace_back(proc, std::move(stale->second));
            instances.erase(stale);
        }
        record->serial = ++registrations;
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
        const std::lock_guard<CheckedMutex> lock(first_mutex);
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
    FSUM_SIGNATURE("void FlipsumManager::set_recording_armed_internal(const bool)");
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes;
    // An unchanged value returns before any lock: an editor's echo may come from a thread that
    // must not wait for the first mutex.
    if (recording_armed.load(std::memory_order_acquire) == yes)
        return;
    {
        const std::lock_guard<CheckedMutex> lock(first_mutex);
        if (recording_armed.exchange(yes, std::memory_order_acq_rel) == yes)
            return;
    }
    await_record_buffers();
    notify_master_editor(master_update_t::optimize, yes ? 1 : 0);
}

void FlipsumManager::await_record_buffers()
{
    std::uint64_t armed_at = 0;
    {
        const std::lock_guard<CheckedMutex> lock(first_mutex);
        if (!recording_armed.load(std::memory_order_relaxed))
            return;
        // A walk begun later sees every instance registered by now; the request makes sure that
        // one follows even when the gather thread is inside a pass.
        ++record_buffers_requests;
        armed_at = gather_walks;
        gather_cv.notify_all();
    }
    const auto limit =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(record_buffers_wait_limit);
    while (gather_state.load() == 1)
    {
        {
            const std::lock_guard<CheckedMutex> lock(first_mutex);
            if (record_buffers_ready_walk > armed_at)
                return;
        }
        if (std::chrono::steady_clock::now() >= limit)
        {
            FSUM_LOG(2) << "Record buffers not offered to every instance within " << record_buffers_wait_limit
                        << " s: a recording started now may lose its first blocks";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void FlipsumManager::set_bypass_all_internal(const bool yes)
{
    FSUM_SIGNATURE("void FlipsumManager::set_bypass_all_internal(const bool)");
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes;
    if (bypass_all.load(std::memory_order_relaxed) == yes)
        return;
    bypass_all.store(yes, std::memory_order_relaxed);
    notify_master_editor(master_update_t::bypass_all, yes ? 1 : 0);
}

void FlipsumManager::set_alg_mode_internal(const algMode_t mode)
{
    FSUM_SIGNATURE("void FlipsumManager::set_alg_mode_internal(const algMode_t)");
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", mode=" << alg_mode_name(mode);
    if (alg_mode.load(std::memory_order_relaxed) == mode)
        return;
    alg_mode.store(mode, std::memory_order_relaxed);
    note_master_state_changed();
    notify_master_editor(master_update_t::alg_mode, static_cast<int>(mode));
}

void FlipsumManager::set_norm_mode_internal(const normMode_t mode)
{
    FSUM_SIGNATURE("void FlipsumManager::set_norm_mode_internal(const normMode_t)");
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", mode=" << norm_mode_name(mode);
    if (norm_mode.load(std::memory_order_relaxed) == mode)
        return;
    norm_mode.store(mode, std::memory_order_relaxed);
    note_master_state_changed();
    notify_master_editor(master_update_t::norm_mode, static_cast<int>(mode));
}

void FlipsumManager::set_filter_mode_internal(const filterMode_t mode)
{
    FSUM_SIGNATURE("void FlipsumManager::set_filter_mode_internal(const filterMode_t)");
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", mode=" << filter_mode_name(mode);
    if (filter_mode.load(std::memory_order_relaxed) == mode)
        return;
    filter_mode.store(mode, std::memory_order_relaxed);
    note_master_state_changed();
    notify_master_editor(master_update_t::filter_mode, static_cast<int>(mode));
}

bool FlipsumManager::get_recording_armed_internal() const
{
    FSUM_LOG_GUARD(7);
    const std::lock_guard<CheckedMutex> lock(first_mutex);
    return recording_armed.load(std::memory_order_relaxed);
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

bool FlipsumManager::stopping() const noexcept
{
    return process_state.load() == 2;
}

void FlipsumManager::stop_processing_internal()
{
    FSUM_LOG_GUARD(3);
    cancel.store(true, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// The editors. Each is found under the first mutex and called through its guarded handle after the
// mutex is released: an editor's setter may run its job at once (on the GUI thread) and call back
// into the manager, and posting to the GUI thread takes the executor's locks, which must never
// nest inside the first mutex. A handle whose editor has closed meanwhile calls nothing.

FlipsumAudioProcessor::editor_handle_t FlipsumManager::master_editor() const
{
    const std::lock_guard<CheckedMutex> lock(first_mutex);
    if (FlipsumAudioProcessor* const master_proc = master_locked())
        return master_proc->open_editor();
    return {};
}

void FlipsumManager::deliver_master_update(FlipsumAudioProcessorEditor& editor, const master_update_t what,
                                           const int value)
{
    switch (what)
    {
    case master_update_t::optimize:
        editor.set_ui_optimize(value != 0);
        break;
    case master_update_t::bypass_all:
        editor.set_ui_bypassAll(value != 0);
        break;
    case master_update_t::alg_mode:
        editor.set_ui_algMode(static_cast<algMode_t>(value));
        break;
    case master_update_t::norm_mode:
        editor.set_ui_normMode(static_cast<normMode_t>(value));
        break;
    case master_update_t::filter_mode:
        editor.set_ui_filterMode(static_cast<filterMode_t>(value));
        break;
    case master_update_t::send_cnt:
        editor.set_ui_sendCnt(value);
        break;
    }
}

void FlipsumManager::notify_master_editor(const master_update_t what, const int value)
{
    FSUM_SIGNATURE("void FlipsumManager::notify_master_editor(const master_update_t, const int)");
    FSUM_LOG_GUARD(5);
    FSUM_LOG(6) << "Args: this=0x" << logger::hex(this) << ", what=" << static_cast<int>(what)
                << ", value=" << value;
    util::with_locked(master_editor(), [what, value](FlipsumAudioProcessorEditor& e)
                      { deliver_master_update(e, what, value); });
}

void FlipsumManager::note_master_state_changed()
{
    const std::lock_guard<CheckedMutex> lock(first_mutex);
    if (FlipsumAudioProcessor* const master_proc = master_locked())
        master_proc->note_state_changed();
}

void FlipsumManager::set_master_buttons(const bool enabled)
{
    std::vector<FlipsumAudioProcessor::editor_handle_t> editors;
    {
        const std::lock_guard<CheckedMutex> lock(first_mutex);
        for (const auto& entry : instances)
            if (FlipsumAudioProcessor* const proc = entry.second->proc)
                if (auto editor = proc->open_editor(); editor.valid())
                    editors.push_back(std::move(editor));
    }
    for (const auto& editor : editors)
        util::with_locked(editor,
                          [enabled](FlipsumAudioProcessorEditor& e) { e.set_ui_master_button(enabled); });
}

// ---------------------------------------------------------------------------------------------
// Roles

FlipsumAudioProcessor* FlipsumManager::master_locked() const
{
    FSUM_ASSERT_HELD(first_mutex);
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
    const std::lock_guard<CheckedMutex> lock(first_mutex);
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
    const std::lock_guard<CheckedMutex> lock(first_mutex);
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
        const std::lock_guard<CheckedMutex> lock(first_mutex);
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
    set_master_buttons(true);
}

void FlipsumManager::claim_master_internal(slave_hnd_t hnd)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", ap=0x" << logger::hex(hnd->proc);
    FlipsumAudioProcessor* current = nullptr;
    {
        const std::lock_guard<CheckedMutex> lock(first_mutex);
        current = master_locked();
    }
    if (current == hnd->proc)
        return;
    if (current == nullptr)
    {
        set_master_buttons(false);
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

void FlipsumManager::reset_filter_mode()
{
    // Set directly, without the master's editor following; the master's state still changes.
    if (filter_mode.exchange(FILT_OFF, std::memory_order_relaxed) != FILT_OFF)
        note_master_state_changed();
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
        reset_filter_mode();
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
        reset_filter_mode();
        return p + 3;
    }

    if (size < 4)
        return p + 3;
    FSUM_LOG(6) << "filter_mode=" << static_cast<unsigned>(p[3]);
    if (p[3] == FILT_OFF || p[3] == FILT_LOWBOOST)
        set_filter_mode_internal(static_cast<filterMode_t>(p[3]));
    return p + 4;
}
