#include "engine/GatherWorker.h"

#include "engine/FlipsumAudioProcessor.h"
#include "engine/Logger.h"
#include "engine/ThreadRules.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>

namespace
{
logger::log glog(const unsigned level)
{
    return logger::log(level, FlipsumManager::gather_pass_signature);
}

// The longest timed wait: 98304 samples at 44.1 kHz.
constexpr double max_wait = 2.2291156462585033;

// Runs of empty units passed over as old are logged one by one up to this length.
constexpr std::size_t max_logged_run = 64;
} // namespace

std::atomic<GatherWorker::pass_hook_t> GatherWorker::pass_hook{nullptr};

GatherWorker::GatherWorker(FlipsumManager& manager)
    : mgr(manager), pool_(manager.buffer_pool, manager.first_mutex, manager.seconds())
{
}

GatherWorker::~GatherWorker() = default;

double GatherWorker::pass()
{
    if (const pass_hook_t hook = pass_hook.load())
        hook();
    // What a pass cut short by an exception had gathered is dropped, not handled twice.
    starts.clear();
    ends.clear();
    data.clear();
    // 1. Periodic decision.
    pool_.begin_pass(mgr.seconds());
    // 2. Done units; 3. refill.
    take_done_units();
    pool_.refill(mgr.seconds());
    // 4. Per-pass state.
    pool_.reset_needed();
    double next_wait = std::numeric_limits<double>::max();
    // 5. Walk.
    walk(mgr.seconds(), next_wait);
    // 6. Stream starts (the job first); 7. stream ends.
    if (!starts.empty() && !job_)
        make_job();
    stream_starts();
    stream_ends();
    // 8.
    const bool complete_now = job_ && job_->n_ended == job_->n_started;
    // 9. Leak check; 10. growth; 11. shrink.
    leak_check(mgr.seconds());
    if (pool_.grow())
        next_wait = 0.0;
    pool_.shrink(mgr.seconds());
    // 12. Data; 13. submission; 14. completion.
    file_data();
    submit_units(complete_now);
    if (complete_now)
        complete_job();
    return next_wait;
}

std::chrono::milliseconds GatherWorker::wait(const double next_wait)
{
    waited_ = std::max(waited_, 0.0);
    if (next_wait <= 0.0)
        return std::chrono::milliseconds(0);
    glog(8) << "Sleeping";
    std::chrono::milliseconds timeout(0);
    {
        std::unique_lock<CheckedMutex> lock(mgr.first_mutex);
        if (mgr.gather_state.load() != 2 && !work_arrived_locked())
        {
            const double t = std::min(next_wait, max_wait);
            timeout = t < 0.2 ? std::chrono::milliseconds(200)
                              : std::chrono::milliseconds(static_cast<long long>(t * 1000.0));
            if (streams_open_locked())
                timeout = std::min(timeout, open_stream_wait);
            // What the wait took, up to its timeout: a notify that ends it early leaves the rest of
            // the timeout unspent, and a thread not run when the timeout ran out was held up.
            const double before = mgr.seconds();
            mgr.first_mutex.wait_for(mgr.gather_cv, lock, timeout);
            waited_ += std::min(mgr.seconds() - before, static_cast<double>(timeout.count()) * 1e-3);
        }
    }
    glog(8) << "Woke up";
    return timeout;
}

bool GatherWorker::work_arrived_locked() const
{
    FSUM_ASSERT_HELD(mgr.first_mutex);
    if (mgr.registrations != seen_registrations_ || mgr.record_buffers_requests != seen_requests_ ||
        !mgr.retired_records.empty())
        return true;
    for (const auto& entry : mgr.instances)
    {
        const record_t& rec = *entry.second;
        if (rec.proc == nullptr)
            return true;
        for (const auto& slot : rec.submit_slot)
            if (slot.state.load(std::memory_order_acquire) == FlipsumManager::SLOT_READY)
                return true;
    }
    return false;
}

bool GatherWorker::streams_open_locked() const
{
    FSUM_ASSERT_HELD(mgr.first_mutex);
    if (job_ && job_->n_started > job_->n_ended)
        return true;
    for (const auto& entry : mgr.instances)
        if (entry.second->proc != nullptr && entry.second->recording.load(std::memory_order_acquire))
            return true;
    return false;
}

// ---------------------------------------------------------------------------------------------

