#pragma once

// The process-wide manager that every plug-in instance of one host process shares: the analysis
// settings, the registry of instances with their send and master roles, the lock-free hand-over
// of recorded buffers (the static slave_ calls), the record buffer pool and the gather and
// processing threads. It exists while at least one instance is registered.
//
// Threads: the message thread makes and destroys the manager, registers instances and changes
// roles and settings; the audio thread calls only the static slave_ members, get_bypass_all() and
// get_filter_mode(); the gather and processing threads are the manager's own. The first mutex
// guards the instance map, the records' manager reference and processor pointer, the armed flag
// and the buffer pool; the second mutex guards the work queue and the done list.

#include "search/CorrelationAlgorithm.h"
#include "search/Plugin.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "editor/SafePtr.h"
#include "engine/CheckedMutex.h"

class FlipsumAudioProcessor;
class FlipsumAudioProcessorEditor;
class SearchedTracks;

class FlipsumManager
{
public:
    using self_t = FlipsumManager;

    // Search kind.
    enum algMode_t : std::uint32_t
    {
        ALG_FAST = 0,
        ALG_FULL = 1
    };

    // Per-track normalisation of the correlation matrix before the search.
    enum normMode_t : std::uint32_t
    {
        NORM_OFF = 0,
        NORM_PEAK = 1,
        NORM_RMS = 2
    };

    // Treatment of the analysed copy of a track.
    enum filterMode_t : std::uint32_t
    {
        FILT_OFF = 0,
        FILT_LOWBOOST = 1
    };

    // The names the log gives the modes: "ALG_FAST" for 0 and "ALG_FULL" otherwise, "NORM_OFF",
    // "NORM_PEAK" or "NORM_RMS", "FILT_OFF" for 0 and "FILT_LOWBOOST" otherwise.
    static const char* alg_mode_name(const algMode_t mode) noexcept;
    static const char* norm_mode_name(const normMode_t mode) noexcept;
    static const char* filter_mode_name(const filterMode_t mode) noexcept;

    // How a send instance records: 0 mono (one stream, channel 0), 1 stereo (streams on channels 0
    // and 1), 2 stereo summed to mono (one stream on channel 0, result copied to channel 1).
    using slave_channel_mode_t = std::uint32_t;

    // Samples in one record buffer: one unit of the host timeline.
    static constexpr std::size_t unit_samples = 65536;
    static constexpr unsigned unit_shift = 16;

    // Marker values in a submission slot's buf; anything of 3 or more is a record buffer.
    static constexpr std::uintptr_t marker_stream_start = 1;
    static constexpr std::uintptr_t marker_stream_end = 2;

    // What the channel-1 end marker of a stereo stream (mode 1) carries in its bufnum (every other
    // marker carries 0): whether the channel had samples of its own, or for the whole recording
    // digital silence or exactly channel 0's samples, as hosts that give a mono track two channels
    // pass it. Such a channel is searched as part of channel 0's track.
    enum class second_channel_t : std::size_t
    {
        own = 0,
        silent = 1,
        copy = 2
    };

    // States of a submission slot.
    enum : std::uint32_t
    {
        SLOT_FREE = 0,
        SLOT_WRITING = 1,
        SLOT_READY = 2,
        SLOT_READING = 3
    };

    static constexpr std::size_t n_owned = 2;
    static constexpr std::size_t n_spare = 4;
    static constexpr std::size_t n_submit = 8;

    // The watchdog deadline of an instance that is not playing: the largest float value.
    static constexpr double no_deadline = 3.4028234663852886e38;

    // Makes one record buffer: whole pages of its own (so 64-byte aligned), zeroed and already
    // resident, so that neither the gather thread's zeroing nor the audio thread's first writes
    // take page faults. Null when memory is short. Any thread but the audio thread.
    static float* allocate_buffer() noexcept;

    // Frees a record buffer made by allocate_buffer.
    struct buffer_deleter
    {
        void operator()(float* p) const noexcept;
    };

