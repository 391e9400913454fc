// The search run of a finished job (processing thread): check the matrix, choose the search, run
// it with progress reports, apply the result to the instances and measure the level change; and the
// master's status line. The steps log under process_thread_doflipopt's signature.

#include "engine/FlipsumManager.h"

#include "editor/FlipsumAudioProcessorEditor.h"
#include "engine/FlipsumAudioProcessor.h"
#include "engine/Logger.h"
#include "engine/SearchedTracks.h"

#include "search/CanonicalPolarities.h"
#include "search/Plugin.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>

namespace
{
// The dB figure of a level change against a level of 0 (or not a number).
constexpr float no_level_db = 3.4028234663852886e38f;
} // namespace

// ---------------------------------------------------------------------------------------------
// Search run (processing thread)

namespace
{
// The signature that the search run's statements log under, whichever step makes them.
constexpr char SEARCH_RUN_SIGNATURE[] = "void FlipsumManager::process_thread_doflipopt(const "
                                        "Flipsearch::Correlation::Algorithm::ptr_t&, const job_ptr&, const "
                                        "std::vector<float>&, const std::vector<float>&)";

// Element (i, j) of the packed matrix, either way round.
float element(const Flipsearch::Correlation::Algorithm& corr, const std::size_t i, const std::size_t j)
{
    return corr.matrix[Flipsearch::Correlation::Algorithm::packedIndex(std::max(i, j), std::min(i, j))];
}
} // namespace

void FlipsumManager::process_thread_doflipopt(const Flipsearch::Correlation::Algorithm::ptr_t& corr,
                                              const job_ptr& job, const std::vector<float>& rms,
                                              const std::vector<float>& peaks)
{
    FSUM_SIGNATURE(SEARCH_RUN_SIGNATURE);
    FSUM_LOG_GUARD(3);
    job_outcome_t outcome;
    outcome.tracks = job->tracks.size();
    // Every way out disarms the recording; a finished run also shows its result.
    const auto end_job = [this, &outcome](const job_end_t end, const bool clear_status)
    {
        set_recording_armed_internal(false);
        if (clear_status)
            set_master_status_clear(false);
        outcome.end = end;
        record_job_outcome(outcome);
    };

    if (!search_input_fits(*corr, outcome.tracks, rms, peaks))
        return end_job(job_end_t::no_search, false);

    // Every limit, the progress, the levels and the flips count the tracks actually searched.
    const SearchedTracks searched(*job, peaks);
    log_searched_tracks(*job, searched);
    const Flipsearch::Correlation::Algorithm::ptr_t searched_corr = searched.reduce(corr);
    const std::vector<float> searched_rms = searched.reduce(rms);
    const std::vector<float> searched_peaks = searched.reduce(peaks);
    outcome.tracks = searched.size();
    if (!correlation_in_range(*searched_corr))
        return end_job(job_end_t::failed, true);
    log_correlation(*searched_corr);

    std::vector<int> next;
    if (searched.size() == 0)
    {
        // No channel carried signal: nothing to search, and every polarity stays as it is. The
        // levels are 0, as they are for a matrix of zeros.
        FSUM_LOG(4) << "No track carried signal";
    }
    else
    {
        FSUM_LOG(4) << "Looking for FlipOpt algorithm...";
        const Flipsearch::FlipOpt::Plugin* const chosen =
            choose_flipopt(alg_mode.load(std::memory_order_relaxed), outcome.tracks);
        if (chosen == nullptr)
        {
            FSUM_LOG(4) << "No usable FlipOpt plugin found, quitting!";
            progress_process_data(-1.0f, 0.0f);
            return end_job(job_end_t::no_search, false);
        }
        if (!run_flipopt(*chosen, searched_corr, searched_rms, searched_peaks, next))
        {
            FSUM_LOG(4) << "Processing cancelled";
            return end_job(job_end_t::cancelled, true);
        }
    }

    std::vector<int> prev(job->tracks.size(), 1);
    outcome.flips = apply_polarities(*job, searched, searched.expand(next), prev);
    measure_levels(*searched_corr, searched.reduce(prev), next, outcome);
    set_recording_armed_internal(false);
    set_master_status_done(outcome.flips, outcome.db_raw, outcome.db_prev);
    outcome.end = job_end_t::done;
    record_job_outcome(outcome);
}

