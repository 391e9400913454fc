#include "engine/FlipsumManager.h"

#include "engine/FlipsumAudioProcessor.h"
#include "engine/GatherWorker.h"
#include "engine/Logger.h"
#include "engine/OnStart.h"
#include "engine/ProcessWorker.h"
#include "engine/StaticInitOrder.h"

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

// The longest timed wait of a worker thread: 98304 samples at 44.1 kHz.
constexpr std::chrono::milliseconds worker_max_wait{2229};
constexpr std::chrono::milliseconds worker_poll{50};

// Tries of slave_get_buffer before the recording gives up a stretch, and passes of slave_submit
// over the ring before an entry is dropped. The audio thread never waits longer than that.
constexpr int get_buffer_tries = 2;
constexpr int submit_passes = 2;

// How long a worker thread pauses after an error before its next pass.
constexpr std::chrono::milliseconds worker_error_pause{100};

// The dB figure of a level change against a level of 0 (or not a number).
constexpr float no_level_db = 3.4028234663852886e38f;

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

    const auto fail = [](const std::system_error& e) -> std::system_error
    { return std::system_error(e.code(), "thread constructor failed"); };

    logger::log(6, CONSTRUCTOR_SIGNATURE) << "Starting gather thread";
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
    logger::log(6, CONSTRUCTOR_SIGNATURE) << "Worker gather started";
    while (gather_state.load() == 0)
        std::this_thread::sleep_for(worker_poll);

    logger::log(6, CONSTRUCTOR_SIGNATURE) << "Starting processing thread";
    process_state.store(0);
    try
    {
        process_thread = std::thread([this] { process_thread_func(); });
    }
    catch (const std::system_error& e)
    {
        logger::log(2, CONSTRUCTOR_SIGNATURE) << "Signaling worker gather thread to shut down";
        gather_state.store(2);
        gather_cv.notify_all();
        wait_for_worker(gather_state, gather_cv, gather_thread,
                        "Waiting for worker gather thread to shut down", CONSTRUCTOR_SIGNATURE);
        if (onstart.use_counter.load() != 0)
            onstart.use_counter.fetch_sub(1);
        throw fail(e);
    }
    logger::log(6, CONSTRUCTOR_SIGNATURE) << "Worker processing started";
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
    {
        GatherWorker worker(*this);
        for (;;)
        {
            try
            {
                worker.wait(worker.pass());
            }
            catch (const std::exception& e)
            {
                // A pass cut short loses at most the entries it had gathered; the next one goes on.
                FSUM_LOG(1) << "Exception! " << logger::exception_type_name(e) << ": " << e.what();
                std::this_thread::sleep_for(worker_error_pause);
            }
            if (gather_state.load() == 2)
                break;
        }
    }
    // Last act: the job, the pending units and the free units went with the worker.
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
        const std::lock_guard<std::mutex> lock(first_mutex);
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

bool FlipsumManager::stopping() const noexcept
{
    return process_state.load() == 2;
}

void FlipsumManager::stop_processing_internal()
{
    FSUM_LOG_GUARD(3);
    cancel.store(true, std::memory_order_relaxed);
}

FlipsumManager::job_outcome_t FlipsumManager::last_job_outcome() const
{
    const std::lock_guard<std::mutex> lock(second_mutex);
    return last_outcome;
}

void FlipsumManager::record_job_outcome(job_outcome_t outcome)
{
    const std::lock_guard<std::mutex> lock(second_mutex);
    outcome.serial = last_outcome.serial + 1;
    last_outcome = outcome;
}

// ---------------------------------------------------------------------------------------------
// Search run (processing thread)

