#pragma once

// The tracks that the search of a finished job works on. Left out are:
// - each channel that carried no signal for the whole job: its peak never rose above
//   silence_floor. Its flip changes nothing in the sum, so a search would give it a polarity out of
//   ties and rounding, count it as a flip and let it tip the choice between the best set and its
//   all-inverted twin. It keeps the polarity it has.
// - each channel 1 whose channel 0 carried signal and that was, for its whole recording, digital
//   silence, exactly its channel 0's samples (hosts that give a mono track two channels pass it
//   so), or carried no signal. Such a channel is searched as part of its channel 0's track and
//   takes that track's polarity, as a linked stereo instance's channel 1 does, so that both channels
//   of a mono track end with one polarity.
// Dropping them leaves exactly the matrix that the same job without them gives.
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
    // The largest sample magnitude of a channel that carried no signal: -200 dBFS. Hosts add a
    // constant far below it against denormals (MusE feeds an effect's unused input 1e-18, Ardour
    // adds 1e-27 to a route's channels), and every real signal stays far above it: one step of
    // 24-bit audio is about 6e-8 (-144 dBFS), of 32-bit integer audio 2.3e-10, and the quietest
    // gain setting takes 20 dB off either.
    static constexpr float silence_floor = 1e-10f;

    // What the search does with a job track.
    enum class part_t
    {
        searched, // a track of the search
        follower, // a channel 1 searched as part of its channel 0's track
        kept      // carried no signal: not searched, keeps its polarity
    };

    // A channel 1 searched with its channel 0: its job track, its channel 0's, and why.
    struct follower_t
    {
        std::size_t track;
        std::size_t channel0_track;
        FlipsumManager::second_channel_t second; // own: it carried no signal of its own
    };

    // peaks: each job track's largest sample magnitude over the whole job (at least one entry
    // per job track; a track without one counts as silent).
    SearchedTracks(const FlipsumManager::job_t& job, const std::vector<float>& peaks);

    // The number of tracks searched, and the job's track number of searched track i.
    std::size_t size() const noexcept { return searched_.size(); }
    std::size_t job_track(const std::size_t i) const { return searched_[i]; }
    part_t part(const std::size_t job_track) const { return part_[job_track]; }
    // Whether job track k (a channel 0) has a channel 1 searched as part of it.
    bool followed(const std::size_t job_track) const { return followed_[job_track]; }
    const std::vector<follower_t>& followers() const noexcept { return followers_; }
    // The job tracks that carried no signal.
    const std::vector<std::size_t>& kept() const noexcept { return kept_; }

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

    // A per-job-track vector from per-searched-track values; a follower takes its channel 0's, a
    // kept track +1.
    std::vector<int> expand(const std::vector<int>& per_searched_track) const;

private:
    std::size_t job_tracks_;
    std::vector<part_t> part_;
    std::vector<bool> followed_;
    std::vector<std::size_t> searched_;
    std::vector<follower_t> followers_;
    std::vector<std::size_t> kept_;
};