    // One entry of an instance's hand-over ring. The writer owns buf, bufnum and ch while the
    // state is SLOT_WRITING, the gather thread while it is SLOT_READING; the two scopes below are the
    // only ways to hold a slot.
    struct submit_slot_t
    {
        float* buf = nullptr;
        std::size_t bufnum = 0;
        std::size_t ch = 0;
        std::atomic<std::uint32_t> state{SLOT_FREE};

        // A hold on the slot: taken by moving the state from `from` to `held_state` (acquire), left by
        // moving it to `after` (release). The only ways to hold a slot are these two:
        template <std::uint32_t from, std::uint32_t held_state, std::uint32_t after>
        class hold
        {
        public:
            explicit hold(submit_slot_t& slot) noexcept : slot_(slot)
            {
                std::uint32_t expected = from;
                held_ = slot_.state.compare_exchange_strong(expected, held_state, std::memory_order_acquire,
                                                            std::memory_order_relaxed);
            }
            ~hold()
            {
                if (held_)
                    slot_.state.store(after, std::memory_order_release);
            }
            hold(const hold&) = delete;
            hold& operator=(const hold&) = delete;
            bool held() const noexcept { return held_; }

        private:
            submit_slot_t& slot_;
            bool held_;
        };
        // The writer's: a free slot (the gather thread is done with what it read there); what the
        // writer puts in buf, bufnum and ch is published as the slot becomes ready.
        using write_scope = hold<SLOT_FREE, SLOT_WRITING, SLOT_READY>;
        // The gather thread's: a ready slot (what the writer published is seen); free again after.
        using read_scope = hold<SLOT_READY, SLOT_READING, SLOT_FREE>;
    };

    // One registered instance. Made by reg_internal, owned by the instance map; after
    // unregistration (proc null) it waits there until the gather thread has taken back its buffers.
    struct apState_t
    {
        apState_t(std::shared_ptr<FlipsumManager> manager, FlipsumAudioProcessor* processor);

        // The strong reference that keeps the manager alive; moved out at unregistration.
        std::shared_ptr<FlipsumManager> mgr;
        // The instance; null once it has unregistered. Guarded by the first mutex.
        FlipsumAudioProcessor* proc;

        // True from a successful stream start to the stream end (written by the recording side).
        std::atomic<bool> recording{false};
        // Chosen at stream start by the recording side; read by the processing thread.
        std::atomic<slave_channel_mode_t> channel_mode{0};
        // Buffers the instance fills or holds (null = free); changed by the recording side only.
        std::array<std::atomic<float*>, n_owned> owned_buf;
        // Zeroed buffers offered by the gather thread (null = empty).
        std::array<std::atomic<float*>, n_spare> spare_buf;
        // The hand-over ring to the gather thread.
        std::array<submit_slot_t, n_submit> submit_slot;
        // Manager seconds after which the gather thread ends the instance's stream.
        std::atomic<double> watchdog_deadline{no_deadline};
        // Registration number, unique for the manager's life: tells an instance apart from a later
        // one made at the same address. Set under the first mutex at registration.
        std::uint64_t serial = 0;
    };

    using slave_hnd_t = apState_t*;

    // One recording of the send instances, shared by the gather thread, its work units and the
    // processing thread.
    struct job_t
    {
        std::map<std::pair<FlipsumAudioProcessor*, std::size_t>, std::size_t> tracks;
        std::vector<bool> started;
        std::size_t n_started = 0;
        std::vector<bool> ended;
        std::size_t n_ended = 0;
        bool complete = false; // second mutex
        std::size_t next_unit = 0;
        std::atomic<std::size_t> n_processed{0};
        // Set by the processing thread when the job had to be abandoned (an exception while it was
        // processed): its remaining units are handed back unprocessed and no search runs.
        std::atomic<bool> abandoned{false};
        // The registration number of each track's instance when the job was made: a result is
        // applied only to the instance that recorded the track.
        std::map<FlipsumAudioProcessor*, std::uint64_t> serials;
        // Per track, filed by the gather thread before it sets `complete`: how the track's one
        // stream ended (a channel 1's end marker); own for every other track, and for a track
        // whose instance ended no stream, or started more than one, in this job.
        std::vector<second_channel_t> second_channel;
        // Whether the instance at proc with that registration number is the one the job was made
        // with (true for an address the job does not know).
        bool made_with(FlipsumAudioProcessor* proc, const std::uint64_t serial) const
        {
            const auto recorded_by = serials.find(proc);
            return recorded_by == serials.end() || recorded_by->second == serial;
        }
    };
    using job_ptr = std::shared_ptr<job_t>;