void GatherWorker::take_done_units()
{
    const std::lock_guard<std::mutex> lock(mgr.second_mutex);
    for (auto& unit : mgr.done_list)
    {
        glog(8) << "Work unit #" << unit->unitnum << " complete";
        for (float* buf : unit->bufs)
        {
            if (reinterpret_cast<std::uintptr_t>(buf) <= FlipsumManager::marker_stream_end)
                continue;
            pool_.give_back(buf);
            glog(8) << "Buffer 0x" << logger::hex(buf) << " added to available list";
        }
        unit->bufs.clear();
        unit->unitnum = std::numeric_limits<std::size_t>::max();
        unit->job.reset();
        free_units_.push_back(std::move(unit));
    }
    mgr.done_list.clear();
}

void GatherWorker::walk(const double now, double& next_wait)
{
    // Held up for longer than it waited (a busy machine, a slow pass): the deadlines ran
    // out while this thread was not looking, and the blocks that would have renewed them may have
    // waited for it.
    const double late = now - last_walk_ - waited_;
    if (waited_ >= 0.0 && late > late_walk_margin)
    {
        mgr.hold_watchdog();
        glog(6) << "Gather pass " << late << " s late: the watchdog holds off";
    }
    last_walk_ = now;
    waited_ = -1.0;

    handled.clear();
    std::unique_lock<CheckedMutex> lock(mgr.first_mutex);
    seen_registrations_ = mgr.registrations;
    seen_requests_ = mgr.record_buffers_requests;
    const std::uint64_t walk_number = ++mgr.gather_walks;
    // At the end of the walk, with the mutex still held: every live record has been offered.
    const auto publish_readiness = [&]
    {
        if (pool_.needed() == 0)
            mgr.record_buffers_ready_walk = walk_number;
    };

    // Records pushed out of the map by a new instance at the same address.
    while (!mgr.retired_records.empty())
    {
        auto retired = std::move(mgr.retired_records.back());
        mgr.retired_records.pop_back();
        retire_record(*retired.second, retired.first);
    }

    bool restart = true;
    while (restart)
    {
        restart = false;
        for (auto it = mgr.instances.begin(); it != mgr.instances.end(); ++it)
        {
            record_t& rec = *it->second;
            if (std::find(handled.begin(), handled.end(), &rec) != handled.end())
                continue;
            if (rec.proc == nullptr)
            {
                retire_record(rec, it->first);
                const bool last = std::next(it) == mgr.instances.end();
                mgr.instances.erase(it);
                if (last)
                {
                    publish_readiness();
                    lock.unlock();
                    handled.clear();
                    return;
                }
                lock.unlock();
                lock.lock();
                restart = true;
                break;
            }
            handled.push_back(&rec);

            FlipsumAudioProcessor* const proc = rec.proc;
            const double t = std::max(now, mgr.seconds());
            if (mgr.watchdog_due(rec, t))
                proc->manager_watchdog_callback();
            else
                next_wait = std::min(next_wait, mgr.watchdog_next(rec) - t);
            pool_.offer(rec, proc);
            drain(rec, proc);
        }
    }
    publish_readiness();
    lock.unlock();
    handled.clear();
}

void GatherWorker::retire_record(record_t& rec, FlipsumAudioProcessor* proc)
{
    pool_.reclaim(rec, proc);
    if (!job_)
        return;
    // The instance will never deliver the end of a stream it opened: close it here, so that the
    // job completes with what was recorded.
    for (std::size_t ch = 0; ch < 2; ++ch)
    {
        const auto track = find_track(proc, ch, rec.serial);
        if (track == job_->tracks.end())
            continue;
        const std::size_t k = track->second;
        if (!job_->started[k] || job_->ended[k])
            continue;
        job_->ended[k] = true;
        ++job_->n_ended;
        glog(6) << "Stream closed at unregistration [AP=0x" << logger::hex(proc) << ",ch=" << ch << "] "
                << job_->n_ended << "/" << job_->n_started;
    }
}

void GatherWorker::drain(record_t& rec, FlipsumAudioProcessor* proc)
{
    // The audio thread takes the first free slot, so the slots' order is not the order of
    // submission: a sweep can meet a stream's end ahead of its last buffer, written meanwhile into
    // a slot the sweep had passed. Whatever was submitted before an entry we took is visible once
    // we have taken it, so sweeping again until a sweep finds nothing brings the earlier entries
    // into the same pass. The sweeps are bounded, so a busy audio thread cannot hold us here.
    constexpr int max_sweeps = 2 * static_cast<int>(FlipsumManager::n_submit);
    for (int sweep = 0; sweep < max_sweeps && drain_sweep(rec, proc) > 0; ++sweep)
    {
    }
}

