#pragma once

// The gather thread's work: one pass at a time it ends the streams of instances whose host went
// quiet (the watchdog), offers zeroed record buffers, drains the instances' hand-over rings, turns
// the first stream start into a job, counts stream starts and ends, files every recorded buffer
// into the work unit of its timeline position, passes the units in unit order to the processing
// thread, completes the job when every started stream has ended, and takes back the buffers of
// instances that have unregistered.
//
// Threads: FlipsumManager::gather_thread_func runs one worker for the thread's whole life; a test
// may drive a worker by hand instead, once the manager's own gather thread has stopped. Never
// holds both of the manager's mutexes at once.

#include "engine/FlipsumManager.h"
#include "engine/RecordBufferPool.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class GatherWorker
{
public:
    explicit GatherWorker(FlipsumManager& manager);
    // Releases the job, the pending units and the free units (the buffers stay in the pool).
    ~GatherWorker();

    GatherWorker(const GatherWorker&) = delete;
    GatherWorker& operator=(const GatherWorker&) = delete;

    // One pass up to the completion step; returns how long to wait before the next one (seconds;
    // 0 when the next pass should run at once).
    double pass();
    // Waits on the gather condition variable for about next_wait seconds (200 ms to 2229 ms, at most
    // open_stream_wait while a stream is open); a notification ends the wait early. A wake-up that
    // came while the pass ran found nobody waiting: what it announced (a ready submission slot, an
    // instance registered or unregistered, a request for record buffers) is looked for under the
    // first mutex first, and then the thread does not wait at all. Returns the time it waited for,
    // 0 when it did not wait.
    std::chrono::milliseconds wait(const double next_wait);

    // The longest wait while a stream is open. The audio side wakes this thread without the mutex,
    // so a wake-up in the instant between the check above and the wait is still lost; this bounds
    // what such a loss costs a stream's end.
    static constexpr std::chrono::milliseconds open_stream_wait{20};

    // State for tests and the leak check.
    RecordBufferPool& pool() noexcept { return pool_; }
    const FlipsumManager::job_ptr& job() const noexcept { return job_; }
    std::size_t free_units() const noexcept { return free_units_.size(); }

    // Units beyond this distance from the first unit of a job are refused: a timeline position
    // that far ahead is a host error, and the table of pending units would not fit in memory.
    static constexpr std::size_t max_table_span = std::size_t(1) << 20;

    // A walk that comes later than this after the time spent in wait() (counted from the walk
    // before) finds the thread held up: it holds the watchdog off (FlipsumManager::hold_watchdog).
    static constexpr double late_walk_margin = 0.1;

private:
    friend class FlipsumManagerProbe; // sets the pass hook

    // Called at the start of every pass when set; tests hold the thread up with it.
    using pass_hook_t = void (*)();
    static std::atomic<pass_hook_t> pass_hook;

    using record_t = FlipsumManager::apState_t;
    using unit_ptr = std::unique_ptr<FlipsumManager::work_unit_t>;

    // Each entry carries the registration number of the instance that made it: a later instance
    // at the same address is not the one that recorded the job's track.
    struct stream_event_t
    {
        FlipsumAudioProcessor* proc;
        std::size_t ch;
        std::uint64_t serial;
        std::size_t bufnum; // an end marker's second_channel_t
    };
    struct data_t
    {
        float* buf;
        std::size_t unit;
        std::size_t ch;
        FlipsumAudioProcessor* proc;
        std::uint64_t serial;
    };
    using track_iter = decltype(FlipsumManager::job_t::tracks)::const_iterator;

    void take_done_units();
    void walk(const double now, double& next_wait);
    // First mutex held: something arrived since the walk that the next pass must handle.
    bool work_arrived_locked() const;
    // First mutex held: a stream has started and not yet ended.
    bool streams_open_locked() const;
    // First mutex held: reclaims an unregistered instance's buffers and closes its open streams.
    void retire_record(record_t& rec, FlipsumAudioProcessor* proc);
    void drain(record_t& rec, FlipsumAudioProcessor* proc);
    std::size_t drain_sweep(record_t& rec, FlipsumAudioProcessor* proc);
    // The job's track of (proc, ch) when it belongs to the instance with that registration number;
    // the end of the track map otherwise. A job must exist.
    track_iter find_track(FlipsumAudioProcessor* proc, const std::size_t ch,
                          const std::uint64_t serial) const;
    void make_job();
    void stream_starts();
    void stream_ends();
    void leak_check(const double now);
    void file_data();
    void file_buffer(const data_t& d);
    void submit_units(const bool complete_now);
    void submit_unit(const std::size_t u);
    void complete_job();
    // The pending unit for unit number u, or null.
    FlipsumManager::work_unit_t* pending_at(const std::size_t u) const;
    unit_ptr& pending_slot(const std::size_t u);
    unit_ptr new_unit();
    // Returns a buffer to the pool as rejected.
    void reject(float* buf) { pool_.give_back(buf); }

    FlipsumManager& mgr;
    RecordBufferPool pool_;
    FlipsumManager::job_ptr job_;
    // Pending units by unit number: entry i holds unit table_base + i.
    std::vector<unit_ptr> pending_;
    std::size_t table_base = 0;
    std::vector<unit_ptr> free_units_;
    // Per track of the current job: how its stream ended, and whether it started or ended more
    // than once (its units then hold more than the one stream the end marker speaks of).
    std::vector<FlipsumManager::second_channel_t> second_channel_;
    std::vector<bool> restarted_;

    // Built and emptied by each pass.
    std::vector<stream_event_t> starts;
    std::vector<stream_event_t> ends;
    std::vector<data_t> data;
    std::vector<const record_t*> handled;
    std::vector<std::size_t> lastdata;
    // What the last walk saw of the manager (first mutex).
    std::uint64_t seen_registrations_ = 0;
    std::uint64_t seen_requests_ = 0;
    // When the last walk began (manager seconds), and the time since spent in wait(), each wait
    // counted up to its timeout, in seconds (negative when wait() has not run since: passes driven
    // one after another by a test).
    double last_walk_ = 0.0;
    double waited_ = -1.0;
};