    // One unit of the timeline for every track of a job; bufs[t] is null where track t delivered
    // nothing. The pool owns the buffers.
    struct work_unit_t
    {
        std::size_t unitnum = SIZE_MAX;
        std::vector<float*> bufs;
        job_ptr job;
    };

    // How the processing thread ended a job.
    enum class job_end_t
    {
        done,           // searched and applied
        cancelled,      // stop pressed: nothing applied
        no_search,      // no usable search for the kind and track count
        no_correlation, // no usable correlation algorithm
        failed          // abandoned after an exception
    };

    // The last job the processing thread finished, with the figures that go to the master's status
    // line (flips and the two level changes) and the levels behind them.
    struct job_outcome_t
    {
        std::size_t serial = 0; // jobs finished so far by this manager; 0 before the first
        job_end_t end = job_end_t::done;
        std::size_t tracks = 0; // searched: a channel searched with its channel 0 is not counted
        std::uint32_t flips = 0;
        float db_raw = 0.0f;
        float db_prev = 0.0f;
        float rms_raw = 0.0f;
        float rms_prev = 0.0f;
        float rms_new = 0.0f;
    };

    // Constructible only through get_inst().
    struct private_tag
    {
    };
    explicit FlipsumManager(private_tag);
    ~FlipsumManager();

    FlipsumManager(const FlipsumManager&) = delete;
    FlipsumManager& operator=(const FlipsumManager&) = delete;

    // The shared manager, made (with both worker threads started) when there is none. Takes no
    // lock. Any thread while an instance is registered; otherwise the message thread only.
    // Throws std::system_error ("thread constructor failed") when a worker thread cannot start,
    // whatever the cause; a worker already started is then stopped and joined first.
    static std::shared_ptr<FlipsumManager> get_inst();

    // --- Registration (message thread) -------------------------------------------------------

    // Registers proc; mgr (from get_inst) is moved into the new record.
    slave_hnd_t reg_internal(std::shared_ptr<self_t>& mgr, FlipsumAudioProcessor* proc);
    // Releases the master role if proc holds it, then unregisters; may destroy the manager.
    void unreg_internal(slave_hnd_t hnd);

    // --- Settings (message thread; set_recording_armed_internal also the processing thread) -----
    // Each returns at once when the value does not change; otherwise the master's editor follows,
    // and a change of the search kind, the normalisation or the filter, which every state blob
    // holds, is noted through the master when there is one (the user changes them on the master's
    // screen), and so reaches the hosts like any change of saved state.

    // Arming wakes the gather thread and returns once it has offered every registered instance
    // its spare buffers (see await_record_buffers).
    void set_recording_armed_internal(const bool yes);
    void set_bypass_all_internal(const bool yes);
    void set_alg_mode_internal(const algMode_t mode);
    void set_norm_mode_internal(const normMode_t mode);
    void set_filter_mode_internal(const filterMode_t mode);

    bool get_recording_armed_internal() const; // takes the first mutex
    bool get_bypass_all_internal() const;
    algMode_t get_alg_mode_internal() const;
    filterMode_t get_filter_mode_internal() const;

    // Audio thread: read the shared manager's field without a lock.
    static bool get_bypass_all();
    static filterMode_t get_filter_mode();

    // Message thread (not holding the first mutex): while the recording is armed, waits until the
    // gather thread has offered every registered instance its spare buffers, so that a transport
    // start right after arming, or right after an instance was made while armed, loses nothing; a
    // real-time audio thread cannot wait for them. Gives up after record_buffers_wait_limit (the
    // pool cannot grow) and returns at once when the gather thread does not run.
    void await_record_buffers();
    static constexpr double record_buffers_wait_limit = 1.0;

    // Asks the running search to stop (any thread).
    void stop_processing_internal();

    // The outcome of the last job that the processing thread finished (any thread). The master's
    // editor shows the same figures; this copy serves callers without an editor, such as tests.
    job_outcome_t last_job_outcome() const;