void FlipsumManager::process_thread_doflipopt(const Flipsearch::Correlation::Algorithm::ptr_t& corr,
                                              const job_ptr& job, const std::vector<float>& rms,
                                              const std::vector<float>& peaks)
{
    FSUM_LOG_GUARD(3);
    const std::size_t n = job->tracks.size();
    job_outcome_t outcome;
    outcome.tracks = n;

    const auto M = [&corr](const std::size_t i, const std::size_t j)
    { return corr->matrix[Flipsearch::Correlation::Algorithm::packedIndex(std::max(i, j), std::min(i, j))]; };

    if (corr->nTracks != n || corr->matrix.size() < n * (n + 1) / 2 || rms.size() < n || peaks.size() < n)
    {
        FSUM_LOG(2) << "Correlation of " << corr->nTracks << " tracks does not match the job's " << n
                    << ", quitting!";
        set_recording_armed_internal(false);
        outcome.end = job_end_t::no_search;
        record_job_outcome(outcome);
        return;
    }

    // Samples so large that their products overflow leave a matrix with infinite (or, after
    // normalisation, not-a-number) entries, or entries whose sums overflow in the searches and the
    // level figures; no search can rank the flips on such a matrix, and applying what one returned
    // would set arbitrary polarities. The job ends like a failed one. The bound holds every partial
    // sum of the energy of any sign vector.
    double energy_bound = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
            energy_bound += (i == j ? 1.0 : 2.0) * std::abs(static_cast<double>(M(i, j)));
    if (!(energy_bound <= std::numeric_limits<float>::max() / 4))
    {
        FSUM_LOG(2) << "Correlation of " << n << " tracks is out of range (samples not a number or too large)"
                    << ", quitting!";
        set_recording_armed_internal(false);
        set_master_status_clear(false);
        outcome.end = job_end_t::failed;
        record_job_outcome(outcome);
        return;
    }

    if (logger::manager::enabled(8))
    {
        std::ostringstream text;
        text.imbue(std::locale::classic()); // the record's numbers do not follow a host's locale
        text << "corr=[";
        for (std::size_t i = 0; i < n; ++i)
        {
            if (i != 0)
                text << ";";
            for (std::size_t j = 0; j < n; ++j)
            {
                if (j != 0)
                    text << ",";
                text << std::setw(8) << M(i, j);
            }
        }
        text << "]";
        FSUM_LOG(8) << text.str();
    }

    FSUM_LOG(4) << "Looking for FlipOpt algorithm...";
    const algMode_t kind = alg_mode.load(std::memory_order_relaxed);
    const auto usable = [kind, n](const Flipsearch::FlipOpt::Plugin* const p)
    {
        if (!p->enabled())
        {
            FSUM_LOG(4) << p->name() << " is not enabled";
            return false;
        }
        if (kind == ALG_FULL && (p->tags() & Flipsearch::TAG_FULL) == 0)
        {
            FSUM_LOG(4) << p->name() << " is not a Full-type algorithm";
            return false;
        }
        if (kind == ALG_FAST && (p->tags() & Flipsearch::TAG_FAST) == 0)
        {
            FSUM_LOG(4) << p->name() << " is not a Fast-type algorithm";
            return false;
        }
        if (p->min_tracks() > n)
        {
            FSUM_LOG(4) << p->name() << " needs more tracks ( " << n << " < " << p->min_tracks() << " )";
            return false;
        }
        if (p->max_tracks() < n)
        {
            FSUM_LOG(4) << p->name() << " needs fewer tracks ( " << n << " > " << p->max_tracks() << " )";
            return false;
        }
        return true;
    };
    const Flipsearch::FlipOpt::Plugin* chosen = nullptr;
    for (const Flipsearch::FlipOpt::Plugin* p :
         Flipsearch::Factory<Flipsearch::FlipOpt::Plugin>::get_inst().plugins)
        if (usable(p))
        {
            chosen = p;
            break;
        }
    if (chosen == nullptr)
    {
        FSUM_LOG(4) << "No usable FlipOpt plugin found, quitting!";
        progress_process_data(-1.0f, 0.0f);
        set_recording_armed_internal(false);
        outcome.end = job_end_t::no_search;
        record_job_outcome(outcome);
        return;
    }

    FSUM_LOG(4) << "Using flipopt algorithm: " << chosen->name();
    const Flipsearch::FlipOpt::Algorithm::ptr_t search = chosen->getInstance();
    FSUM_LOG(6) << "Starting polarity optimization";
    search->setup(corr);
    const auto start = std::chrono::steady_clock::now();
    const std::function<bool(float)> progress = [this, start](const float p)
    {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
                .count();
        progress_process_data(p, static_cast<float>(ns) * 1e-9f);
        return !cancel.load() && !stopping();
    };
    search->process(corr, progress);

    // A manager being destroyed (its last instance is gone) stops the search like the stop button:
    // its destructor waits for this thread, and no instance is left to take the result.
    if (cancel.load() || stopping())
    {
        FSUM_LOG(4) << "Processing cancelled";
        set_recording_armed_internal(false);
        set_master_status_clear(false);
        outcome.end = job_end_t::cancelled;
        record_job_outcome(outcome);
        return;
    }

    FSUM_LOG(6) << "Finished polarity optimization";
    std::vector<float> signs(n, 1.0f);
    for (std::size_t i = 0; i < n && i < search->polarities.size(); ++i)
        signs[i] = static_cast<float>(search->polarities[i]);
    Flipsearch::canonicalizePolarities(signs.data(), n, peaks.data(), rms.data());
    std::vector<int> next(n), prev(n, 1);
    const std::vector<int> raw(n, 1);
    for (std::size_t i = 0; i < n; ++i)
        next[i] = signs[i] < 0.0f ? -1 : 1;

    std::uint32_t flips = 0;
    {
        const std::lock_guard<std::mutex> lock(first_mutex);
        for (const auto& track : job->tracks)
        {
            FlipsumAudioProcessor* const proc = track.first.first;
            const std::size_t ch = track.first.second;
            const std::size_t k = track.second;
            const auto inst = instances.find(proc);
            if (inst == instances.end() || inst->second->proc == nullptr ||
                !job->made_with(proc, inst->second->serial))
                continue; // removed since the recording (or another instance now at its address)
            prev[k] = proc->get_polarity(ch);
            proc->set_polarity(ch, next[k]);
            FSUM_LOG(4) << "Setting processor 0x" << logger::hex(proc) << " (ch " << ch << ") [#" << k
                        << "] to polarity " << next[k];
            if (next[k] == -1)
                ++flips;
            if (ch == 0 && inst->second->channel_mode.load() == 2)
            {
                proc->set_polarity(1, next[k]);
                FSUM_LOG(4) << "Setting copy to processor 0x" << logger::hex(proc) << " (ch " << 1 << ") [#"
                            << k << "] to polarity " << next[k];
                if (next[k] == -1)
                    ++flips;
            }
        }
    }

    const auto level = [&M, n](const std::vector<int>& s)
    {
        float diag = 0.0f;
        for (std::size_t i = 0; i < n; ++i)
            diag += M(i, i);
        float e = 0.5f * diag;
        for (std::size_t i = 1; i < n; ++i)
        {
            if (s[i] == 0)
                continue;
            for (std::size_t j = 0; j < i; ++j)
                e += static_cast<float>(s[i] * s[j]) * M(i, j);
        }
        return std::sqrt(e + e);
    };
    const float l_raw = level(raw);
    const float l_prev = level(prev);
    const float l_new = level(next);
    FSUM_LOG(6) << "RMS_raw=" << l_raw << ", RMS_prev=" << l_prev << ", RMS_new=" << l_new
                << ", flipCnt=" << flips;

    const auto db = [l_new](const float against)
    {
        if (against == 0.0f || std::isnan(against))
            return no_level_db;
        return 20.0f * std::log10(l_new / against);
    };
    outcome.end = job_end_t::done;
    outcome.flips = flips;
    outcome.db_raw = db(l_raw);
    outcome.db_prev = db(l_prev);
    outcome.rms_raw = l_raw;
    outcome.rms_prev = l_prev;
    outcome.rms_new = l_new;

    set_recording_armed_internal(false);
    set_master_status_done(flips, outcome.db_raw, outcome.db_prev);
    record_job_outcome(outcome);
}

