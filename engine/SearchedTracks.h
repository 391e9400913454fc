#pragma once

// The tracks that the search of a finished job works on: the job's tracks without each channel 1
// that carried, for its whole recording, digital silence or exactly its channel 0's samples (hosts
// that give a mono track two channels pass it so). Such a channel is searched as part of its
// channel 0's track and takes that track's polarity, as a linked stereo instance's channel 1 does.
// Dropping it leaves exactly the matrix that the same material on a one-channel instance gives.
//
// Threads: the processing thread, once the job is complete (its second_channel verdicts are then
// filed). Takes no lock.

#include "engine/FlipsumManager.h"

#include "search/CorrelationAlgorithm.h"

#include <cstddef>
#include <vector>

class SearchedTracks
{
public:
    // A channel 1 searched with its channel 0: its job track, its channel 0's, and how it ended.
    struct follower_t
    {
        std::size_t track;
        std::size_t channel0_track;
        FlipsumManager::second_channel_t second;
    };

    explicit SearchedTracks(const FlipsumManager::job_t& job);

    // Whether the job's track (proc, 1) is searched as part of (proc, 0)'s track.
    static bool follows_channel0(const FlipsumManager::job_t& job, FlipsumAudioProcessor* proc);

    // The number of tracks searched, and the job's track number of searched track i.
    std::size_t size() const noexcept { return searched_.size(); }
    std::size_t job_track(const std::size_t i) const { return searched_[i]; }
    const std::vector<follower_t>& followers() const noexcept { return followers_; }

    // The correlation of the searched tracks: the principal submatrix of the finished (possibly
    // normalised) matrix with its peaks and sample count; corr itself when every track is searched.
    Flipsearch::Correlation::Algorithm::ptr_t
    reduce(const Flipsearch::Correlation::Algorithm::ptr_t& corr) const;

    // The entries of a per-job-track vector (at least one per job track) for the searched tracks.
    template <class T>
    std::vector<T> reduce(const std::vector<T>& per_job_track) const
    {
        std::vector<T> out;
        out.reserve(searched_.size());
        for (const std::size_t k : searched_)
            out.push_back(per_job_track[k]);
        return out;
    }

    // A per-job-track vector from per-searched-track values; a follower takes its channel 0's.
    std::vector<int> expand(const std::vector<int>& per_searched_track) const;

private:
    std::size_t job_tracks_;
    std::vector<std::size_t> searched_;
    std::vector<follower_t> followers_;
};