bool FlipsumManager::search_input_fits(const Flipsearch::Correlation::Algorithm& corr, const std::size_t n,
                                       const std::vector<float>& rms, const std::vector<float>& peaks)
{
    FSUM_SIGNATURE(SEARCH_RUN_SIGNATURE);
    if (corr.nTracks != n || corr.matrix.size() < n * (n + 1) / 2 || rms.size() < n || peaks.size() < n)
    {
        FSUM_LOG(2) << "Correlation of " << corr.nTracks << " tracks does not match the job's " << n
                    << ", quitting!";
        return false;
    }
    return true;
}

bool FlipsumManager::correlation_in_range(const Flipsearch::Correlation::Algorithm& corr)
{
    FSUM_SIGNATURE(SEARCH_RUN_SIGNATURE);
    const std::size_t n = corr.nTracks;
    // Samples so large that their products overflow leave a matrix with infinite (or, after
    // normalisation, not-a-number) entries, or entries whose sums overflow in the searches and the
    // level figures; no search can rank the flips on such a matrix, and applying what one returned
    // would set arbitrary polarities. The job ends like a failed one. The bound holds every partial
    // sum of the energy of any sign vector. Only the searched tracks count: one that carried no
    // signal may, normalised by its peak of almost nothing, hold anything.
    double energy_bound = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
            energy_bound += (i == j ? 1.0 : 2.0) * std::abs(static_cast<double>(element(corr, i, j)));
    if (!(energy_bound <= std::numeric_limits<float>::max() / 4))
    {
        FSUM_LOG(2) << "Correlation of " << n << " tracks is out of range (samples not a number or too large)"
                    << ", quitting!";
        return false;
    }
    return true;
}

void FlipsumManager::log_searched_tracks(const job_t& job, const SearchedTracks& searched)
{
    FSUM_SIGNATURE(SEARCH_RUN_SIGNATURE);
    if (searched.size() == job.tracks.size())
        return;
    for (const std::size_t k : searched.kept())
        FSUM_LOG(6) << "Track [#" << k << "] carried no signal: keeps its polarity";
    for (const auto& f : searched.followers())
        FSUM_LOG(6) << "Track [#" << f.track << "] "
                    << (f.second == second_channel_t::silent ? "is digital silence"
                        : f.second == second_channel_t::copy ? "is a copy of channel 0"
                                                             : "carried no signal")
                    << ": searched as part of [#" << f.channel0_track << "]";
    FSUM_LOG(4) << "Searching " << searched.size() << " of " << job.tracks.size() << " tracks";
}

void FlipsumManager::log_correlation(const Flipsearch::Correlation::Algorithm& corr)
{
    FSUM_SIGNATURE(SEARCH_RUN_SIGNATURE);
    if (!logger::manager::enabled(8))
        return;
    const std::size_t n = corr.nTracks;
    std::ostringstream text;
    text.imbue(std::locale::classic()); // the record's numbers do not follow a host's locale
    text << "corr=[";
    for (std::size_t i = 0; i < n; ++i)
    {
        if (i != 0)
            text << ";";
        for (std::size_t j = 0; j < n; ++j)
        {
            if (j != 0)
                text << ",";
            text << std::setw(8) << element(corr, i, j);
        }
    }
    text << "]";
    FSUM_LOG(8) << text.str();
}

const Flipsearch::FlipOpt::Plugin* FlipsumManager::choose_flipopt(const algMode_t kind, const std::size_t n)
{
    FSUM_SIGNATURE(SEARCH_RUN_SIGNATURE);
    const auto usable = [kind, n](const Flipsearch::FlipOpt::Plugin* const p)
    {
        if (!p->enabled())
        {
            FSUM_LOG(4) << p->name() << " is not enabled";
            return false;
        }
        if (kind == ALG_FULL && (p->tags() & Flipsearch::TAG_FULL) == 0)
        {
            FSUM_LOG(4) << p->name() << " is not a Full-type algorithm";
            return false;
        }
        if (kind == ALG_FAST && (p->tags() & Flipsearch::TAG_FAST) == 0)
        {
            FSUM_LOG(4) << p->name() << " is not a Fast-type algorithm";
            return false;
        }
        if (p->min_tracks() > n)
        {
            FSUM_LOG(4) << p->name() << " needs more tracks ( " << n << " < " << p->min_tracks() << " )";
            return false;
        }
        if (p->max_tracks() < n)
        {
            FSUM_LOG(4) << p->name() << " needs fewer tracks ( " << n << " > " << p->max_tracks() << " )";
            return false;
        }
        return true;
    };
    for (const Flipsearch::FlipOpt::Plugin* p :
         Flipsearch::Factory<Flipsearch::FlipOpt::Plugin>::get_inst().plugins)
        if (usable(p))
            return p;
    return nullptr;
}

