#pragma once

// Helpers of the engine suites: access to the manager's private state, a hand-driven stand-in for
// the gather thread's side of the hand-over (with the record taken away from the manager's own
// gather thread meanwhile), a hold-up of the manager's gather thread, a play head the test moves,
// and a reader of the log.

#include "engine/FlipsumAudioProcessor.h"
#include "engine/FlipsumManager.h"
#include "engine/GatherWorker.h"
#include "engine/Logger.h"
#include "engine/SearchedTracks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

class FlipsumManagerProbe
{
public:
    static int gather_state(const FlipsumManager& m) { return m.gather_state.load(); }
    static int process_state(const FlipsumManager& m) { return m.process_state.load(); }
    static bool armed(FlipsumManager& m)
    {
        const std::lock_guard<CheckedMutex> lock(m.first_mutex);
        return m.recording_armed;
    }
    static std::size_t retired(FlipsumManager& m)
    {
        const std::lock_guard<CheckedMutex> lock(m.first_mutex);
        return m.retired_records.size();
    }

    // Stops the manager's own gather and processing threads the way its destructor does, so that a
    // test can drive GatherWorker and ProcessWorker passes by hand; then forgets every buffer the
    // gather thread had offered (slots emptied, pool freed), so that the test starts from an empty
    // pool.
    static void stop_workers(FlipsumManager& m)
    {
        for (auto* w : {&m.gather_state, &m.process_state})
            w->store(2);
        while (m.gather_state.load() != 0 || m.process_state.load() != 0)
        {
            m.gather_cv.notify_all();
            m.process_cv.notify_all();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m.gather_thread.join();
        m.process_thread.join();
        const std::lock_guard<CheckedMutex> lock(m.first_mutex);
        for (auto& entry : m.instances)
            for (auto& spare : entry.second->spare_buf)
                spare.store(nullptr);
        m.buffer_pool.clear();
    }
    // A buffer of the manager's pool with value in every sample, for a unit that a test queues
    // while the manager's threads run: the gather thread takes it back like any other.
    static float* pool_buffer(FlipsumManager& m, const float value)
    {
        float* const p = FlipsumManager::allocate_buffer();
        std::fill_n(p, FlipsumManager::unit_samples, value);
        const std::lock_guard<CheckedMutex> lock(m.first_mutex);
        m.buffer_pool.emplace_back(p);
        return p;
    }
    // Thread starts: tests make one fail through a starter of their own.
    using thread_body_t = void (FlipsumManager::*)();
    using thread_starter_t = std::thread (*)(FlipsumManager&, thread_body_t);
    static void set_thread_starter(thread_starter_t s) { FlipsumManager::thread_starter = s; }
    static std::thread start_thread(FlipsumManager& m, thread_body_t body)
    {
        return FlipsumManager::start_worker_thread(m, body);
    }
    static bool is_gather_thread(thread_body_t body) { return body == &FlipsumManager::gather_thread_func; }
    // A function that every gather pass calls first (null: none), to hold the thread up.
    static void set_gather_pass_hook(void (*hook)()) { GatherWorker::pass_hook.store(hook); }
    // The native handle of the first mutex, to tell it from other locks.
    static const void* first_mutex_handle(FlipsumManager& m) { return m.first_mutex.native_handle(); }
    static std::size_t pool_size(FlipsumManager& m)
    {
        const std::lock_guard<CheckedMutex> lock(m.first_mutex);
        return m.buffer_pool.size();
    }
    static std::size_t records(FlipsumManager& m)
    {
        const std::lock_guard<CheckedMutex> lock(m.first_mutex);
        return m.instances.size();
    }
    // The unit numbers in the work queue, oldest first.
    static std::vector<std::size_t> queued(FlipsumManager& m)
    {
        const std::lock_guard<std::mutex> lock(m.second_mutex);
        std::vector<std::size_t> out;
        for (const auto& unit : m.work_queue)
            out.push_back(unit->unitnum);
        return out;
    }
    // Plays the processing thread's part for every queued unit: straight to the done list.
    static std::vector<std::vector<float*>> finish_queued(FlipsumManager& m)
    {
        const std::lock_guard<std::mutex> lock(m.second_mutex);
        std::vector<std::vector<float*>> bufs;
        for (auto& unit : m.work_queue)
        {
            bufs.push_back(unit->bufs);
            unit->job.reset();
            m.done_list.push_back(std::move(unit));
        }
        m.work_queue.clear();
        return bufs;
    }
    static void enqueue(FlipsumManager& m, std::unique_ptr<FlipsumManager::work_unit_t> unit)
    {
        const std::lock_guard<std::mutex> lock(m.second_mutex);
        m.work_queue.push_back(std::move(unit));
    }
    static void set_complete(FlipsumManager& m, FlipsumManager::job_t& job)
    {
        const std::lock_guard<std::mutex> lock(m.second_mutex);
        job.complete = true;
    }
    // Wakes the manager's processing thread, as the gather thread does after queuing work.
    static void wake_processing(FlipsumManager& m)
    {
        const std::lock_guard<std::mutex> lock(m.second_mutex);
        m.process_cv.notify_all();
    }
    static std::size_t done_units(FlipsumManager& m)
    {
        const std::lock_guard<std::mutex> lock(m.second_mutex);
        return m.done_list.size();
    }
    static const Flipsearch::FlipOpt::Plugin* choose(FlipsumManager::algMode_t kind, std::size_t n)
    {
        return FlipsumManager::choose_flipopt(kind, n);
    }
    // One progress report of a running search, as its progress callback makes it.
    static float report_progress(FlipsumManager& m, float progress, float elapsed)
    {
        return m.progress_process_data(progress, elapsed);
    }
    static void doflipopt(FlipsumManager& m, const Flipsearch::Correlation::Algorithm::ptr_t& corr,
                          const FlipsumManager::job_ptr& job)
    {
        const std::vector<float> ones(corr->nTracks, 1.0f);
        m.process_thread_doflipopt(corr, job, ones, ones);
    }
    // The search run's apply step: track k is channel tracks[k].second of instance tracks[k].first
    // and gets polarity next[k]. Returns the number of flipped channels.
    static std::uint32_t
    apply_polarities(FlipsumManager& m,
                     const std::vector<std::pair<FlipsumAudioProcessor*, std::size_t>>& tracks,
                     const std::vector<int>& next)
    {
        FlipsumManager::job_t job;
        for (std::size_t k = 0; k < tracks.size(); ++k)
            job.tracks[tracks[k]] = k;
        std::vector<int> prev(next.size(), 1);
        return m.apply_polarities(job, SearchedTracks(job, std::vector<float>(tracks.size(), 1.0f)), next,
                                  prev);
    }

    // Takes an instance's record out of the manager's instance map, so that the gather thread no
    // longer sees it and a test can play the gather side by hand; the spare buffers the gather
    // thread had offered are handed back with the record.
    static std::unique_ptr<FlipsumManager::apState_t>
    detach(FlipsumManager& m, FlipsumAudioProcessor* proc, std::array<float*, FlipsumManager::n_spare>& kept)
    {
        const std::lock_guard<CheckedMutex> lock(m.first_mutex);
        auto it = m.instances.find(proc);
        auto rec = std::move(it->second);
        m.instances.erase(it);
        for (std::size_t i = 0; i < kept.size(); ++i)
            kept[i] = rec->spare_buf[i].exchange(nullptr);
        return rec;
    }
    // Puts a detached record back with the gather thread's spares; whatever the test's own gather
    // side left in its slots is forgotten, so the gather thread never sees a buffer of the test's.
    static void attach(FlipsumManager& m, FlipsumAudioProcessor* proc,
                       std::unique_ptr<FlipsumManager::apState_t> rec,
                       const std::array<float*, FlipsumManager::n_spare>& kept)
    {
        const std::lock_guard<CheckedMutex> lock(m.first_mutex);
        for (auto& owned : rec->owned_buf)
            owned.store(nullptr);
        for (std::size_t i = 0; i < kept.size(); ++i)
            rec->spare_buf[i].store(kept[i]);
        for (auto& slot : rec->submit_slot)
        {
            slot.buf = nullptr;
            slot.bufnum = 0;
            slot.ch = 0;
            slot.state.store(FlipsumManager::SLOT_FREE);
        }
        rec->watchdog_deadline.store(FlipsumManager::no_deadline);
        m.instances.emplace(proc, std::move(rec));
    }
};

// Holds the manager's gather thread up once, for the given time, at the start of the first pass
// after request(); the pass hook is installed while the object exists. Test thread only.
class GatherHoldUp
{
public:
    explicit GatherHoldUp(std::chrono::milliseconds duration)
    {
        length().store(duration.count());
        FlipsumManagerProbe::set_gather_pass_hook(&hold);
    }
    ~GatherHoldUp()
    {
        FlipsumManagerProbe::set_gather_pass_hook(nullptr);
        requested().store(false);
    }
    GatherHoldUp(const GatherHoldUp&) = delete;
    GatherHoldUp& operator=(const GatherHoldUp&) = delete;