float FlipsumManager::progress_process_data(const float progress, const float elapsed)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", progress=" << progress
                << ", elapsed=" << elapsed;
    float remaining = -1.0f;
    if (elapsed >= 1.0f && progress > 0.0f && progress < 1.0f)
        remaining = (1.0f - progress) * (elapsed / progress);
    if ((remaining >= 1.0f && elapsed >= 0.5f) || elapsed >= 1.5f)
        set_master_status_progress(progress, remaining);
    return elapsed + 0.3f;
}

// ---------------------------------------------------------------------------------------------
// The master's status line. The lookup and the editor call happen under the first mutex: the
// master cannot be unregistered meanwhile, and off the GUI thread an editor setter only posts its
// work and never calls back into the manager.

void FlipsumManager::set_master_status_clear(const bool listening)
{
    const std::lock_guard<std::mutex> lock(first_mutex);
    if (FlipsumAudioProcessor* const master_proc = master_locked())
        if (auto* editor = master_proc->open_editor())
        {
            // The editor's set_ui_status_clear(listening) is called here once the editor exists.
            juce::ignoreUnused(editor, listening);
        }
}

void FlipsumManager::set_master_status_progress(const float progress, const float remaining)
{
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", progress=" << progress
                << ", remaining=" << remaining;
    const std::lock_guard<std::mutex> lock(first_mutex);
    if (FlipsumAudioProcessor* const master_proc = master_locked())
        if (auto* editor = master_proc->open_editor())
        {
            // The editor's set_ui_status_progress(progress, remaining) is called here.
            juce::ignoreUnused(editor, progress, remaining);
        }
}