bool FlipsumManager::run_flipopt(const Flipsearch::FlipOpt::Plugin& chosen,
                                 const Flipsearch::Correlation::Algorithm::ptr_t& corr,
                                 const std::vector<float>& rms, const std::vector<float>& peaks,
                                 std::vector<int>& next)
{
    FSUM_SIGNATURE(SEARCH_RUN_SIGNATURE);
    FSUM_LOG(4) << "Using flipopt algorithm: " << chosen.name();
    const Flipsearch::FlipOpt::Algorithm::ptr_t search = chosen.getInstance();
    FSUM_LOG(6) << "Starting polarity optimization";
    search->setup(corr);
    const auto start = std::chrono::steady_clock::now();
    const std::function<bool(float)> progress = [this, start](const float p)
    {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
                .count();
        progress_process_data(p, static_cast<float>(ns) * 1e-9f);
        return !cancel.load() && !stopping();
    };
    search->process(corr, progress);

    // A manager being destroyed (its last instance is gone) stops the search like the stop button:
    // its destructor waits for this thread, and no instance is left to take the result.
    if (cancel.load() || stopping())
        return false;

    FSUM_LOG(6) << "Finished polarity optimization";
    const std::size_t n = corr->nTracks;
    std::vector<float> signs(n, 1.0f);
    for (std::size_t i = 0; i < n && i < search->polarities.size(); ++i)
        signs[i] = static_cast<float>(search->polarities[i]);
    Flipsearch::canonicalizePolarities(signs.data(), n, peaks.data(), rms.data());
    next.assign(n, 1);
    for (std::size_t i = 0; i < n; ++i)
        next[i] = signs[i] < 0.0f ? -1 : 1;
    return true;
}

std::uint32_t FlipsumManager::apply_polarities(const job_t& job, const SearchedTracks& searched,
                                               const std::vector<int>& next, std::vector<int>& prev)
{
    FSUM_SIGNATURE(SEARCH_RUN_SIGNATURE);
    std::uint32_t flips = 0;
    // store_polarity logs set_polarity's lines and notes a change for the instance's host; the
    // editors of the instances whose polarity changed are told once the mutex is released.
    struct polarity_update_t
    {
        FlipsumAudioProcessor::editor_handle_t editor;
        std::size_t channel;
        bool flipped;
    };
    std::vector<polarity_update_t> updates;
    {
        const std::lock_guard<CheckedMutex> lock(first_mutex);
        const auto set = [&updates](FlipsumAudioProcessor* proc, const std::size_t channel, const int pol)
        {
            if (proc->store_polarity(channel, pol))
                updates.push_back({proc->open_editor(), channel, pol == -1});
        };
        for (const auto& track : job.tracks)
        {
            FlipsumAudioProcessor* const proc = track.first.first;
            const std::size_t ch = track.first.second;
            const std::size_t k = track.second;
            const auto inst = instances.find(proc);
            if (inst == instances.end() || inst->second->proc == nullptr ||
                !job.made_with(proc, inst->second->serial))
                continue; // removed since the recording (or another instance now at its address)
            // A channel that carried no signal keeps its polarity; a channel 1 searched with
            // channel 0 is set with it, as a linked instance's copy.
            if (searched.part(k) != SearchedTracks::part_t::searched)
                continue;
            prev[k] = proc->get_polarity(ch);
            set(proc, ch, next[k]);
            FSUM_LOG(4) << "Setting processor 0x" << logger::hex(proc) << " (ch " << ch << ") [#" << k
                        << "] to polarity " << next[k];
            if (next[k] == -1)
                ++flips;
            if (ch == 0 &&
                (searched.followed(k) || inst->second->channel_mode.load(std::memory_order_acquire) == 2))
            {
                set(proc, 1, next[k]);
                FSUM_LOG(4) << "Setting copy to processor 0x" << logger::hex(proc) << " (ch " << 1 << ") [#"
                            << k << "] to polarity " << next[k];
                if (next[k] == -1)
                    ++flips;
            }
        }
    }
    for (const auto& update : updates)
        util::with_locked(update.editor, [&update](FlipsumAudioProcessorEditor& e)
                          { e.set_ui_polarity(update.channel, update.flipped); });
    return flips;
}