    // --- Roles (message thread) --------------------------------------------------------------

    // The first registered instance in map order whose role is master, or null.
    FlipsumAudioProcessor* master() const;
    void update_slave_cnt_internal();
    std::size_t get_slave_cnt_internal() const;
    // Makes every send instance an instance in role off.
    void clear_slaves_internal();
    void release_master_internal(slave_hnd_t hnd);
    void claim_master_internal(slave_hnd_t hnd);

    // --- State chunk (message thread) ---------------------------------------------------------

    // Writes the 4-byte chunk at buf and returns buf + 4.
    std::uint8_t* getStateInformation_internal(std::uint8_t* buf) const;
    // Applies a chunk of size bytes through the setters; returns the position after what it read.
    const std::uint8_t* setStateInformation_internal(const std::uint8_t* p, std::size_t size);

    // --- Changes of saved state (any thread but the audio thread; lock-free) -------------------
    // How many times a registered instance's saved state has changed
    // (FlipsumAudioProcessor::note_state_changed counts each change). Every instance's timer tells
    // its host when the count has moved since it last looked, so that a change reaches a host
    // through every instance: a host that runs only some of them (an LV2 instance tells its host
    // only from a processed block) still hears of it. Safe with the first mutex held.
    void count_state_change() noexcept { state_changes.fetch_add(1); }
    std::uint64_t state_change_count() const noexcept { return state_changes.load(); }

    // Seconds since the manager was made: the clock of the watchdog deadlines. Any thread.
    double seconds() const noexcept;

    // --- Watchdog (any thread; lock-free, no allocation) ----------------------------------------
    // The gather thread ends the stream of an instance whose host has not called it for
    // watchdog_seconds. Time in which that is not the host's doing does not count: an audio thread
    // waiting for the gather thread (an offline render) holds back its instance and every instance
    // that its host calls after it on that thread, and a gather thread that did not run saw no
    // block arrive. Either holds the watchdog off until watchdog_seconds after it ends.
    static constexpr double watchdog_seconds = 0.5;

    // Keeps the watchdog from ending any stream before watchdog_seconds from now; never moves an
    // earlier call's hold back. Bounded: a few compare-and-swap tries.
    void hold_watchdog() noexcept;
    // Whether the watchdog may end the instance's stream at now (manager seconds): its deadline and
    // the hold have both passed.
    bool watchdog_due(const apState_t& state, const double now) const noexcept;
    // The time (manager seconds) at which the watchdog next looks at the instance, when it is not
    // due now: the later of its deadline and the hold.
    double watchdog_next(const apState_t& state) const noexcept;

    // --- Recording hand-over (audio thread, and the gather thread's watchdog) -------------------
    // Lock-free except for the first mutex inside slave_start_rec; no allocation; every retry is
    // bounded, so a gather thread that does not keep up costs the recording a stretch, never the
    // audio thread a wait. At most one writer per instance at a time (the processor makes sure).

    // An offline render (may_wait true, never on the gather thread) waits, up to
    // offline_wait_limit, for the gather thread instead of losing a stretch of the recording, and
    // holds the watchdog off while it waits (hold_watchdog).

    // Opens a recording when the manager is armed, bypass-all is off and the ring has room for the
    // start markers and, later, the end markers. True when it did.
    static bool slave_start_rec(slave_hnd_t hnd, const slave_channel_mode_t mode,
                                const bool may_wait = false);
    // Moves an offered spare buffer into a free owned slot and returns it (all zeros); null when
    // no spare is offered after a few tries or both owned slots are in use.
    static float* slave_get_buffer(slave_hnd_t hnd, const bool may_wait = false);
    // Submits an owned buffer and frees its owned slot. False (and the buffer stays owned) when
    // buf is not owned or the ring has no room beyond what the open streams' end markers need.
    static bool slave_submit_buffer(slave_hnd_t hnd, const std::size_t ch, float* buf,
                                    const std::size_t bufnum, const bool may_wait = false);
    // Places one entry in the first free slot of the ring; false when every slot stays busy.
    static bool slave_submit(slave_hnd_t hnd, const std::size_t ch, float* buf, const std::size_t bufnum);
    // Closes an open recording with its end markers; a stereo stream's channel-1 marker carries
    // second (see second_channel_t).
    static void slave_end_rec(slave_hnd_t hnd, const second_channel_t second = second_channel_t::own);
    // Number of free submission slots (a lower bound while the caller is the only writer).
    static std::size_t free_submit_slots(const apState_t& state) noexcept;
    // Whether buf is one of the buffers the instance holds (the recording side's own view).
    static bool owns_buffer(const apState_t& state, const float* buf) noexcept;