void FlipsumManager::set_master_status_done(const std::uint32_t flips, const float db_raw,
                                            const float db_prev)
{
    const std::lock_guard<std::mutex> lock(first_mutex);
    if (FlipsumAudioProcessor* const master_proc = master_locked())
        if (auto* editor = master_proc->open_editor())
        {
            // The editor's set_ui_status_done(flips, db_raw, db_prev) is called here.
            juce::ignoreUnused(editor, flips, db_raw, db_prev);
        }
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
    std::size_t count = 0;
    for (const auto& slot : state.submit_slot)
        if (slot.state.load() == SLOT_FREE)
            ++count;
    return count;
}

template <class Ready>
bool FlipsumManager::wait_for_gather(slave_hnd_t hnd, Ready ready)
{
    if (ready())
        return true;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(offline_wait_limit);
    do
    {
        hnd->mgr->gather_cv.notify_all();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (ready())
            return true;
    } while (std::chrono::steady_clock::now() < limit);
    FSUM_LOG(2) << "Slave 0x" << addr(hnd->proc) << " waited " << offline_wait_limit
                << " s for the gather thread in vain";
    return false;
}

bool FlipsumManager::slave_start_rec(slave_hnd_t hnd, const slave_channel_mode_t mode, const bool may_wait)
{
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

float* FlipsumManager::slave_get_buffer(slave_hnd_t hnd, const bool may_wait)
{
    float* spare = nullptr;
    std::size_t spare_index = 0;
    if (may_wait && hnd->owned_buf[0].load() != nullptr && hnd->owned_buf[1].load() != nullptr)
        return nullptr;
    if (may_wait)
        wait_for_gather(hnd,
                        [hnd]
                        {
                            for (const auto& slot : hnd->spare_buf)
                                if (slot.load() != nullptr)
                                    return true;
                            return false;
                        });
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
                                         const std::size_t bufnum, const bool may_wait)
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
    if (may_wait)
        wait_for_gather(hnd, [&] { return free_submit_slots(*hnd) > reserved; });
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
