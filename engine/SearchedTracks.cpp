#include "engine/SearchedTracks.h"

#include <memory>

SearchedTracks::SearchedTracks(const FlipsumManager::job_t& job) : job_tracks_(job.tracks.size())
{
    std::vector<bool> searched(job_tracks_, true);
    for (const auto& track : job.tracks)
    {
        if (track.first.second != 1 || !follows_channel0(job, track.first.first))
            continue;
        const std::size_t channel0 = job.tracks.at({track.first.first, 0});
        searched[track.second] = false;
        followers_.push_back({track.second, channel0, job.second_channel[track.second]});
    }
    for (std::size_t k = 0; k < job_tracks_; ++k)
        if (searched[k])
            searched_.push_back(k);
}

bool SearchedTracks::follows_channel0(const FlipsumManager::job_t& job, FlipsumAudioProcessor* proc)
{
    const auto first = job.tracks.find({proc, 0});
    const auto second = job.tracks.find({proc, 1});
    if (first == job.tracks.end() || second == job.tracks.end() || first->second >= job.tracks.size() ||
        second->second >= job.tracks.size() || second->second >= job.second_channel.size())
        return false;
    return job.second_channel[second->second] != FlipsumManager::second_channel_t::own;
}

Flipsearch::Correlation::Algorithm::ptr_t
SearchedTracks::reduce(const Flipsearch::Correlation::Algorithm::ptr_t& corr) const
{
    if (searched_.size() == job_tracks_)
        return corr;
    using Algorithm = Flipsearch::Correlation::Algorithm;
    auto out = std::make_shared<Algorithm>();
    const std::size_t n = searched_.size();
    out->nTracks = n;
    out->sampleCount = corr->sampleCount;
    out->matrix.reserve(n * (n + 1) / 2);
    out->peaks.reserve(n);
    // Searched tracks keep the job's order, so searched_[j] <= searched_[i] for j <= i.
    for (std::size_t i = 0; i < n; ++i)
    {
        for (std::size_t j = 0; j <= i; ++j)
            out->matrix.push_back(corr->matrix[Algorithm::packedIndex(searched_[i], searched_[j])]);
        out->peaks.push_back(searched_[i] < corr->peaks.size() ? corr->peaks[searched_[i]] : 0.0f);
    }
    return out;
}

std::vector<int> SearchedTracks::expand(const std::vector<int>& per_searched_track) const
{
    std::vector<int> out(job_tracks_, 1);
    for (std::size_t i = 0; i < searched_.size() && i < per_searched_track.size(); ++i)
        out[searched_[i]] = per_searched_track[i];
    for (const auto& f : followers_)
        out[f.track] = out[f.channel0_track];
    return out;
}
