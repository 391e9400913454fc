#include "engine/ProcessWorker.h"

#include "engine/FlipsumAudioProcessor.h"
#include "engine/Logger.h"
#include "engine/SearchedTracks.h"

#include "search/Plugin.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace
{
// Everything the processing thread reports goes under the thread body's name.
constexpr const char* process_sig = "void FlipsumManager::process_thread_func()";
// The correlation choice reports under the name of its selection predicate.
constexpr const char* choice_sig =
    "FlipsumManager::process_thread_func()::<lambda(const Flipsearch::Correlation::Plugin*)>";

logger::log plog(const unsigned level)
{
    return logger::log(level, process_sig);
}

constexpr std::chrono::milliseconds max_wait{2229};
constexpr std::chrono::milliseconds aax_pause{100};
} // namespace

void ProcessWorker::aligned_deleter::operator()(float* p) const noexcept
{
    std::free(p);
}

ProcessWorker::ProcessWorker(FlipsumManager& manager) : mgr(manager)
{
    void* p = nullptr;
    if (posix_memalign(&p, 64, FlipsumManager::unit_samples * sizeof(float)) != 0)
        throw std::bad_alloc();
    std::memset(p, 0, FlipsumManager::unit_samples * sizeof(float));
    zero_buffer.reset(static_cast<float*>(p));
}

ProcessWorker::~ProcessWorker() = default;

std::size_t ProcessWorker::pass()
{
    // 1. Wrapper type.
    if (!wrapper_known)
        read_wrapper_type();

    // 2. Peek. Only this thread removes units from the queue, so the front unit stays valid
    // after the mutex is released.
    std::size_t queued = 0;
    FlipsumManager::work_unit_t* front = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mgr.second_mutex);
        queued = mgr.work_queue.size();
        if (queued != 0)
            front = mgr.work_queue.front().get();
    }

    // 3. Unit.
    if (front != nullptr)
        process_unit(*front);

    // 4. Job finish.
    finish_job_if_done();
    return queued;
}

void ProcessWorker::wait(const std::size_t queued)
{
    if (queued >= 2)
        return;
    plog(8) << "Sleeping";
    {
        std::unique_lock<std::mutex> lock(mgr.second_mutex);
        // Work that arrived since the peek (a unit, or the completion of the current job) is
        // served at once rather than after the time-out.
        const bool work = !mgr.work_queue.empty() || (job_ && job_->complete);
        if (!work && mgr.process_state.load() != 2)
            mgr.process_cv.wait_for(lock, max_wait);
    }
    plog(8) << "Woke up";
}

void ProcessWorker::read_wrapper_type()
{
    const std::lock_guard<CheckedMutex> lock(mgr.first_mutex);
    if (mgr.instances.empty())
        return;
    const FlipsumAudioProcessor* const first = mgr.instances.begin()->second->proc;
    if (first == nullptr)
        return;
    wrapper_type = first->wrapperType;
    wrapper_known = true;
}

void ProcessWorker::process_unit(FlipsumManager::work_unit_t& unit)
{
    const FlipsumManager::job_ptr job = unit.job;
    if (!job || job->abandoned.load())
    {
        // A unit of a job that had to be abandoned goes back unprocessed.
        retire_front_unit();
        return;
    }
    if (job_ && job != job_)
    {
        // Units arrive in job order and a job is complete before the next one's units are
        // queued: the current job is finished first.
        finish_job_if_done();
        if (job_)
        {
            plog(2) << "Job ended without its completion; no search runs for it";
            corr.reset();
            job_.reset();
        }
    }

    if (!job_)
    {
        plog(4) << "Starting new job";
        mgr.cancel.store(false);
        job_ = job;
    }
    else
    {
        plog(8) << "Processing work unit #" << unit.unitnum;
    }

    const std::size_t n = job->tracks.size();
    ++job->n_processed;
    if (!corr)
        choose_correlation(n);

    if (corr)
    {
        track_ptrs.resize(n);
        std::size_t missing = 0;
        for (std::size_t t = 0; t < n; ++t)
        {
            const float* buf = t < unit.bufs.size() ? unit.bufs[t] : nullptr;
            if (reinterpret_cast<std::uintptr_t>(buf) <= FlipsumManager::marker_stream_end)
            {
                buf = zero_buffer.get();
                ++missing;
            }
            track_ptrs[t] = buf;
        }
        if (missing < n)
            corr->process_presentChunk(FlipsumManager::unit_samples, track_ptrs.data());
        track_ptrs.clear();
    }
    retire_front_unit();
}

void ProcessWorker::retire_front_unit()
{
    const std::lock_guard<std::mutex> lock(mgr.second_mutex);
    auto unit = std::move(mgr.work_queue.front());
    mgr.work_queue.erase(mgr.work_queue.begin());
    unit->job.reset();
    mgr.done_list.push_back(std::move(unit));
}