    void request() { requested().store(true); }
    // Whether a requested hold-up has not begun yet.
    bool pending() const { return requested().load(); }

private:
    static std::atomic<bool>& requested()
    {
        static std::atomic<bool> flag{false};
        return flag;
    }
    static std::atomic<long long>& length()
    {
        static std::atomic<long long> ms{0};
        return ms;
    }
    static void hold()
    {
        if (requested().exchange(false))
            std::this_thread::sleep_for(std::chrono::milliseconds(length().load()));
    }
};

// While it lives, the instance's hand-over slots belong to the test (FakeGather), not to the
// manager's gather thread. Declare it after the instance and before the FakeGather that serves it.
class GatherDetach
{
public:
    explicit GatherDetach(FlipsumAudioProcessor& p) : proc(&p), mgr(p.handle()->mgr)
    {
        rec = FlipsumManagerProbe::detach(*mgr, proc, kept);
    }
    ~GatherDetach() { FlipsumManagerProbe::attach(*mgr, proc, std::move(rec), kept); }
    GatherDetach(const GatherDetach&) = delete;
    GatherDetach& operator=(const GatherDetach&) = delete;

private:
    FlipsumAudioProcessor* proc;
    std::shared_ptr<FlipsumManager> mgr;
    std::unique_ptr<FlipsumManager::apState_t> rec;
    std::array<float*, FlipsumManager::n_spare> kept{};
};

// One entry read from an instance's ring; a record buffer's samples are copied out.
struct Taken
{
    std::uintptr_t marker = 0; // 1 start, 2 end, 0 for a buffer
    std::size_t bufnum = 0;
    std::size_t ch = 0;
    std::vector<float> samples;
};

// The gather side of the hand-over, run by hand (or by one thread): offers zeroed buffers in the
// spare slots and drains the ready submission slots, taking the buffers back at once.
class FakeGather
{
public:
    explicit FakeGather(std::size_t buffers = 16, bool copy_samples = true, bool zero_returned = true)
        : copy(copy_samples), zero(zero_returned)
    {
        for (std::size_t i = 0; i < buffers; ++i)
        {
            float* const p = FlipsumManager::allocate_buffer();
            if (p == nullptr)
                std::abort();
            pool.emplace_back(p);
            free_list.push_back(p);
        }
    }

