#pragma once

// The processing thread's work: one work unit per pass, taken from the front of the manager's work
// queue, is accumulated into the job's correlation object (a zero buffer stands in for a track
// without a buffer) and handed back to the gather thread through the done list; when a job's
// recording is complete and none of its units is left in the queue, the matrix is finished with
// the manager's normalisation and the search runs (FlipsumManager::process_thread_doflipopt).
//
// Threads: FlipsumManager::process_thread_func runs one worker for the thread's whole life; a test
// may drive a worker by hand once the manager's own processing thread has stopped. Never holds
// both of the manager's mutexes at once, and neither while a unit is correlated or a search runs.

#include "engine/FlipsumManager.h"

#include "search/CorrelationAlgorithm.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <cstddef>
#include <memory>
#include <vector>

class ProcessWorker
{
public:
    explicit ProcessWorker(FlipsumManager& manager);
    ~ProcessWorker();

    ProcessWorker(const ProcessWorker&) = delete;
    ProcessWorker& operator=(const ProcessWorker&) = delete;

    // Steps 1 to 4 of a pass (wrapper type, peek, unit, job finish); returns the number of units
    // the queue held at the peek.
    std::size_t pass();
    // Waits on the process condition variable (at most 2229 ms) unless 2 or more units were queued.
    void wait(const std::size_t queued);
    // After an exception inside a pass: ends the current job in order (its queued units go back
    // unprocessed, no search runs, recording is disarmed) so that the thread can go on.
    void abandon_job() noexcept;

    const FlipsumManager::job_ptr& job() const noexcept { return job_; }

private:
    struct aligned_deleter
    {
        void operator()(float* p) const noexcept;
    };

    void read_wrapper_type();
    void process_unit(FlipsumManager::work_unit_t& unit);
    void choose_correlation(const std::size_t n);
    void finish_job_if_done();
    void finish_job();
    // Moves the front unit of the queue to the done list.
    void retire_front_unit();

    FlipsumManager& mgr;
    std::unique_ptr<float, aligned_deleter> zero_buffer;
    FlipsumManager::job_ptr job_;
    Flipsearch::Correlation::Algorithm::ptr_t corr;
    std::vector<const float*> track_ptrs;
    juce::AudioProcessor::WrapperType wrapper_type = juce::AudioProcessor::wrapperType_Undefined;
    bool wrapper_known = false;
};
