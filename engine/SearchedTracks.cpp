#include "engine/SearchedTracks.h"

#include <memory>

SearchedTracks::SearchedTracks(const FlipsumManager::job_t& job, const std::vector<float>& peaks)
    : job_tracks_(job.tracks.size()), part_(job_tracks_, part_t::searched), followed_(job_tracks_, false)
{
    using second_channel_t = FlipsumManager::second_channel_t;
    // A peak that is not a number is not silence.
    const auto silent = [&peaks](const std::size_t k)
    { return k >= peaks.size() || peaks[k] <= silence_floor; };
    for (std::size_t k = 0; k < job_tracks_; ++k)
        if (silent(k))
            part_[k] = part_t::kept;

    for (const auto& track : job.tracks)
    {
        const std::size_t k = track.second;
        if (track.first.second != 1 || k >= job_tracks_)
            continue;
        const auto first = job.tracks.find({track.first.first, 0});
        if (first == job.tracks.end() || first->second >= job_tracks_ || silent(first->second))
            continue;
        const second_channel_t verdict =
            k < job.second_channel.size() ? job.second_channel[k] : second_channel_t::own;
        if (verdict == second_channel_t::own && !silent(k))
            continue;
        part_[k] = part_t::follower;
        followed_[first->second] = true;
        followers_.push_back({k, first->second, verdict});
    }

    for (std::size_t k = 0; k < job_tracks_; ++k)
    {
        if (part_[k] == part_t::searched)
            searched_.push_back(k);
        else if (part_[k] == part_t::kept)
            kept_.push_back(k);
    }
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