    void offer(FlipsumManager::apState_t& s)
    {
        for (auto& slot : s.spare_buf)
        {
            if (free_list.empty())
                return;
            float* expected = nullptr;
            if (slot.load() == nullptr && slot.compare_exchange_strong(expected, free_list.back()))
                free_list.pop_back();
        }
    }

    std::vector<Taken> drain(FlipsumManager::apState_t& s)
    {
        std::vector<Taken> out;
        for (auto& slot : s.submit_slot)
        {
            std::uint32_t expected = FlipsumManager::SLOT_READY;
            if (!slot.state.compare_exchange_strong(expected, FlipsumManager::SLOT_READING))
                continue;
            Taken t;
            t.bufnum = slot.bufnum;
            t.ch = slot.ch;
            const auto value = reinterpret_cast<std::uintptr_t>(slot.buf);
            if (value < 3)
                t.marker = value;
            else
            {
                if (copy)
                    t.samples.assign(slot.buf, slot.buf + FlipsumManager::unit_samples);
                if (zero)
                    std::memset(slot.buf, 0, FlipsumManager::unit_samples * sizeof(float));
                free_list.push_back(slot.buf);
                slot.buf = nullptr;
                slot.bufnum = 0;
                slot.ch = 0;
            }
            slot.state.exchange(FlipsumManager::SLOT_FREE);
            out.push_back(std::move(t));
        }
        return out;
    }

    // Drains, then offers again.
    std::vector<Taken> pump(FlipsumManager::apState_t& s)
    {
        auto taken = drain(s);
        offer(s);
        return taken;
    }

    std::vector<std::unique_ptr<float, FlipsumManager::buffer_deleter>> pool;
    std::vector<float*> free_list;
    bool copy;
    bool zero;
};

// A play head whose transport the test sets before each block.
namespace test_audio
{
// The input: a different, deterministic value for every channel and timeline position.
inline float signal(int ch, std::int64_t pos)
{
    return static_cast<float>((pos * 7919 + ch * 104729) % 2001 - 1000) / 2048.0f;
}
} // namespace test_audio

struct FakePlayHead : juce::AudioPlayHead
{
    juce::Optional<PositionInfo> getPosition() const override
    {
        if (!has_position)
            return {};
        PositionInfo info;
        info.setIsPlaying(playing);
        info.setTimeInSamples(time);
        return info;
    }
    bool has_position = true;
    bool playing = false;
    std::int64_t time = 0;
};

// Reads the records that the log file gained since the reader was made.
class LogReader
{
public:
    LogReader() : offset(size_now()) {}
    std::vector<std::string> lines() const
    {
        std::ifstream in(logger::manager::log_file_path());
        in.seekg(static_cast<std::streamoff>(offset));
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }
    std::size_t count(const std::string& text) const
    {
        std::size_t n = 0;
        for (const auto& line : lines())
            if (line.find(text) != std::string::npos)
                ++n;
        return n;
    }

private:
    static std::size_t size_now()
    {
        std::ifstream in(logger::manager::log_file_path(), std::ios::ate);
        return in ? static_cast<std::size_t>(in.tellg()) : 0;
    }
    std::size_t offset;
};