void FlipsumManager::measure_levels(const Flipsearch::Correlation::Algorithm& corr,
                                    const std::vector<int>& prev, const std::vector<int>& next,
                                    job_outcome_t& outcome)
{
    FSUM_SIGNATURE(SEARCH_RUN_SIGNATURE);
    const std::size_t n = next.size();
    // The level of the signed sum, accumulated in single precision in this order.
    const auto level = [&corr, n](const std::vector<int>& s)
    {
        float diag = 0.0f;
        for (std::size_t i = 0; i < n; ++i)
            diag += element(corr, i, i);
        float e = 0.5f * diag;
        for (std::size_t i = 1; i < n; ++i)
        {
            if (s[i] == 0)
                continue;
            for (std::size_t j = 0; j < i; ++j)
                e += static_cast<float>(s[i] * s[j]) * element(corr, i, j);
        }
        return std::sqrt(e + e);
    };
    const float l_raw = level(std::vector<int>(n, 1));
    const float l_prev = level(prev);
    const float l_new = level(next);
    FSUM_LOG(6) << "RMS_raw=" << l_raw << ", RMS_prev=" << l_prev << ", RMS_new=" << l_new
                << ", flipCnt=" << outcome.flips;

    const auto db = [l_new](const float against)
    {
        if (against == 0.0f || std::isnan(against))
            return no_level_db;
        return 20.0f * std::log10(l_new / against);
    };
    outcome.db_raw = db(l_raw);
    outcome.db_prev = db(l_prev);
    outcome.rms_raw = l_raw;
    outcome.rms_prev = l_prev;
    outcome.rms_new = l_new;
}

float FlipsumManager::progress_process_data(const float progress, const float elapsed)
{
    FSUM_SIGNATURE("float FlipsumManager::progress_process_data(const float, const float)");
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", progress=" << progress
                << ", elapsed=" << elapsed;
    float remaining = -1.0f;
    if (elapsed >= 1.0f && progress > 0.0f && progress < 1.0f)
        remaining = (1.0f - progress) * (elapsed / progress);
    if ((remaining >= 1.0f && elapsed >= 0.5f) || elapsed >= 1.5f)
        set_master_status_progress(progress, remaining);
    return elapsed + 0.3f;
}

void FlipsumManager::set_master_status_clear(const bool listening)
{
    util::with_locked(master_editor(),
                      [listening](FlipsumAudioProcessorEditor& e) { e.set_ui_status_clear(listening); });
}

void FlipsumManager::set_master_status_progress(const float progress, const float remaining)
{
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", progress=" << progress
                << ", remaining=" << remaining;
    util::with_locked(master_editor(), [progress, remaining](FlipsumAudioProcessorEditor& e)
                      { e.set_ui_status_progress(progress, remaining); });
}

void FlipsumManager::set_master_status_done(const std::uint32_t flips, const float db_raw,
                                            const float db_prev)
{
    util::with_locked(master_editor(), [flips, db_raw, db_prev](FlipsumAudioProcessorEditor& e)
                      { e.set_ui_status_done(flips, db_raw, db_prev); });
}

FlipsumManager::job_outcome_t FlipsumManager::last_job_outcome() const
{
    const std::lock_guard<std::mutex> lock(second_mutex);
    return last_outcome;
}

void FlipsumManager::record_job_outcome(job_outcome_t outcome)
{
    const std::lock_guard<std::mutex> lock(second_mutex);
    outcome.serial = last_outcome.serial + 1;
    last_outcome = outcome;
}