    // What every statement of the gather thread's passes (the pool's steps included) logs under.
    static constexpr char gather_pass_signature[] = "void FlipsumManager::gather_thread_func()";

    // The longest an offline render waits for the gather thread before it gives up a stretch.
    static constexpr double offline_wait_limit = 5.0;

private:
    friend class FlipsumManagerProbe; // test access to the worker states and the armed flag
    friend class GatherWorker;        // the gather thread's passes
    friend class ProcessWorker;       // the processing thread's passes

    // What the master's open editor is told about.
    enum class master_update_t
    {
        optimize,
        bypass_all,
        alg_mode,
        norm_mode,
        filter_mode,
        send_cnt,
    };

    // The low boost off, as a state chunk of version 0 or 1 gives it: stored directly (no editor
    // update), and marking the master's state as changed when it was on.
    void reset_filter_mode();
    // Notes a change of the manager's settings through the master (FlipsumAudioProcessor::
    // note_state_changed), when there is one: none while no master exists or while the host restores
    // the master's own state. Takes the first mutex.
    void note_master_state_changed();
    // Brings the master's open editor up to date (after the caller released the first mutex).
    void notify_master_editor(const master_update_t what, const int value);
    // Tells every registered instance's open editor whether its master button is usable. The
    // editors are found under the first mutex and called after it is released.
    void set_master_buttons(const bool enabled);
    // A handle on the master's open editor (empty when there is no master or it has no editor),
    // found under the first mutex; the caller must not hold it.
    util::safe_ptr<FlipsumAudioProcessorEditor> master_editor() const;
    FlipsumAudioProcessor* master_locked() const; // first mutex held by the caller

    // Starts a worker thread running body on the manager. Tests replace it to make a thread start
    // fail; set only while no manager is being made.
    using thread_starter_t = std::thread (*)(FlipsumManager& mgr, void (FlipsumManager::*body)());
    static std::thread start_worker_thread(FlipsumManager& mgr, void (FlipsumManager::*body)());
    static thread_starter_t thread_starter;
    // Inside a handler of a failed thread start: logs the exception and throws the
    // std::system_error ("thread constructor failed") that get_inst promises.
    [[noreturn]] static void throw_thread_start_failure();