std::size_t GatherWorker::drain_sweep(record_t& rec, FlipsumAudioProcessor* proc)
{
    std::size_t taken = 0;
    for (auto& slot : rec.submit_slot)
    {
        const FlipsumManager::submit_slot_t::read_scope reading(slot);
        if (!reading.held())
            continue;
        ++taken;
        const auto value = reinterpret_cast<std::uintptr_t>(slot.buf);
        if (value == FlipsumManager::marker_stream_end)
            ends.push_back({proc, slot.ch, rec.serial, slot.bufnum});
        else if (value == FlipsumManager::marker_stream_start)
            starts.push_back({proc, slot.ch, rec.serial, 0});
        else if (value == 0)
            glog(6) << "Empty submission ignored [AP=0x" << logger::hex(proc) << ",ch=" << slot.ch << "]";
        else
        {
            data.push_back({slot.buf, slot.bufnum, slot.ch, proc, rec.serial});
            pool_.note_seen(slot.buf);
            slot.buf = nullptr;
            slot.bufnum = 0;
            slot.ch = 0;
        }
    }
    return taken;
}

GatherWorker::track_iter GatherWorker::find_track(FlipsumAudioProcessor* proc, const std::size_t ch,
                                                  const std::uint64_t serial) const
{
    const auto track = job_->tracks.find({proc, ch});
    return job_->made_with(proc, serial) ? track : job_->tracks.end();
}

void GatherWorker::make_job()
{
    glog(4) << "New recording started";
    auto job = std::make_shared<FlipsumManager::job_t>();
    {
        const std::lock_guard<CheckedMutex> lock(mgr.first_mutex);
        for (const auto& entry : mgr.instances)
        {
            FlipsumAudioProcessor* const proc = entry.second->proc;
            if (proc == nullptr || proc->get_mode() != FlipsumAudioProcessor::ROLE_SEND ||
                proc->is_host_bypassed())
                continue;
            const bool two = proc->getTotalNumInputChannels() >= 2 && !proc->get_force_record_mono();
            job->serials.emplace(proc, entry.second->serial);
            for (std::size_t ch = 0; ch < (two ? 2u : 1u); ++ch)
            {
                const std::size_t k = job->tracks.size();
                job->tracks.emplace(std::make_pair(proc, ch), k);
                glog(6) << "Adding [AP=0x" << logger::hex(proc) << ",ch=" << ch << "] to job as $" << k;
            }
        }
    }
    job->started.assign(job->tracks.size(), false);
    job->ended.assign(job->tracks.size(), false);
    second_channel_.assign(job->tracks.size(), FlipsumManager::second_channel_t::own);
    restarted_.assign(job->tracks.size(), false);
    job_ = std::move(job);
    pending_.clear();
    table_base = 0;
    mgr.set_master_status_clear(true);
}

void GatherWorker::stream_starts()
{
    for (const auto& s : starts)
    {
        const auto track = job_ ? find_track(s.proc, s.ch, s.serial) : track_iter{};
        if (!job_ || track == job_->tracks.end())
        {
            glog(6) << "Spurious stream start [AP=0x" << logger::hex(s.proc) << ",ch=" << s.ch << "]";
            continue;
        }
        const std::size_t k = track->second;
        if (job_->started[k])
        {
            glog(6) << "Stream already started [AP=0x" << logger::hex(s.proc) << ",ch=" << s.ch << "]";
            restarted_[k] = true;
            continue;
        }
        glog(6) << "Stream started [AP=0x" << logger::hex(s.proc) << ",ch=" << s.ch << "]";
        ++job_->n_started;
        job_->started[k] = true;
    }
}