void ProcessWorker::choose_correlation(const std::size_t n)
{
    plog(4) << "Looking for correlation algorithm...";
    const auto usable = [n](const Flipsearch::Correlation::Plugin* const p)
    {
        if (!p->enabled())
        {
            logger::log(4, choice_sig) << p->name() << " not enabled";
            return false;
        }
        if (p->min_tracks() > n)
        {
            logger::log(4, choice_sig)
                << p->name() << " needs more tracks ( " << n << " < " << p->min_tracks() << " )";
            return false;
        }
        return true;
    };
    for (const Flipsearch::Correlation::Plugin* p :
         Flipsearch::Factory<Flipsearch::Correlation::Plugin>::get_inst().plugins)
    {
        if (!usable(p))
            continue;
        plog(4) << "Using correlation algorithm: " << p->name();
        auto object = p->getInstance();
        object->process_setup(n);
        corr = std::move(object);
        return;
    }
    plog(4) << "No usable plugin found, quitting!";
    mgr.progress_process_data(-1.0f, 0.0f);
}

void ProcessWorker::finish_job_if_done()
{
    if (!job_)
        return;
    bool done = false;
    {
        const std::lock_guard<std::mutex> lock(mgr.second_mutex);
        done = job_->complete;
        for (const auto& unit : mgr.work_queue)
            if (done && unit->job == job_)
                done = false;
    }
    if (done)
        finish_job();
}

void ProcessWorker::finish_job()
{
    if (corr)
    {
        const std::size_t k = corr->nTracks;
        std::vector<float> rms(k), peaks(k);
        const float count = static_cast<float>(corr->sampleCount);
        for (std::size_t t = 0; t < k; ++t)
        {
            const float diag = corr->matrix[Flipsearch::Correlation::Algorithm::packedIndex(t, t)];
            rms[t] = count > 0.0f ? std::sqrt(diag / count) : 0.0f;
            peaks[t] = corr->peaks[t];
        }
        corr->process_finished(static_cast<Flipsearch::Correlation::Algorithm::norm_t>(
            mgr.norm_mode.load(std::memory_order_relaxed)));

        if (!mgr.cancel.load() && !mgr.stopping())
        {
            if (wrapper_known && wrapper_type == juce::AudioProcessor::wrapperType_AAX)
                std::this_thread::sleep_for(aax_pause);
            mgr.process_thread_doflipopt(corr, job_, rms, peaks);
        }
        else
        {
            plog(4) << "Processing cancelled";
            mgr.set_master_status_clear(false);
            FlipsumManager::job_outcome_t outcome;
            outcome.end = FlipsumManager::job_end_t::cancelled;
            outcome.tracks = SearchedTracks(*job_, peaks).size();
            mgr.record_job_outcome(outcome);
        }
        corr.reset();
        mgr.cancel.store(false);
    }
    else
    {
        FlipsumManager::job_outcome_t outcome;
        outcome.end = FlipsumManager::job_end_t::no_correlation;
        outcome.tracks = job_->tracks.size();
        mgr.record_job_outcome(outcome);
    }
    job_.reset();
}

void ProcessWorker::abandon_job() noexcept
{
    try
    {
        FlipsumManager::job_ptr failed = job_;
        {
            const std::lock_guard<std::mutex> lock(mgr.second_mutex);
            if (!failed && !mgr.work_queue.empty())
                failed = mgr.work_queue.front()->job;
            if (failed)
            {
                failed->abandoned.store(true);
                // Its queued units go back unprocessed, so their buffers return to the pool.
                std::size_t kept = 0;
                for (std::size_t i = 0; i < mgr.work_queue.size(); ++i)
                {
                    auto& unit = mgr.work_queue[i];
                    if (unit->job == failed)
                    {
                        unit->job.reset();
                        mgr.done_list.push_back(std::move(unit));
                        continue;
                    }
                    if (kept != i)
                        mgr.work_queue[kept] = std::move(unit);
                    ++kept;
                }
                mgr.work_queue.resize(kept);
            }
        }
        corr.reset();
        track_ptrs.clear();
        job_.reset();
        mgr.cancel.store(false);
        if (!failed)
            return;
        plog(1) << "Job abandoned: no search runs for it";
        mgr.set_recording_armed_internal(false);
        mgr.set_master_status_clear(false);
        FlipsumManager::job_outcome_t outcome;
        outcome.end = FlipsumManager::job_end_t::failed;
        outcome.tracks = failed->tracks.size();
        mgr.record_job_outcome(outcome);
    }
    catch (...)
    {
        // Nothing more can be done about it; the thread goes on with the next unit.
    }
}