    void gather_thread_func();
    void process_thread_func();
    // Processing thread: chooses and runs the search for a finished job and applies its result.
    void process_thread_doflipopt(const Flipsearch::Correlation::Algorithm::ptr_t& corr, const job_ptr& job,
                                  const std::vector<float>& rms, const std::vector<float>& peaks);
    // Its steps. Check: the matrix and the levels fit the job's n tracks.
    static bool search_input_fits(const Flipsearch::Correlation::Algorithm& corr, const std::size_t n,
                                  const std::vector<float>& rms, const std::vector<float>& peaks);
    // Check: the matrix of the searched tracks is in range.
    static bool correlation_in_range(const Flipsearch::Correlation::Algorithm& corr);
    static void log_correlation(const Flipsearch::Correlation::Algorithm& corr);
    // Names each channel searched as part of its channel 0's track and each channel that carried no
    // signal, and the count searched.
    static void log_searched_tracks(const job_t& job, const SearchedTracks& searched);
    // Choose: the first usable search of the kind for n tracks in the registry's order, or null.
    static const Flipsearch::FlipOpt::Plugin* choose_flipopt(const algMode_t kind, const std::size_t n);
    // Run: the canonical signs in next; false when the search was stopped.
    bool run_flipopt(const Flipsearch::FlipOpt::Plugin& chosen,
                     const Flipsearch::Correlation::Algorithm::ptr_t& corr, const std::vector<float>& rms,
                     const std::vector<float>& peaks, std::vector<int>& next);
    // Apply: sets the signs (one per job track) on the instances that recorded the searched tracks
    // and their followers (their earlier polarities go to prev) and tells their editors; returns the
    // number of flipped channels.
    std::uint32_t apply_polarities(const job_t& job, const SearchedTracks& searched,
                                   const std::vector<int>& next, std::vector<int>& prev);
    // Measure: the levels of the raw, previous and new signs and the two level changes in dB.
    static void measure_levels(const Flipsearch::Correlation::Algorithm& corr, const std::vector<int>& prev,
                               const std::vector<int>& next, job_outcome_t& outcome);
    // Processing thread: one progress report of the running search (progress -1 when none could
    // run); tells the master's editor the fraction and the time left. Returns elapsed + 0.3.
    float progress_process_data(const float progress, const float elapsed);
    // Processing and gather threads: the master's status line.
    void set_master_status_clear(const bool listening);
    void set_master_status_progress(const float progress, const float remaining);
    void set_master_status_done(const std::uint32_t flips, const float db_raw, const float db_prev);
    void record_job_outcome(job_outcome_t outcome);
    // The destructor has asked the processing thread to stop: no search starts or goes on.
    bool stopping() const noexcept;
    // Waits, within offline_wait_limit, until ready() holds, waking the gather thread meanwhile.
    template <class Ready>
    static bool wait_for_gather(slave_hnd_t hnd, Ready ready);
    // Waits until a worker asked to stop (state 2) has stopped, then joins it; logs under the
    // caller's signature (destruction and failed construction).
    static void wait_for_worker(std::atomic<int>& state, std::condition_variable& cv, std::thread& thread,
                                const char* wait_text, const char* function) noexcept;
    // Hands one update to the master's open editor.
    static void deliver_master_update(FlipsumAudioProcessorEditor& editor, const master_update_t what,
                                      const int value);

    std::atomic<algMode_t> alg_mode{ALG_FULL};
    std::atomic<normMode_t> norm_mode{NORM_OFF};
    std::atomic<filterMode_t> filter_mode{FILT_OFF};
    std::atomic<bool> bypass_all{false};
    std::atomic<std::uint64_t> state_changes{0};
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "counted with the first mutex held");
    std::chrono::steady_clock::time_point start_time;
    // Manager seconds before which the watchdog ends no stream (hold_watchdog).
    std::atomic<double> watchdog_hold{0.0};
    static_assert(std::atomic<double>::is_always_lock_free, "the audio thread moves the hold");
    mutable CheckedMutex first_mutex;
    std::map<FlipsumAudioProcessor*, std::unique_ptr<apState_t>> instances;
    // Unregistered records pushed out of the instance map because a new instance was made at the
    // same address (kept beside them) before the gather thread had reclaimed them; the gather
    // thread reclaims and drops them like the unregistered records of the map. First mutex.
    std::vector<std::pair<FlipsumAudioProcessor*, std::unique_ptr<apState_t>>> retired_records;
    // Written under the first mutex; the setter's echo test reads it without the mutex.
    std::atomic<bool> recording_armed{false};
    std::uint64_t registrations = 0; // first mutex
    // Requests of await_record_buffers, the walks of the instance map the gather thread has begun,
    // and the last of them that found every registered instance's spare slots filled. First mutex.
    std::uint64_t record_buffers_requests = 0;
    std::uint64_t gather_walks = 0;
    std::uint64_t record_buffers_ready_walk = 0;
    std::thread gather_thread;
    std::condition_variable gather_cv;
    std::atomic<int> gather_state{0};
    std::vector<std::unique_ptr<float, buffer_deleter>> buffer_pool;
    mutable std::mutex second_mutex;
    std::thread process_thread;
    std::condition_variable process_cv;
    std::atomic<int> process_state{0};
    std::vector<std::unique_ptr<work_unit_t>> work_queue;
    std::vector<std::unique_ptr<work_unit_t>> done_list;
    std::atomic<bool> cancel{false};
    job_outcome_t last_outcome; // second mutex
};