void GatherWorker::stream_ends()
{
    for (const auto& e : ends)
    {
        if (!job_)
        {
            glog(6) << "Spurious stream end [AP=0x" << logger::hex(e.proc) << ",ch=" << e.ch << "] (no job)";
            continue;
        }
        const auto track = find_track(e.proc, e.ch, e.serial);
        if (track == job_->tracks.end())
        {
            glog(6) << "Spurious stream end [AP=0x" << logger::hex(e.proc) << ",ch=" << e.ch << "]";
            continue;
        }
        const std::size_t k = track->second;
        if (job_->ended[k])
        {
            glog(6) << "Stream already ended [AP=0x" << logger::hex(e.proc) << ",ch=" << e.ch << "]";
            restarted_[k] = true;
            continue;
        }
        ++job_->n_ended;
        job_->ended[k] = true;
        // Only a stereo stream's channel 1 ends with a verdict on its samples; anything else that
        // a marker carries is not one.
        using second_channel_t = FlipsumManager::second_channel_t;
        const auto verdict = static_cast<second_channel_t>(e.bufnum);
        if (e.ch == 1 && (verdict == second_channel_t::silent || verdict == second_channel_t::copy))
            second_channel_[k] = verdict;
        glog(6) << "Stream ended [AP=0x" << logger::hex(e.proc) << ",ch=" << e.ch << "] " << job_->n_ended
                << "/" << job_->n_started;
    }
}

void GatherWorker::leak_check(const double now)
{
    if (!pool_.periodic())
        return;
    {
        const std::lock_guard<std::mutex> lock(mgr.second_mutex);
        for (const auto* list : {&mgr.work_queue, &mgr.done_list})
            for (const auto& unit : *list)
                for (float* buf : unit->bufs)
                    pool_.note_seen(buf);
    }
    if (job_)
        for (std::size_t u = std::max(job_->next_unit, table_base); u < table_base + pending_.size(); ++u)
            if (const auto* unit = pending_at(u))
                for (float* buf : unit->bufs)
                    pool_.note_seen(buf);
    pool_.leak_check(now);
}

// ---------------------------------------------------------------------------------------------
// Work units

FlipsumManager::work_unit_t* GatherWorker::pending_at(const std::size_t u) const
{
    if (u < table_base || u - table_base >= pending_.size())
        return nullptr;
    return pending_[u - table_base].get();
}

GatherWorker::unit_ptr& GatherWorker::pending_slot(const std::size_t u)
{
    if (pending_.empty())
    {
        table_base = u;
        pending_.resize(1);
    }
    else if (u < table_base)
    {
        std::vector<unit_ptr> grown(table_base - u + pending_.size());
        std::move(pending_.begin(), pending_.end(),
                  grown.begin() + static_cast<std::ptrdiff_t>(table_base - u));
        pending_ = std::move(grown);
        table_base = u;
    }
    else if (u - table_base >= pending_.size())
    {
        pending_.resize(u - table_base + 1);
    }
    return pending_[u - table_base];
}

GatherWorker::unit_ptr GatherWorker::new_unit()
{
    if (free_units_.empty())
        return std::make_unique<FlipsumManager::work_unit_t>();
    unit_ptr unit = std::move(free_units_.back());
    free_units_.pop_back();
    return unit;
}

void GatherWorker::file_data()
{
    for (const auto& d : data)
    {
        try
        {
            file_buffer(d);
        }
        catch (const std::bad_alloc&)
        {
            // The track misses this unit; the zero buffer stands in for it.
            glog(2) << "Out of memory: buffer 0x" << logger::hex(d.buf) << " for work unit #" << d.unit
                    << " [AP=0x" << logger::hex(d.proc) << ",ch=" << d.ch << "] dropped";
            reject(d.buf);
        }
    }
}

void GatherWorker::file_buffer(const data_t& d)
{
    if (!job_)
    {
        glog(6) << "Spurious buffer recieved [AP=" << static_cast<const void*>(d.proc) << ",ch=" << d.ch
                << "]";
        reject(d.buf);
        return;
    }
    if (d.unit < job_->next_unit)
    {
        glog(6) << "Data from [AP=0x" << logger::hex(d.proc) << ",ch=" << d.ch
                << "] arrived late, work unit #" << d.unit << " already submitted";
        reject(d.buf);
        return;
    }
    if (!pending_.empty())
    {
        const std::size_t low = std::min(d.unit, table_base);
        const std::size_t high = std::max(d.unit, table_base + pending_.size() - 1);
        if (high - low >= max_table_span)
        {
            glog(2) << "Buffer 0x" << logger::hex(d.buf) << " for work unit #" << d.unit << " [AP=0x"
                    << logger::hex(d.proc) << ",ch=" << d.ch << "] dropped: too far from work unit #"
                    << table_base;
            reject(d.buf);
            return;
        }
    }

    unit_ptr& slot = pending_slot(d.unit);
    if (!slot)
    {
        unit_ptr unit = new_unit();
        unit->job = job_;
        unit->unitnum = d.unit;
        unit->bufs.assign(job_->tracks.size(), nullptr);
        slot = std::move(unit);
        glog(8) << "New work unit #" << d.unit;
    }

    const auto track = find_track(d.proc, d.ch, d.serial);
    if (track == job_->tracks.end())
    {
        glog(6) << "Spurious buffer recieved [AP=" << static_cast<const void*>(d.proc) << ",ch=" << d.ch
                << "]";
        reject(d.buf);
        return;
    }
    const std::size_t k = track->second;
    float*& entry = slot->bufs[k];
    if (entry == nullptr)
    {
        entry = d.buf;
        glog(8) << "Buffer 0x" << logger::hex(d.buf) << " added to work unit #" << slot->unitnum << " ($" << k
                << ")";
        return;
    }
    glog(6) << "Can't insert buffer 0x" << logger::hex(d.buf) << ", #" << d.unit << " $" << k
            << " already has 0x" << logger::hex(entry);
    reject(d.buf);
}

void GatherWorker::submit_units(const bool complete_now)
{
    if (!job_)
        return;
    const std::size_t end = table_base + pending_.size();
    if (pending_.empty() || job_->next_unit >= end)
        return;

    const std::size_t n = job_->tracks.size();
    std::size_t last = 0;
    lastdata.assign(n, 0);
    for (std::size_t u = std::max(job_->next_unit, table_base); u < end; ++u)
    {
        const auto* unit = pending_at(u);
        if (unit == nullptr)
            continue;
        last = u;
        for (std::size_t t = 0; t < n; ++t)
            if (unit->bufs[t] != nullptr)
                lastdata[t] = u;
    }

    std::size_t u = job_->next_unit;
    while (u < end)
    {
        const auto* unit = pending_at(u);
        const bool old = u + 2 <= last;
        if (unit == nullptr && (old || complete_now))
        {
            // Pass over the run of empty entries at once (a recording may start far into the
            // timeline: everything below the table's first unit is empty, however far that is);
            // only those that rule "old" lets go when the recording is not complete.
            std::size_t stop = std::max(u + 1, table_base);
            while (stop < end && pending_at(stop) == nullptr)
                ++stop;
            // The units of the run that are old themselves (two or more below last); the rest of
            // the run goes only because the recording is complete.
            const std::size_t old_end = old ? std::min(stop, last - 1) : u;
            if (!complete_now)
                stop = old_end;
            if (old_end - u <= max_logged_run)
                for (std::size_t v = u; v < old_end; ++v)
                    glog(8) << "Work unit #" << v << "is old, so proceeding anyway";
            else
                glog(8) << "Work units #" << u << " to #" << old_end - 1 << " are old, so proceeding anyway";
            u = stop;
            continue;
        }
        if (old)
        {
            glog(8) << "Work unit #" << u << "is old, so proceeding anyway";
            submit_unit(u);
            ++u;
            continue;
        }
        if (complete_now)
        {
            submit_unit(u);
            ++u;
            continue;
        }
        bool ready = unit != nullptr;
        for (std::size_t t = 0; ready && t < n; ++t)
            ready = unit->bufs[t] != nullptr || lastdata[t] > u;
        if (!ready)
        {
            glog(8) << "Work unit #" << u << " is blocking";
            break;
        }
        submit_unit(u);
        ++u;
    }
    job_->next_unit = u;
}

void GatherWorker::submit_unit(const std::size_t u)
{
    unit_ptr& slot = pending_[u - table_base];
    const std::lock_guard<std::mutex> lock(mgr.second_mutex);
    mgr.work_queue.push_back(std::move(slot));
    job_->next_unit = u + 1;
    glog(8) << "Submitted work unit #" << u << " to processing thread";
    mgr.process_cv.notify_all();
}

void GatherWorker::complete_job()
{
    glog(4) << "Recording complete: " << job_->tracks.size() << " tracks, "
            << job_->n_processed.load() * FlipsumManager::unit_samples << " (max) samples";
    // A track whose units hold more than one stream keeps its own place in the search.
    for (std::size_t k = 0; k < second_channel_.size(); ++k)
        if (restarted_[k])
            second_channel_[k] = FlipsumManager::second_channel_t::own;
    // Published with the completion flag: the processing thread reads it once it sees the flag.
    job_->second_channel = std::move(second_channel_);
    {
        const std::lock_guard<std::mutex> lock(mgr.second_mutex);
        job_->complete = true;
        job_.reset();
        mgr.process_cv.notify_all();
    }
    pending_.clear();
    table_base = 0;
}
